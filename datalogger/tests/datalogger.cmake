# Data logger tests. Unit tier: scripted peers only. Integration tier: a real
# influxd (one per executable) and a JSON-RPC acquisition stand-in program.
pemrix_add_test(NAME datalogger_unit_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/http_transport_test.cc
  LIBS pemrix_datalogger_core
  LABELS unit TIMEOUT 60)
