heartbeat_unit_test(mmap_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/mmap_test.cpp)
