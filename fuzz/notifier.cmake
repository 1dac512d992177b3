# The notice datagram reading: acknowledgements a receiver sends back and the receiver tool's
# split of a datagram, both fed by whoever can reach the UDP port.
qm_fuzz_target(notice_fuzz
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/notice_fuzz.cc ${PROJECT_SOURCE_DIR}/notifier/src/datagram.cc
  LINK qmplatform)
target_include_directories(notice_fuzz PRIVATE ${PROJECT_SOURCE_DIR}/notifier/include)
