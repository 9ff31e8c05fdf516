# MQTT link: the client and connector against a real mosquitto broker.
add_executable(mqtt_will_peer ${CMAKE_CURRENT_LIST_DIR}/mqtt_will_peer.cc)
target_link_libraries(mqtt_will_peer PRIVATE pemrix_daemon_core)

pemrix_add_test(NAME mqtt_connector_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/mqtt_connector_test.cc
  LIBS pemrix_daemon_core LABELS unit TIMEOUT 30)

pemrix_add_test(NAME mqtt_client_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/mqtt_client_test.cc
  LIBS pemrix_daemon_core LABELS integration TIMEOUT 180)
add_dependencies(mqtt_client_test mqtt_will_peer)
