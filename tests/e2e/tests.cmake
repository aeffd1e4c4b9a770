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
endif()

# Supervision scenarios (label e2e) and 200 client processes (label load) with
# one helper program that links the shared libheartbeat and uses its exported
# interface only. Not in a cross build (every client under the emulator) nor
# with the platform's own IPC library (whose pipe files are not ours to know).
if(NOT CMAKE_CROSSCOMPILING AND NOT HEARTBEAT_USE_SYSTEM_LUMO)
    set(_e2e ${CMAKE_CURRENT_LIST_DIR})
    add_executable(hb_helper ${_e2e}/hb_helper.cpp)
    # Exported so that the library's LumoOpen() calls reach the helper's own
    # definition, which passes them on.
    set_target_properties(hb_helper PROPERTIES ENABLE_EXPORTS ON)
    target_link_libraries(hb_helper PRIVATE heartbeat lumo ${CMAKE_DL_LIBS} Threads::Threads)
    heartbeat_warnings(hb_helper)

    function(heartbeat_process_test name label timeout)  # sources follow
        add_executable(${name} ${ARGN})
        target_include_directories(${name} PRIVATE ${_e2e} ${PROJECT_SOURCE_DIR}/include ${PROJECT_SOURCE_DIR}/tests)
        target_compile_definitions(${name} PRIVATE HB_E2E_HELPER="$<TARGET_FILE:hb_helper>")
        target_link_libraries(${name} PRIVATE GTest::gtest GTest::gtest_main Threads::Threads)
        add_dependencies(${name} hb_helper)
        heartbeat_warnings(${name})
        gtest_discover_tests(${name} DISCOVERY_MODE PRE_TEST DISCOVERY_TIMEOUT 60
            PROPERTIES LABELS ${label} TIMEOUT ${timeout})
    endfunction()

    heartbeat_process_test(e2e_test e2e 120 ${_e2e}/lifecycle_test.cpp)
    heartbeat_process_test(load_test load 400 ${_e2e}/load_test.cpp)
endif()
