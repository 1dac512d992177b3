# The HTTP server's access files (authorization, password, IP access), as read from disk.
qm_fuzz_target(access_files_fuzz
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/access_files_fuzz.cc
          ${PROJECT_SOURCE_DIR}/httpadmin/access/src/access_files.cc
  LINK qmplatform)
target_include_directories(access_files_fuzz PRIVATE ${PROJECT_SOURCE_DIR}/httpadmin/access/include)
