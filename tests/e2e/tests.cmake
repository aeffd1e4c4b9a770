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

# Supervision scenarios with small helper programs over our IPC library (label
# e2e), and the load test with 200 client processes (label load). The helpers
# link the shared libheartbeat and use its exported interface only. Not in a
# cross build (the clients would all run under the emulator) nor with the
# platform's own IPC library (whose pipe files are not ours to know).
if(NOT CMAKE_CROSSCOMPILING AND NOT HEARTBEAT_USE_SYSTEM_LUMO)
    set(_e2e ${CMAKE_CURRENT_LIST_DIR})
    add_library(e2e_helper_util OBJECT ${_e2e}/helpers/helper_util.cpp)
    heartbeat_warnings(e2e_helper_util)

    foreach(helper hb_server hb_client hb_hostile)
        add_executable(${helper} ${_e2e}/helpers/${helper}.cpp $<TARGET_OBJECTS:e2e_helper_util>)
        target_include_directories(${helper} PRIVATE ${_e2e}/helpers)
        # Exported so that the library's syslog() and LumoOpen() calls reach
        # the helper's own definitions.
        set_target_properties(${helper} PROPERTIES ENABLE_EXPORTS ON)
        target_link_libraries(${helper} PRIVATE heartbeat lumo ${CMAKE_DL_LIBS} Threads::Threads)
        heartbeat_warnings(${helper})
    endforeach()

    add_library(e2e_harness OBJECT ${_e2e}/harness/process.cpp)
    target_include_directories(e2e_harness PUBLIC ${_e2e})
    target_compile_definitions(e2e_harness PUBLIC
        HB_E2E_SERVER="$<TARGET_FILE:hb_server>"
        HB_E2E_CLIENT="$<TARGET_FILE:hb_client>"
        HB_E2E_HOSTILE="$<TARGET_FILE:hb_hostile>")
    heartbeat_warnings(e2e_harness)

    # heartbeat_process_test(<name> <label> <timeout s> <sources...>)
    function(heartbeat_process_test name label timeout)
        add_executable(${name} ${ARGN} $<TARGET_OBJECTS:e2e_harness>)
        target_include_directories(${name} PRIVATE ${_e2e})
        target_compile_definitions(${name} PRIVATE $<TARGET_PROPERTY:e2e_harness,INTERFACE_COMPILE_DEFINITIONS>)
        target_link_libraries(${name} PRIVATE GTest::gtest GTest::gtest_main Threads::Threads)
        add_dependencies(${name} hb_server hb_client hb_hostile)
        heartbeat_warnings(${name})
        gtest_discover_tests(${name} DISCOVERY_MODE PRE_TEST DISCOVERY_TIMEOUT 60
            PROPERTIES LABELS ${label} TIMEOUT ${timeout})
    endfunction()

    heartbeat_process_test(e2e_test e2e 120
        ${_e2e}/lifecycle_test.cpp
        ${_e2e}/stress_test.cpp
        ${_e2e}/hostile_test.cpp)
    heartbeat_process_test(load_test load 400 ${_e2e}/load_test.cpp)
endif()
