heartbeat_unit_test(semaphore_test SOURCES ${PROJECT_SOURCE_DIR}/tests/common/Semaphore_test.cpp)
heartbeat_unit_test(checkheart_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/checkheart_test.cpp)
