# The request/response channel as its server reads it from a local client.
qm_fuzz_target(channel_fuzz
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/channel_fuzz.cc ${PROJECT_SOURCE_DIR}/support/rrchannel/src/server.cc
  LINK qmplatform)
target_include_directories(channel_fuzz PRIVATE ${PROJECT_SOURCE_DIR}/support/rrchannel/include
                                                ${PROJECT_SOURCE_DIR}/support/rrchannel/src)
