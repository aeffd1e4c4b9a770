# The tools' parts (both tools' command lines, the monitor's events, sockets,
# metrics file and causes, heartbeat-send's notifications and verdicts),
# tested without starting a tool; the sources are compiled in so that these
# run with the tools off too. With the tools on, the built tools are also
# started as a user starts them (through the emulator in a cross build, since
# the test itself runs under it).
include(${PROJECT_SOURCE_DIR}/tools/cli11.cmake)
heartbeat_unit_test(tool_parts_test SOURCES
    ${CMAKE_CURRENT_LIST_DIR}/tool_parts_test.cpp
    ${PROJECT_SOURCE_DIR}/tools/cli_args.cpp
    ${PROJECT_SOURCE_DIR}/tools/monitor_control.cpp
    ${PROJECT_SOURCE_DIR}/tools/monitor_events.cpp
    ${PROJECT_SOURCE_DIR}/tools/monitor_hooks.cpp
    ${PROJECT_SOURCE_DIR}/tools/monitor_state.cpp
    ${PROJECT_SOURCE_DIR}/tools/process_util.cpp
    ${PROJECT_SOURCE_DIR}/tools/send_health.cpp
    ${PROJECT_SOURCE_DIR}/tools/send_notify.cpp
    ${PROJECT_SOURCE_DIR}/tools/send_options.cpp)
target_link_libraries(tool_parts_test PRIVATE heartbeat_cli11)
target_compile_definitions(tool_parts_test PRIVATE HEARTBEAT_VERSION="${PROJECT_VERSION}")
if(HEARTBEAT_BUILD_TOOLS)
    add_dependencies(tool_parts_test heartbeat-monitor heartbeat-send)
    list(JOIN CMAKE_CROSSCOMPILING_EMULATOR "|" _heartbeat_tool_emulator)
    target_compile_definitions(tool_parts_test PRIVATE
        HB_MONITOR_PATH="$<TARGET_FILE:heartbeat-monitor>"
        HB_SEND_PATH="$<TARGET_FILE:heartbeat-send>"
        HB_TOOL_EMULATOR="${_heartbeat_tool_emulator}")
endif()

# heartbeat-send supervising ordinary commands under heartbeat-monitor, its
# status, metrics file, hooks and reload (not in a cross build: the scenarios
# start host programs; not with the platform's IPC library, whose pipe files
# are not ours to know).
if(HEARTBEAT_BUILD_TOOLS AND NOT CMAKE_CROSSCOMPILING AND NOT HEARTBEAT_USE_SYSTEM_LUMO)
    add_test(NAME tools_e2e COMMAND bash ${CMAKE_CURRENT_LIST_DIR}/tools_e2e_test.sh
        $<TARGET_FILE:heartbeat-monitor> $<TARGET_FILE:heartbeat-send>)
    set_tests_properties(tools_e2e PROPERTIES LABELS e2e TIMEOUT 120 SKIP_RETURN_CODE 77)
endif()
