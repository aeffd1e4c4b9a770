# HEARTBEAT_SANITIZE="address;undefined" or "thread" instruments every target.
if(HEARTBEAT_SANITIZE)
    list(JOIN HEARTBEAT_SANITIZE "," _heartbeat_sanitizers)
    add_compile_options(-fsanitize=${_heartbeat_sanitizers} -fno-omit-frame-pointer -g)
    add_link_options(-fsanitize=${_heartbeat_sanitizers})
    if("undefined" IN_LIST HEARTBEAT_SANITIZE)
        add_compile_options(-fno-sanitize-recover=undefined)
    endif()
endif()
