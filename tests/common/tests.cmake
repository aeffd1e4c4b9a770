heartbeat_unit_test(heartbeat_message_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/heartbeat_message_test.cpp)
heartbeat_unit_test(semaphore_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/Semaphore_test.cpp)
