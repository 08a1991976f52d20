# The lowest layer: little-endian fields, reading inputs, writing outputs, text encodings.
set(SELFEXTR_PACK_BASE_SOURCES
    ${CMAKE_CURRENT_LIST_DIR}/input.cpp
    ${CMAKE_CURRENT_LIST_DIR}/output.cpp
    ${CMAKE_CURRENT_LIST_DIR}/sha256.cpp
    ${CMAKE_CURRENT_LIST_DIR}/tree_output.cpp
    ${CMAKE_CURRENT_LIST_DIR}/text.cpp)
