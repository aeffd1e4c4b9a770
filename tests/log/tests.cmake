heartbeat_unit_test(kov_syslog_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/KovSyslog_test.cpp)
heartbeat_unit_test(kov_restrained_log_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/KovRestrainedLog_test.cpp)

heartbeat_unit_test(token_bucket_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/token_bucket_test.cpp)
