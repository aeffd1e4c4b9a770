# Our pipe library against a raw SOCK_SEQPACKET send, and its delivery latency
# between two processes. It needs no part of libheartbeat, and with
# HEARTBEAT_USE_SYSTEM_LUMO there is no library of ours to measure.
if(NOT HEARTBEAT_USE_SYSTEM_LUMO)
    add_executable(ipc_bench ${CMAKE_CURRENT_LIST_DIR}/ipc_bench.cpp)
    target_link_libraries(ipc_bench PRIVATE lumo benchmark::benchmark Threads::Threads)
    heartbeat_warnings(ipc_bench)
endif()
