qm_fuzz_target(registry_file_fuzz SOURCES ${CMAKE_CURRENT_LIST_DIR}/registry_file_fuzz.cc
  LINK qmplatform)
qm_fuzz_target(profile_file_fuzz SOURCES ${CMAKE_CURRENT_LIST_DIR}/profile_file_fuzz.cc
  LINK qmplatform)
qm_fuzz_target(confine_fuzz SOURCES ${CMAKE_CURRENT_LIST_DIR}/confine_fuzz.cc
  LINK qmplatform)
