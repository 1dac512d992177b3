# Helpers shared by every component.
include(GoogleTest)

# qm_library(<name> SHARED|STATIC SOURCES ... [LINK ...]) — a deliverable library whose public
# headers live in <dir>/include.
#
# Where things go in an installation root. The HTTP server runs every program of bin/ as a
# CGI program (/cgi-bin/), so bin/ holds only the libraries and the programs meant for CGI;
# every other program (tools, services, the server itself) goes to sbin/, which no alias
# reaches, and finds the libraries through its run path.
#   qm_install_target(name)  library -> bin/, program -> sbin/
#   qm_install_cgi(name)     CGI program -> bin/
function(qm_install_target name)
  get_target_property(type ${name} TYPE)
  if(type STREQUAL "EXECUTABLE")
    set_target_properties(${name} PROPERTIES INSTALL_RPATH "$ORIGIN/../bin")
    install(TARGETS ${name} RUNTIME DESTINATION sbin)
    # A root installed before the tools moved still has them in bin/, within the web's reach.
    install(CODE "file(REMOVE \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/bin/$<TARGET_FILE_NAME:${name}>\")")
  else()
    install(TARGETS ${name} RUNTIME DESTINATION bin LIBRARY DESTINATION bin)
  endif()
endfunction()

function(qm_install_cgi name)
  install(TARGETS ${name} RUNTIME DESTINATION bin)
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
