# Configuration database calls against the same work done directly in SQLite.
find_package(SQLite3 REQUIRED)
add_executable(confdb_bench ${CMAKE_CURRENT_SOURCE_DIR}/confdb_bench.cc)
target_link_libraries(confdb_bench PRIVATE qmdbmgr qmplatform QBUtil qm_testing
                      benchmark::benchmark SQLite::SQLite3)
add_dependencies(confdb_bench CTREESTD qmrslv22)
