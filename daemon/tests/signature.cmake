# Request signatures in-process: keys, envelopes and the verifier's verdicts.
pemrix_add_test(NAME request_signature_test LABELS unit TIMEOUT 60
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/request_signature_test.cc LIBS pemrix_signature pemrix_testing)
