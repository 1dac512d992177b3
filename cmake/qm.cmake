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

# qm_exports(<target> <glob>...) — the shared library exports only the names that match (its
# documented C calls); everything else in it, the static libraries linked into it included,
# stays inside. Tests that need internals link the static core library instead.
function(qm_exports target)
  set(file ${CMAKE_CURRENT_BINARY_DIR}/${target}.exports)
  list(JOIN ARGN ";\n    " globs)
  file(WRITE ${file} "{\n  global:\n    ${globs};\n  local: *;\n};\n")
  target_link_options(${target} PRIVATE "LINKER:--version-script=${file}")
  set_property(TARGET ${target} APPEND PROPERTY LINK_DEPENDS ${file})
endfunction()
