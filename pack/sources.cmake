# The host tool's own sources, less main.cpp: the tool, its tests, the fuzzer
# and its Windows build compile the same list.
set(SELFEXTR_PACK_SOURCES
    ${CMAKE_CURRENT_LIST_DIR}/commands.cpp
    ${CMAKE_CURRENT_LIST_DIR}/manifest.cpp
    ${CMAKE_CURRENT_LIST_DIR}/package.cpp
    ${CMAKE_CURRENT_LIST_DIR}/pe.cpp)
