heartbeat_unit_test(checkheart_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/checkheart_test.cpp)
