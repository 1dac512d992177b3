# Hostile agent answers through the BER decoder and the gateway's binding readers. The coder
# and gateway sources are compiled into the target so that their branches guide the fuzzer.
set(QM_SNMPGW_DIR ${PROJECT_SOURCE_DIR}/support/snmpgw)
qm_fuzz_target(snmpgw_fuzz
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/snmpgw_fuzz.cc
          ${QM_SNMPGW_DIR}/src/ber.cc ${QM_SNMPGW_DIR}/src/message.cc ${QM_SNMPGW_DIR}/src/gateway.cc
          ${QM_SNMPGW_DIR}/src/settings.cc ${QM_SNMPGW_DIR}/src/channel.cc
          ${QM_SNMPGW_DIR}/src/transport.cc ${QM_SNMPGW_DIR}/src/exchange.cc ${QM_SNMPGW_DIR}/src/walk.cc
          ${QM_SNMPGW_DIR}/src/get.cc
  LINK qmplatform QBUtil)
target_include_directories(snmpgw_fuzz PRIVATE ${QM_SNMPGW_DIR}/include ${QM_SNMPGW_DIR}/src)
