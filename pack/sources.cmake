# The host tool's own sources, less cli/main.cpp, layer by layer: the tool, its
# tests, the fuzzer and its Windows build compile the same list. A layer
# includes only the layers listed before it; sources include headers from the
# pack/ folder ("image/pe.h") and the stub's from the top ("stub/sizes.h").
foreach(layer base image package cli)
    include(${CMAKE_CURRENT_LIST_DIR}/${layer}/sources.cmake)
endforeach()
set(SELFEXTR_PACK_SOURCES ${SELFEXTR_PACK_BASE_SOURCES} ${SELFEXTR_PACK_IMAGE_SOURCES}
    ${SELFEXTR_PACK_PACKAGE_SOURCES} ${SELFEXTR_PACK_CLI_SOURCES})
# The payload's decoder, shared with the runner.
include(${CMAKE_CURRENT_LIST_DIR}/../decoder/sources.cmake)
list(APPEND SELFEXTR_PACK_SOURCES ${SELFEXTR_DECODER_SOURCES})
# Where the tool's includes are found.
set(SELFEXTR_PACK_INCLUDE_DIRS ${CMAKE_CURRENT_LIST_DIR} ${CMAKE_CURRENT_LIST_DIR}/..)
