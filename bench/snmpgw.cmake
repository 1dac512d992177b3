# SNMP: coder micro-benchmarks, and the whole-process comparison of qmsnmp with net-snmp's
# tools against one snmpsim agent (`cmake --build build/normal --target snmpgw_compare`).
add_executable(snmpgw_bench ${CMAKE_CURRENT_LIST_DIR}/snmpgw_bench.cc)
target_link_libraries(snmpgw_bench PRIVATE qmber benchmark::benchmark)

add_custom_target(snmpgw_compare
  COMMAND ${CMAKE_CURRENT_LIST_DIR}/snmpgw_compare.sh $<TARGET_FILE:qmsnmp>
  DEPENDS qmsnmp
  USES_TERMINAL)
