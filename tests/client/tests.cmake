heartbeat_unit_test(client_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/client_test.cpp)
