# The host tool's own sources, less main.cpp: the tool, its tests, the fuzzer
# and its Windows build compile the same list.
set(SELFEXTR_PACK_SOURCES
    ${CMAKE_CURRENT_LIST_DIR}/appmanifest.cpp
    ${CMAKE_CURRENT_LIST_DIR}/commands.cpp
    ${CMAKE_CURRENT_LIST_DIR}/dates.cpp
    ${CMAKE_CURRENT_LIST_DIR}/input.cpp
    ${CMAKE_CURRENT_LIST_DIR}/listing_json.cpp
    ${CMAKE_CURRENT_LIST_DIR}/manifest.cpp
    ${CMAKE_CURRENT_LIST_DIR}/names.cpp
    ${CMAKE_CURRENT_LIST_DIR}/options.cpp
    ${CMAKE_CURRENT_LIST_DIR}/package_build.cpp
    ${CMAKE_CURRENT_LIST_DIR}/package_list.cpp
    ${CMAKE_CURRENT_LIST_DIR}/pe.cpp
    ${CMAKE_CURRENT_LIST_DIR}/stringtable.cpp
    ${CMAKE_CURRENT_LIST_DIR}/text.cpp
    ${CMAKE_CURRENT_LIST_DIR}/version.cpp)
