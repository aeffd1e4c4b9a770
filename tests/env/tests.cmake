heartbeat_unit_test(env_manager_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/EnvManager_test.cpp)
