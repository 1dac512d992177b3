add_executable(platform_bench ${CMAKE_CURRENT_LIST_DIR}/platform_bench.cc)
target_link_libraries(platform_bench PRIVATE benchmark::benchmark qmplatform QBUtil qm_testing)
