heartbeat_unit_test(kov_syslog_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/KovSyslog_test.cpp)
heartbeat_unit_test(kov_restrained_log_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/KovRestrainedLog_test.cpp)

# A whole process that returns from main while its threads keep logging and
# asking the boot configuration centre: it has its own main, and passes when it
# exits with status 0.
add_executable(singleton_teardown_test ${CMAKE_CURRENT_LIST_DIR}/SingletonTeardown_test.cpp)
target_link_libraries(singleton_teardown_test PRIVATE heartbeat_obj test_support lumo)
heartbeat_warnings(singleton_teardown_test)
add_test(NAME SingletonTeardown.ExitWhileThreadsLogAndAskTheCentre COMMAND singleton_teardown_test)
set_tests_properties(SingletonTeardown.ExitWhileThreadsLogAndAskTheCentre PROPERTIES LABELS unit TIMEOUT 120)
