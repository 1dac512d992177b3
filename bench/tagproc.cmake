# Tag processor: the page of all six printer attributes against one simulated printer (SNMP
# exchanges and time per page, against one net-snmp snmpget of the same objects), and the cost
# of serialising concurrent requests on one processor. Run: build/normal/bin/tagproc_page_bench
add_executable(tagproc_page_bench ${CMAKE_CURRENT_LIST_DIR}/tagproc_page_bench.cc
  ${PROJECT_SOURCE_DIR}/support/snmpgw/tests/simulator.cc)
target_include_directories(tagproc_page_bench PRIVATE ${PROJECT_SOURCE_DIR}/support/snmpgw/tests
  ${PROJECT_SOURCE_DIR}/interpreter/include)
target_link_libraries(tagproc_page_bench PRIVATE qmplatform qm_testing qmdbmgr Threads::Threads)
target_compile_definitions(tagproc_page_bench PRIVATE
  QM_SOURCE_DIR="${PROJECT_SOURCE_DIR}"
  QM_PRINTERS_DIR="${PROJECT_SOURCE_DIR}/support/snmpgw/printers")
add_dependencies(tagproc_page_bench QMTAG qmintpr)
