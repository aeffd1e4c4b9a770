# What a hostile neighbour process can do to us: each area adds its cases
# here, in its own executable, labelled `hostile`. The whole suite stays
# within about two minutes.

# Our IPC library: unsafe pipe directories, symlinked socket files, peers
# outside the pipe's group, connection hoarders, fork without exec, unloading.
if(NOT HEARTBEAT_USE_SYSTEM_LUMO)
    # dlopens the library by path, so it must not link it.
    add_executable(lumo_unload_helper ${CMAKE_CURRENT_LIST_DIR}/lumo_unload_helper.cpp)
    target_link_libraries(lumo_unload_helper PRIVATE lumo_headers ${CMAKE_DL_LIBS} Threads::Threads)
    heartbeat_warnings(lumo_unload_helper)

    add_executable(ipc_hostile_test ${CMAKE_CURRENT_LIST_DIR}/ipc_hostile_test.cpp)
    target_link_libraries(ipc_hostile_test PRIVATE lumo GTest::gtest GTest::gtest_main Threads::Threads)
    target_include_directories(ipc_hostile_test PRIVATE ${PROJECT_SOURCE_DIR}/tests)
    target_compile_definitions(ipc_hostile_test PRIVATE
        LUMO_LIBRARY="$<TARGET_FILE:lumo>" UNLOAD_HELPER="$<TARGET_FILE:lumo_unload_helper>")
    add_dependencies(ipc_hostile_test lumo_unload_helper)
    heartbeat_warnings(ipc_hostile_test)
    # A forked child that opens its own pipe starts a thread, which the
    # thread sanitizer refuses after a multi-threaded fork unless told.
    gtest_discover_tests(ipc_hostile_test DISCOVERY_MODE PRE_TEST DISCOVERY_TIMEOUT 60
        PROPERTIES LABELS hostile TIMEOUT 30 ENVIRONMENT "TSAN_OPTIONS=die_after_fork=0")
endif()

# Channel files, names and the library's state after fork: what another
# process, or a careless caller, can do to them, done for real.
heartbeat_unit_test(mmap_client_hostile_test
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/mmap_client_hostile_test.cpp
    LABELS hostile)

# The checking side: forged records, floods of bad input, unterminated names
# and fork without exec.
heartbeat_unit_test(checker_hostile_test REAL_LUMO LABELS hostile
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/checker_hostile_test.cpp)
