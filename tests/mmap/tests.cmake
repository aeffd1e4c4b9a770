heartbeat_unit_test(mmap_comm_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/MmapComm_test.cpp)
heartbeat_unit_test(mmap_send_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/SendHeartBeatUseMmap_test.cpp)
heartbeat_unit_test(mmap_receive_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/ReceiveHeartBeatWithMmap_test.cpp)
