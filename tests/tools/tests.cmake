# The tools' parts (argument parsing, the monitor's events, sockets, metrics
# file and causes), tested without starting a tool; the sources are compiled
# in so that these run with the tools off too.
include(${PROJECT_SOURCE_DIR}/tools/cli11.cmake)
heartbeat_unit_test(cli_args_test SOURCES
    ${CMAKE_CURRENT_LIST_DIR}/tool_parts_test.cpp
    ${PROJECT_SOURCE_DIR}/tools/cli_args.cpp
    ${PROJECT_SOURCE_DIR}/tools/monitor_control.cpp
    ${PROJECT_SOURCE_DIR}/tools/monitor_events.cpp
    ${PROJECT_SOURCE_DIR}/tools/monitor_state.cpp)
target_link_libraries(cli_args_test PRIVATE heartbeat_cli11)
target_compile_definitions(cli_args_test PRIVATE HEARTBEAT_VERSION="${PROJECT_VERSION}")

# The built tools, started as a user starts them (through the emulator in a
# cross build, since the test itself runs under it).
if(HEARTBEAT_BUILD_TOOLS)
    heartbeat_unit_test(tools_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/tools_test.cpp)
    add_dependencies(tools_test heartbeat-monitor heartbeat-send)
    list(JOIN CMAKE_CROSSCOMPILING_EMULATOR "|" _heartbeat_tool_emulator)
    target_compile_definitions(tools_test PRIVATE
        HEARTBEAT_VERSION="${PROJECT_VERSION}"
        HB_MONITOR_PATH="$<TARGET_FILE:heartbeat-monitor>"
        HB_SEND_PATH="$<TARGET_FILE:heartbeat-send>"
        HB_TOOL_EMULATOR="${_heartbeat_tool_emulator}")
endif()

# heartbeat-send's parts, and the tool supervising real commands under the
# real monitor (not in a cross build: the scenarios start host programs).
if(HEARTBEAT_BUILD_TOOLS)
    add_executable(send_parts_test ${CMAKE_CURRENT_LIST_DIR}/send_parts_test.cpp)
    target_link_libraries(send_parts_test PRIVATE heartbeat_send_support GTest::gtest GTest::gtest_main)
    heartbeat_warnings(send_parts_test)
    gtest_discover_tests(send_parts_test DISCOVERY_MODE PRE_TEST DISCOVERY_TIMEOUT 60
        PROPERTIES LABELS unit)
endif()
if(HEARTBEAT_BUILD_TOOLS AND NOT CMAKE_CROSSCOMPILING AND NOT HEARTBEAT_USE_SYSTEM_LUMO)
    add_test(NAME send_e2e COMMAND bash ${CMAKE_CURRENT_LIST_DIR}/send_e2e_test.sh
        $<TARGET_FILE:heartbeat-monitor> $<TARGET_FILE:heartbeat-send>)
    set_tests_properties(send_e2e PROPERTIES LABELS e2e TIMEOUT 120 SKIP_RETURN_CODE 77)
endif()
