# MQTT link: the connector in-process, the client against a real mosquitto broker.
pemrix_add_test(NAME mqtt_connector_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/mqtt_connector_test.cc
  LIBS pemrix_daemon_core LABELS unit TIMEOUT 30)
pemrix_add_test(NAME mqtt_client_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/mqtt_client_test.cc
  LIBS pemrix_daemon_core LABELS integration TIMEOUT 180)
