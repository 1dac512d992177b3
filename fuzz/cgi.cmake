# The CGI request reading, built from source so that libFuzzer sees its coverage.
set(QM_CGI_DIR ${PROJECT_SOURCE_DIR}/httpadmin/cgi)
qm_fuzz_target(cgi_fuzz
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/cgi_fuzz.cc
          ${QM_CGI_DIR}/src/cgi_request.cc ${QM_CGI_DIR}/src/multipart.cc
          ${QM_CGI_DIR}/src/upload_files.cc ${QM_CGI_DIR}/src/coding.cc
          ${QM_CGI_DIR}/src/splitter.cc ${PROJECT_SOURCE_DIR}/cgigw/src/gateway.cc
  LINK qmplatform)
target_include_directories(cgi_fuzz PRIVATE ${QM_CGI_DIR}/include ${QM_CGI_DIR}/src
                                            ${PROJECT_SOURCE_DIR}/cgigw/src)
