# Helpers shared by every component.
include(GoogleTest)

# qm_library(<name> SHARED|STATIC SOURCES ... [LINK ...]) — a deliverable library whose public
# headers live in <dir>/include.
function(qm_install_target name)
  install(TARGETS ${name} RUNTIME DESTINATION bin LIBRARY DESTINATION bin)
endfunction()

# qm_test(<name> SOURCES ... LINK ...) — one GoogleTest binary per library.
function(qm_test name)
  cmake_parse_arguments(T "" "" "SOURCES;LINK" ${ARGN})
  add_executable(${name} ${T_SOURCES})
  target_link_libraries(${name} PRIVATE GTest::gtest GTest::gtest_main Threads::Threads ${T_LINK})
  gtest_discover_tests(${name} DISCOVERY_TIMEOUT 60 PROPERTIES TIMEOUT 300)
endfunction()
