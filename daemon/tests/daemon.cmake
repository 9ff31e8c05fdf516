# The daemon service, driven as a remote operator drives it: the built
# Pemrix.Daemon, a real broker, a real MQTT client and the host stand-in.
add_library(pemrix_daemon_harness INTERFACE)
target_link_libraries(pemrix_daemon_harness INTERFACE pemrix_testing nlohmann_json::nlohmann_json)
target_include_directories(pemrix_daemon_harness INTERFACE ${CMAKE_CURRENT_LIST_DIR})
foreach(name lifecycle requests commands ctl)
  pemrix_add_test(NAME daemon_${name}_test LABELS integration TIMEOUT 240
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/daemon_${name}_test.cc LIBS pemrix_daemon_harness)
  add_dependencies(daemon_${name}_test Pemrix.Daemon pemrix-hostsvc pemrix-ctl)
endforeach()
# These use the fixed archive and unpack names in /tmp: never two at once.
set_tests_properties(daemon_commands_test daemon_ctl_test PROPERTIES RESOURCE_LOCK tmp_project_files)

# The settings the service reads at start-up, in-process.
pemrix_add_test(NAME daemon_settings_test LABELS unit TIMEOUT 60
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/daemon_settings_test.cc LIBS pemrix_daemon_core)
# The upload target in-process (disk full, resume, digest).
pemrix_add_test(NAME upload_file_test LABELS unit TIMEOUT 60
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/upload_file_test.cc LIBS pemrix_daemon_core)
