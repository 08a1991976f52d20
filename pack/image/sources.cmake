# The PE image: reader and writer of the resource section; includes base/.
set(SELFEXTR_PACK_IMAGE_SOURCES
    ${CMAKE_CURRENT_LIST_DIR}/image_file.cpp
    ${CMAKE_CURRENT_LIST_DIR}/pe.cpp)
