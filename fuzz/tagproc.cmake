# Hostile tag arguments and device answers through the tag processor's helpers: device keys,
# OID lists, BER value reading and the result encoder.
qm_fuzz_target(tagproc_fuzz
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/tagproc_fuzz.cc ${PROJECT_SOURCE_DIR}/tagproc/src/my_functions.cc
          ${PROJECT_SOURCE_DIR}/support/snmpgw/src/ber.cc
  LINK QBUtil)
target_include_directories(tagproc_fuzz PRIVATE ${PROJECT_SOURCE_DIR}/tagproc/src
  ${PROJECT_SOURCE_DIR}/support/snmpgw/include)
