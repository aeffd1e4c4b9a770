heartbeat_unit_test(heartbeat_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/heartbeat_test.cpp)
heartbeat_unit_test(client_thread_watchdog_test
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/ClientThreadWatchDog_test.cpp)
