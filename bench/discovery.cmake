# Discovery of 254 addresses (20 answering) by libQBAPI.so against a sequential prober asking
# one address after the other with the same requests and time-out. Run: bin/discovery_bench
# (the sequential side takes about four minutes: it really waits out every silent address).
set(QM_DISCOVERY_DIR ${PROJECT_SOURCE_DIR}/support/discovery)
add_executable(discovery_bench ${CMAKE_CURRENT_LIST_DIR}/discovery_bench.cc ${QM_DISCOVERY_DIR}/tests/mib_agent.cc
               ${PROJECT_SOURCE_DIR}/support/snmpgw/tests/fake_agent.cc)
target_include_directories(discovery_bench PRIVATE ${QM_DISCOVERY_DIR}/src ${QM_DISCOVERY_DIR}/tests
                           ${PROJECT_SOURCE_DIR}/support/snmpgw/tests)
target_link_libraries(discovery_bench PRIVATE QBAPI qmdiscovery qmber qmplatform qm_testing Threads::Threads)
