heartbeat_benchmark(client_bench SOURCES ${CMAKE_CURRENT_LIST_DIR}/client_bench.cpp FAKE_LUMO)
