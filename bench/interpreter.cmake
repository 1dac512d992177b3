# Page interpreter benchmarks: a cached text page against the same bytes from memory, compiling
# a large template, and a loop page in qmpage against the same loop in PHP's CLI.
add_executable(interpreter_bench interpreter/page_bench.cc)
target_link_libraries(interpreter_bench PRIVATE qmintpr_core qm_testing benchmark::benchmark)
target_include_directories(interpreter_bench PRIVATE ${PROJECT_SOURCE_DIR}/interpreter/src)
add_dependencies(interpreter_bench qmintpr)

add_executable(interpreter_vs_php interpreter/loop_vs_php.cc)
target_link_libraries(interpreter_vs_php PRIVATE qm_testing)
add_dependencies(interpreter_vs_php qmpage qmintpr)
