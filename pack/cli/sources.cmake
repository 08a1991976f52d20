# The command line: options over the manifest, the subcommands, JSON; includes every layer below. main.cpp is the tool's alone.
set(SELFEXTR_PACK_CLI_SOURCES
    ${CMAKE_CURRENT_LIST_DIR}/commands.cpp
    ${CMAKE_CURRENT_LIST_DIR}/listing_json.cpp
    ${CMAKE_CURRENT_LIST_DIR}/listing_text.cpp
    ${CMAKE_CURRENT_LIST_DIR}/manifest.cpp
    ${CMAKE_CURRENT_LIST_DIR}/options.cpp
    ${CMAKE_CURRENT_LIST_DIR}/progress_line.cpp)
