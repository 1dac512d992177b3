# Notification database calls against the same work done directly in SQLite.
find_package(SQLite3 REQUIRED)
add_executable(ntfdb_bench ${CMAKE_CURRENT_LIST_DIR}/ntfdb_bench.cc)
target_link_libraries(ntfdb_bench PRIVATE QNTFDB CTREESTD qmplatform QBUtil qm_testing
                      benchmark::benchmark SQLite::SQLite3)
