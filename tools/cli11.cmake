# CLI11, header-only (Debian: libcli11-dev), as the target heartbeat_cli11.
# Its package files may be out of reach of a cross build's find root; the
# headers are the same for every architecture, so the host's will do.
include_guard(GLOBAL)
find_package(CLI11 CONFIG QUIET)
add_library(heartbeat_cli11 INTERFACE)
if(TARGET CLI11::CLI11)
    target_link_libraries(heartbeat_cli11 INTERFACE CLI11::CLI11)
else()
    find_path(HEARTBEAT_CLI11_INCLUDE_DIR CLI/CLI.hpp NO_CMAKE_FIND_ROOT_PATH)
    if(NOT HEARTBEAT_CLI11_INCLUDE_DIR)
        message(FATAL_ERROR "CLI11 not found: install libcli11-dev")
    endif()
    # Only CLI/ itself: the rest of the host's include folder (its C library's
    # headers) must not reach a cross compiler.
    set(_heartbeat_cli11_dir ${CMAKE_BINARY_DIR}/cli11-include)
    file(MAKE_DIRECTORY ${_heartbeat_cli11_dir})
    file(CREATE_LINK ${HEARTBEAT_CLI11_INCLUDE_DIR}/CLI ${_heartbeat_cli11_dir}/CLI SYMBOLIC)
    target_include_directories(heartbeat_cli11 SYSTEM INTERFACE ${_heartbeat_cli11_dir})
endif()
