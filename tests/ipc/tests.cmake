# Our IPC pipe library, tested through its C interface between real processes.
# With HEARTBEAT_USE_SYSTEM_LUMO the platform's library is not ours to test.
if(NOT HEARTBEAT_USE_SYSTEM_LUMO)
    add_executable(lumo_test ${CMAKE_CURRENT_LIST_DIR}/lumo_test.cpp)
    target_link_libraries(lumo_test PRIVATE lumo GTest::gtest GTest::gtest_main Threads::Threads)
    target_include_directories(lumo_test PRIVATE ${PROJECT_SOURCE_DIR}/tests)
    heartbeat_warnings(lumo_test)
    # A forked child that opens its own pipe starts a thread, which the
    # thread sanitizer refuses after a multi-threaded fork unless told.
    gtest_discover_tests(lumo_test DISCOVERY_MODE PRE_TEST DISCOVERY_TIMEOUT 60
        TEST_LIST lumo_test_list PROPERTIES TIMEOUT 30 ENVIRONMENT "TSAN_OPTIONS=die_after_fork=0")
    # CMake 3.25's discovery script splits a list-valued property passed in
    # PROPERTIES, so the two labels are set by a script that runs after it.
    file(WRITE ${CMAKE_CURRENT_BINARY_DIR}/lumo_test_labels.cmake
        "set_tests_properties(\${lumo_test_list} PROPERTIES LABELS \"unit;ipc\")\n")
    set_property(DIRECTORY APPEND PROPERTY TEST_INCLUDE_FILES
        ${CMAKE_CURRENT_BINARY_DIR}/lumo_test_labels.cmake)

    add_test(NAME lumo_exported_symbols
        COMMAND sh ${PROJECT_SOURCE_DIR}/tests/abi/check_abi.sh ${CMAKE_NM} $<TARGET_FILE:lumo>
                ${CMAKE_CURRENT_LIST_DIR}/lumo_symbols.txt)
    set_tests_properties(lumo_exported_symbols PROPERTIES LABELS "unit;ipc;abi")
endif()
