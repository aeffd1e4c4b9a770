# The log facility against the real syslog(3): a filtered line, a written line
# beside a plain syslog call with the same text, and a suppressed rate-limited
# line.
heartbeat_benchmark(log_bench SOURCES ${CMAKE_CURRENT_LIST_DIR}/log_bench.cpp)
