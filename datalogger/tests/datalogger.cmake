# Data logger tests. Unit tier: scripted peers only. Integration tier: a real
# influxd (one per executable) and a JSON-RPC acquisition stand-in program
# (pemrix_ipc_test_peer).
pemrix_add_test(NAME datalogger_unit_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/http_transport_test.cc ${CMAKE_CURRENT_LIST_DIR}/measurement_test.cc
  LIBS pemrix_datalogger_core
  LABELS unit TIMEOUT 60)

pemrix_add_test(NAME datalogger_influx_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/influx_driver_test.cc
  LIBS pemrix_datalogger_core
  LABELS integration TIMEOUT 120)

pemrix_add_test(NAME datalogger_service_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/datalogger_test.cc
  LIBS pemrix_datalogger_core
  LABELS integration TIMEOUT 240)
add_dependencies(datalogger_service_test pemrix_ipc_test_peer Pemrix.DataLogger)
set_property(TEST datalogger_service_test APPEND PROPERTY ENVIRONMENT
  "LSAN_OPTIONS=suppressions=${CMAKE_CURRENT_LIST_DIR}/lsan.supp")
