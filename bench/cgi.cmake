# The request/response channel against a bare Unix socket exchange, and CGI request parsing.
add_executable(cgi_bench ${CMAKE_CURRENT_LIST_DIR}/cgi_bench.cc)
target_link_libraries(cgi_bench PRIVATE benchmark::benchmark QMRR qmrrserver qmcgi qm_testing)
