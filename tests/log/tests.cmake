heartbeat_unit_test(kov_syslog_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/KovSyslog_test.cpp)
