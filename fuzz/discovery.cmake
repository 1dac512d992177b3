# Hostile search lists and hostile agent answers through the discovery library's recognition
# steps (the BER underneath is the shared coder, fuzzed by snmpgw_fuzz as well).
set(QM_DISCOVERY_DIR ${PROJECT_SOURCE_DIR}/support/discovery)
set(QM_SNMPGW_DIR ${PROJECT_SOURCE_DIR}/support/snmpgw)
qm_fuzz_target(discovery_fuzz
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/discovery_fuzz.cc
          ${QM_DISCOVERY_DIR}/src/targets.cc ${QM_DISCOVERY_DIR}/src/device.cc ${QM_DISCOVERY_DIR}/src/params.cc
          ${QM_SNMPGW_DIR}/src/ber.cc ${QM_SNMPGW_DIR}/src/message.cc)
target_include_directories(discovery_fuzz PRIVATE ${QM_DISCOVERY_DIR}/include ${QM_DISCOVERY_DIR}/src
                           ${QM_SNMPGW_DIR}/include)
