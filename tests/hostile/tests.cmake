# The hostile-neighbour suite: what another process, or a careless caller,
# can do to a channel file, a name or the library's state, done for real. Each
# TEST runs in a process of its own and is bounded to a few seconds.
heartbeat_unit_test(mmap_client_hostile_test
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/mmap_client_hostile_test.cpp
    REAL_LUMO LABELS hostile)
