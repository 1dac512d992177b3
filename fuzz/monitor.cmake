# Datagrams on the monitor's trap port through its trap recognition; the recogniser and the BER
# reader it rides on are compiled into the target so that their branches guide the fuzzer.
qm_fuzz_target(monitor_trap_fuzz
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/monitor_trap_fuzz.cc ${PROJECT_SOURCE_DIR}/monitor/src/trap.cc
          ${PROJECT_SOURCE_DIR}/support/snmpgw/src/ber.cc
  LINK qmplatform)
target_include_directories(monitor_trap_fuzz PRIVATE ${PROJECT_SOURCE_DIR}/monitor/src
                           ${PROJECT_SOURCE_DIR}/support/snmpgw/include)
