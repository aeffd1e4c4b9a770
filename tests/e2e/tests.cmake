# End-to-end runs of the built programs over the real IPC library. Each lives
# through real 3-second heartbeat cycles, so each takes up to half a minute.
if(HEARTBEAT_BUILD_TOOLS)
    # demo_server starts demo_client with execve, which in a cross build would
    # need the kernel to run target binaries: these run in native builds only.
    if(NOT CMAKE_CROSSCOMPILING)
        add_test(NAME demo COMMAND bash ${CMAKE_CURRENT_LIST_DIR}/demo_test.sh
            $<TARGET_FILE:demo_server>)
        add_test(NAME demo_interrupted COMMAND bash ${CMAKE_CURRENT_LIST_DIR}/demo_test.sh
            $<TARGET_FILE:demo_server> --interrupt)
        set_tests_properties(demo demo_interrupted PROPERTIES LABELS demo TIMEOUT 120)
    endif()

    # The tools start no other program, so the emulator runs them as it runs
    # every test of a cross build.
    add_test(NAME monitor_send_e2e COMMAND bash ${CMAKE_CURRENT_LIST_DIR}/monitor_send_test.sh
        $<TARGET_FILE:heartbeat-monitor> $<TARGET_FILE:heartbeat-send> ${CMAKE_CROSSCOMPILING_EMULATOR})
    set_tests_properties(monitor_send_e2e PROPERTIES LABELS e2e TIMEOUT 120)
endif()
