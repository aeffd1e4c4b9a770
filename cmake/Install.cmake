# Installation: the library with its SONAME links, our IPC library (unless the
# platform's is used), the public headers under one folder, a CMake package
# (find_package(libheartbeat CONFIG) -> libheartbeat::heartbeat), a pkg-config
# file and the command-line tools.
include(CMakePackageConfigHelpers)

set(HEARTBEAT_INSTALL_CMAKEDIR ${CMAKE_INSTALL_LIBDIR}/cmake/libheartbeat
    CACHE STRING "Where the CMake package files go, relative to the prefix")
set(HEARTBEAT_INSTALL_INCLUDEDIR ${CMAKE_INSTALL_INCLUDEDIR}/libheartbeat)

# The installed tree is relocatable: the tools find the libraries from their
# own place, libheartbeat finds liblumo beside itself, and the package files
# locate the prefix from where they lie.
file(RELATIVE_PATH _heartbeat_bin_to_lib
    ${CMAKE_INSTALL_FULL_BINDIR} ${CMAKE_INSTALL_FULL_LIBDIR})
file(RELATIVE_PATH _heartbeat_pc_to_prefix
    ${CMAKE_INSTALL_FULL_LIBDIR}/pkgconfig ${CMAKE_INSTALL_PREFIX})
set_target_properties(heartbeat PROPERTIES INSTALL_RPATH "$ORIGIN")

set(_heartbeat_export_targets heartbeat)
if(HEARTBEAT_USE_SYSTEM_LUMO)
    # The package looks for the platform's library where it was found here.
    get_filename_component(_heartbeat_system_lumo_dir "${LUMO_LIBRARY}" DIRECTORY)
else()
    # lumo_headers carries lumo's include folder in its interface.
    list(APPEND _heartbeat_export_targets lumo lumo_headers)
endif()

install(TARGETS ${_heartbeat_export_targets}
    EXPORT libheartbeatTargets
    LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
    ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
    RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})

file(GLOB _heartbeat_public_headers ${PROJECT_SOURCE_DIR}/include/*.h)
install(FILES ${_heartbeat_public_headers} DESTINATION ${HEARTBEAT_INSTALL_INCLUDEDIR})
if(NOT HEARTBEAT_USE_SYSTEM_LUMO)
    # With the platform's IPC library its own lumo.h is the one to use, and
    # our additions (lumo_peer.h) are not there.
    install(FILES ${PROJECT_SOURCE_DIR}/ipc/lumo.h ${PROJECT_SOURCE_DIR}/ipc/lumo_peer.h
        DESTINATION ${HEARTBEAT_INSTALL_INCLUDEDIR})
endif()

install(EXPORT libheartbeatTargets
    NAMESPACE libheartbeat::
    DESTINATION ${HEARTBEAT_INSTALL_CMAKEDIR})
configure_package_config_file(
    ${PROJECT_SOURCE_DIR}/cmake/libheartbeatConfig.cmake.in
    ${PROJECT_BINARY_DIR}/libheartbeatConfig.cmake
    INSTALL_DESTINATION ${HEARTBEAT_INSTALL_CMAKEDIR})
write_basic_package_version_file(
    ${PROJECT_BINARY_DIR}/libheartbeatConfigVersion.cmake
    COMPATIBILITY SameMajorVersion)
install(FILES
    ${PROJECT_BINARY_DIR}/libheartbeatConfig.cmake
    ${PROJECT_BINARY_DIR}/libheartbeatConfigVersion.cmake
    DESTINATION ${HEARTBEAT_INSTALL_CMAKEDIR})

# pkg-config: the prefix is found from the .pc file's own folder, so the tree
# can be installed with --prefix or DESTDIR and moved afterwards. With an
# absolute libdir that is impossible, and the configured prefix is written.
if(IS_ABSOLUTE ${CMAKE_INSTALL_LIBDIR})
    set(HEARTBEAT_PC_PREFIX ${CMAKE_INSTALL_PREFIX})
else()
    string(REGEX REPLACE "/$" "" _heartbeat_pc_to_prefix "${_heartbeat_pc_to_prefix}")
    set(HEARTBEAT_PC_PREFIX "\${pcfiledir}/${_heartbeat_pc_to_prefix}")
endif()
if(IS_ABSOLUTE ${CMAKE_INSTALL_LIBDIR})
    set(HEARTBEAT_PC_LIBDIR ${CMAKE_INSTALL_LIBDIR})
else()
    set(HEARTBEAT_PC_LIBDIR "\${prefix}/${CMAKE_INSTALL_LIBDIR}")
endif()
if(IS_ABSOLUTE ${CMAKE_INSTALL_INCLUDEDIR})
    set(HEARTBEAT_PC_INCLUDEDIR ${CMAKE_INSTALL_INCLUDEDIR}/libheartbeat)
else()
    set(HEARTBEAT_PC_INCLUDEDIR "\${prefix}/${CMAKE_INSTALL_INCLUDEDIR}/libheartbeat")
endif()
configure_file(${PROJECT_SOURCE_DIR}/cmake/libheartbeat.pc.in
    ${PROJECT_BINARY_DIR}/libheartbeat.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/libheartbeat.pc
    DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)

foreach(_heartbeat_tool heartbeat-monitor heartbeat-send)
    if(TARGET ${_heartbeat_tool})
        set_target_properties(${_heartbeat_tool} PROPERTIES
            INSTALL_RPATH "$ORIGIN/${_heartbeat_bin_to_lib}")
        install(TARGETS ${_heartbeat_tool} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
    endif()
endforeach()

# heartbeat-monitor as a systemd service, with an example of its config file.
if(TARGET heartbeat-monitor)
    set(HEARTBEAT_SYSTEMD_UNITDIR lib/systemd/system
        CACHE STRING "Where the systemd unit goes, relative to the prefix")
    set(HEARTBEAT_MONITOR_CONFIG ${CMAKE_INSTALL_FULL_SYSCONFDIR}/heartbeat-monitor.toml)
    set(HEARTBEAT_MONITOR_EXAMPLE ${CMAKE_INSTALL_FULL_DATADIR}/libheartbeat/heartbeat-monitor.toml)
    configure_file(${PROJECT_SOURCE_DIR}/share/heartbeat-monitor.service.in
        ${PROJECT_BINARY_DIR}/heartbeat-monitor.service @ONLY)
    install(FILES ${PROJECT_BINARY_DIR}/heartbeat-monitor.service DESTINATION ${HEARTBEAT_SYSTEMD_UNITDIR})
    install(FILES ${PROJECT_SOURCE_DIR}/share/heartbeat-monitor.toml
        DESTINATION ${CMAKE_INSTALL_DATADIR}/libheartbeat)
endif()
