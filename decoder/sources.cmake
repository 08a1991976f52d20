# The payload decoder and the image resource reader: the host tool, the
# runner, the tests and the fuzzers compile the same list.
set(SELFEXTR_DECODER_SOURCES
    ${CMAKE_CURRENT_LIST_DIR}/crc.cpp
    ${CMAKE_CURRENT_LIST_DIR}/lzma.cpp
    ${CMAKE_CURRENT_LIST_DIR}/lzma2.cpp
    ${CMAKE_CURRENT_LIST_DIR}/paths.cpp
    ${CMAKE_CURRENT_LIST_DIR}/peres.cpp
    ${CMAKE_CURRENT_LIST_DIR}/tar.cpp
    ${CMAKE_CURRENT_LIST_DIR}/unicode.cpp
    ${CMAKE_CURRENT_LIST_DIR}/unicode_fold.cpp
    ${CMAKE_CURRENT_LIST_DIR}/xz.cpp)
