heartbeat_benchmark(checker_bench SOURCES ${CMAKE_CURRENT_LIST_DIR}/checker_bench.cpp FAKE_LUMO)
