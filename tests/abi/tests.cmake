# The exported interface of libheartbeat.so is exactly the list in
# abi/expected_symbols.txt: a missing or an unexpected export fails.
add_test(NAME abi_exported_symbols
    COMMAND sh ${CMAKE_CURRENT_LIST_DIR}/check_abi.sh ${CMAKE_NM} $<TARGET_FILE:heartbeat>
            ${CMAKE_CURRENT_LIST_DIR}/expected_symbols.txt)
set_tests_properties(abi_exported_symbols PROPERTIES LABELS "unit;abi")
