# The configuration database with hostile arguments and hostile stored records.
set(QM_CONFDB_DIR ${PROJECT_SOURCE_DIR}/confdb)
qm_fuzz_target(confdb_fuzz
  SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/confdb_fuzz.cc
          ${QM_CONFDB_DIR}/src/store.cc ${QM_CONFDB_DIR}/src/files.cc
          ${QM_CONFDB_DIR}/src/settings.cc ${QM_CONFDB_DIR}/src/devices.cc
          ${QM_CONFDB_DIR}/src/hosts_models.cc ${QM_CONFDB_DIR}/src/groups.cc
          ${QM_CONFDB_DIR}/src/members.cc
  LINK CTREESTD qmplatform qm_export_frame QBUtil Threads::Threads)
target_include_directories(confdb_fuzz PRIVATE ${QM_CONFDB_DIR}/include)
add_dependencies(confdb_fuzz qmrslv22)
