# Page interpreter fuzz targets: the template compiler and the decoder of tag results. The
# sources are compiled into each target so that libFuzzer sees their coverage.
set(QM_INTPR_SRC ${PROJECT_SOURCE_DIR}/interpreter/src)
qm_fuzz_target(interpreter_compile_fuzz
  SOURCES interpreter/compile_fuzz.cc ${QM_INTPR_SRC}/output.cc ${QM_INTPR_SRC}/macros.cc
          ${QM_INTPR_SRC}/compiler.cc ${QM_INTPR_SRC}/statement_compiler.cc)
target_include_directories(interpreter_compile_fuzz PRIVATE ${QM_INTPR_SRC}
  ${PROJECT_SOURCE_DIR}/interpreter/include)
qm_fuzz_target(interpreter_ber_fuzz
  SOURCES interpreter/ber_fuzz.cc ${QM_INTPR_SRC}/ber_decode.cc ${QM_INTPR_SRC}/value.cc
          ${PROJECT_SOURCE_DIR}/support/snmpgw/src/ber.cc)
target_include_directories(interpreter_ber_fuzz PRIVATE ${QM_INTPR_SRC}
  ${PROJECT_SOURCE_DIR}/interpreter/include ${PROJECT_SOURCE_DIR}/support/snmpgw/include)
