# Warning flags shared by every target of the project. CI configures with
# HEARTBEAT_WERROR=ON so that a new warning fails the build.
function(heartbeat_warnings target)
    target_compile_options(${target} PRIVATE
        -Wall -Wextra -Wpedantic -Wshadow -Wconversion -Wno-sign-conversion
        -Wnon-virtual-dtor -Wold-style-cast -Wcast-align -Wformat=2
        -Wnull-dereference -Wimplicit-fallthrough)
    if(CMAKE_CXX_COMPILER_ID MATCHES "Clang")
        # -beta adds the lock-order check: without it ACQUIRED_AFTER is
        # parsed and then ignored.
        target_compile_options(${target} PRIVATE -Wthread-safety -Wthread-safety-beta)
    endif()
    if(HEARTBEAT_WERROR)
        target_compile_options(${target} PRIVATE -Werror)
    endif()
endfunction()
