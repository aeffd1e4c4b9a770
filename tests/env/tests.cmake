heartbeat_unit_test(env_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/env_test.cpp)
