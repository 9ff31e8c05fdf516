# Request signatures in-process: keys, envelopes and the verifier's verdicts.
pemrix_add_test(NAME request_signature_test LABELS unit TIMEOUT 60
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/request_signature_test.cc LIBS pemrix_signature pemrix_testing)
# A gateway with signing on over a real broker; uses /tmp/Project.tar.gz.
pemrix_add_test(NAME daemon_signing_test LABELS integration TIMEOUT 240
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/daemon_signing_test.cc LIBS pemrix_daemon_harness pemrix_ctl_core)
add_dependencies(daemon_signing_test Pemrix.Daemon pemrix-ctl)
set_tests_properties(daemon_signing_test PROPERTIES RESOURCE_LOCK tmp_project_files)
