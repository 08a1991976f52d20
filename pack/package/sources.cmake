# The package format: built, listed and checked; includes image/ and base/.
set(SELFEXTR_PACK_PACKAGE_SOURCES
    ${CMAKE_CURRENT_LIST_DIR}/appmanifest.cpp
    ${CMAKE_CURRENT_LIST_DIR}/assemble.cpp
    ${CMAKE_CURRENT_LIST_DIR}/dates.cpp
    ${CMAKE_CURRENT_LIST_DIR}/elevation.cpp
    ${CMAKE_CURRENT_LIST_DIR}/languages.cpp
    ${CMAKE_CURRENT_LIST_DIR}/names.cpp
    ${CMAKE_CURRENT_LIST_DIR}/package_check.cpp
    ${CMAKE_CURRENT_LIST_DIR}/package_extract.cpp
    ${CMAKE_CURRENT_LIST_DIR}/package_layout.cpp
    ${CMAKE_CURRENT_LIST_DIR}/package_list.cpp
    ${CMAKE_CURRENT_LIST_DIR}/payload_read.cpp
    ${CMAKE_CURRENT_LIST_DIR}/payload_write.cpp
    ${CMAKE_CURRENT_LIST_DIR}/runner_image.cpp
    ${CMAKE_CURRENT_LIST_DIR}/runner_settings.cpp
    ${CMAKE_CURRENT_LIST_DIR}/stringtable.cpp
    ${CMAKE_CURRENT_LIST_DIR}/version.cpp)
