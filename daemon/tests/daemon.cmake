# The daemon service, driven as a remote operator drives it: the built
# Pemrix.Daemon, a real broker, a real MQTT client and the host stand-in.
add_library(pemrix_daemon_harness STATIC ${CMAKE_CURRENT_LIST_DIR}/daemon_harness.cc)
target_link_libraries(pemrix_daemon_harness PUBLIC pemrix_testing nlohmann_json::nlohmann_json)

pemrix_add_test(NAME daemon_lifecycle_test LABELS integration TIMEOUT 180
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/daemon_lifecycle_test.cc LIBS pemrix_daemon_harness)
pemrix_add_test(NAME daemon_requests_test LABELS integration TIMEOUT 240
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/daemon_requests_test.cc LIBS pemrix_daemon_harness)
# These use the fixed archive and unpack names in /tmp: never two at once.
pemrix_add_test(NAME daemon_commands_test LABELS integration TIMEOUT 180
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/daemon_commands_test.cc LIBS pemrix_daemon_harness)
set_tests_properties(daemon_commands_test PROPERTIES RESOURCE_LOCK tmp_project_files)
foreach(t daemon_lifecycle_test daemon_requests_test daemon_commands_test)
  add_dependencies(${t} Pemrix.Daemon pemrix-hostsvc)
endforeach()

# The settings the service reads at start-up, in-process.
pemrix_add_test(NAME daemon_settings_test LABELS unit TIMEOUT 60
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/daemon_settings_test.cc LIBS pemrix_daemon_core)
