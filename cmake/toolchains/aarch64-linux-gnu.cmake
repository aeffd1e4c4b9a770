# Cross build for 64-bit ARM Linux with Debian's cross toolchain
# (packages g++-aarch64-linux-gnu, binutils-aarch64-linux-gnu). Programs built
# for the target run on the build machine through qemu-user (package
# qemu-user), which is how ctest and gtest_discover_tests start them.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)

set(HEARTBEAT_CROSS_TRIPLE aarch64-linux-gnu)
set(HEARTBEAT_CROSS_SYSROOT /usr/${HEARTBEAT_CROSS_TRIPLE})

set(CMAKE_C_COMPILER ${HEARTBEAT_CROSS_TRIPLE}-gcc)
set(CMAKE_CXX_COMPILER ${HEARTBEAT_CROSS_TRIPLE}-g++)
# The ABI test reads the library's dynamic symbols with CMAKE_NM: it must be
# the target's nm, not the host's.
set(CMAKE_NM ${HEARTBEAT_CROSS_TRIPLE}-nm CACHE FILEPATH "nm for the target")
set(CMAKE_AR ${HEARTBEAT_CROSS_TRIPLE}-ar CACHE FILEPATH "ar for the target")
set(CMAKE_RANLIB ${HEARTBEAT_CROSS_TRIPLE}-ranlib CACHE FILEPATH "ranlib for the target")
set(CMAKE_STRIP ${HEARTBEAT_CROSS_TRIPLE}-strip CACHE FILEPATH "strip for the target")
set(CMAKE_OBJDUMP ${HEARTBEAT_CROSS_TRIPLE}-objdump CACHE FILEPATH "objdump for the target")

# Libraries and headers come from the target's tree only; programs (the host's
# tools) from the host.
set(CMAKE_FIND_ROOT_PATH ${HEARTBEAT_CROSS_SYSROOT})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# -L lets qemu find the target's dynamic loader and C library.
find_program(HEARTBEAT_QEMU_AARCH64 qemu-aarch64)
if(HEARTBEAT_QEMU_AARCH64)
    set(CMAKE_CROSSCOMPILING_EMULATOR ${HEARTBEAT_QEMU_AARCH64} -L ${HEARTBEAT_CROSS_SYSROOT})
endif()
