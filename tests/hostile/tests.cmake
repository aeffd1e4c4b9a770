# Hostile neighbours: real processes that abuse what a neighbour can reach.
heartbeat_unit_test(checker_hostile_test REAL_LUMO LABELS hostile
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/checker_hostile_test.cpp)
