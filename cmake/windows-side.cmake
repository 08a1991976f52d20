# The 32-bit Windows half of the build, configured with the MinGW toolchain.
set(CMAKE_CXX_STANDARD 17)
set(CMAKE_CXX_STANDARD_REQUIRED ON)
set(CMAKE_CXX_EXTENSIONS OFF)

# The bare stub alone, for the host tool to carry.
if(SELFEXTR_STUB_ONLY)
    add_subdirectory(stub)
    add_subdirectory(runner)
    return()
endif()

# Win32 tests run under Wine on the test display, through the emulator.
set(CMAKE_CROSSCOMPILING_EMULATOR ${SELFEXTR_WINE_RUN})
add_executable(wineprobe ${CMAKE_SOURCE_DIR}/tests/win32/wineprobe.c)
add_test(NAME wine.start COMMAND ${SELFEXTR_WINE_SESSION} start $<TARGET_FILE:wineprobe>)
add_test(NAME wine.stop COMMAND ${SELFEXTR_WINE_SESSION} stop)
set_tests_properties(wine.start PROPERTIES FIXTURES_SETUP wine TIMEOUT 300)
set_tests_properties(wine.stop PROPERTIES FIXTURES_CLEANUP wine)

# Registers a Windows test program; the emulator runs it under Wine. Exit
# code 77 is the emulator's word that this host cannot run 32-bit programs.
function(selfextr_wine_test name target)
    add_test(NAME ${name} COMMAND ${target} ${ARGN})
    set_tests_properties(${name} PROPERTIES FIXTURES_REQUIRED wine TIMEOUT 300 SKIP_RETURN_CODE 77)
endfunction()

# The path of a build file as a Windows program under Wine sees it (drive Z: is /).
function(selfextr_winpath out path)
    string(REPLACE "/" "\\" win "${path}")
    set(${out} "Z:${win}" PARENT_SCOPE)
endfunction()

# What several test folders share: box answering, process and folder helpers.
set(SELFEXTR_TEST_SUPPORT ${CMAKE_SOURCE_DIR}/tests/support)

add_subdirectory(stub)
add_subdirectory(runner)
add_subdirectory(tests/win32)
add_subdirectory(tests/e2e)
add_subdirectory(partner)
add_subdirectory(examples)
add_subdirectory(bench/win32)

# The host tool built for Windows too. CLI11 and toml++ are header-only; only
# their folders are taken from the host, never the host's other headers.
set(hosthdr ${CMAKE_BINARY_DIR}/host-headers)
file(MAKE_DIRECTORY ${hosthdr})
file(CREATE_LINK /usr/include/CLI ${hosthdr}/CLI SYMBOLIC)
file(CREATE_LINK /usr/include/toml++ ${hosthdr}/toml++ SYMBOLIC)
include(${CMAKE_SOURCE_DIR}/stub/rules.cmake)
include(${CMAKE_SOURCE_DIR}/pack/sources.cmake)
foreach(name Stub Runner)
    string(TOLOWER ${name} lower)
    add_custom_command(OUTPUT ${CMAKE_BINARY_DIR}/embedded_${lower}.cpp
        COMMAND ${CMAKE_COMMAND} -DIN=$<TARGET_FILE:selfextr-${lower}> -DOUT=${CMAKE_BINARY_DIR}/embedded_${lower}.cpp
                -DNAME=${name} -P ${CMAKE_SOURCE_DIR}/cmake/embed.cmake
        DEPENDS selfextr-${lower} ${CMAKE_SOURCE_DIR}/cmake/embed.cmake)
endforeach()
add_executable(selfextr-win pack/cli/main.cpp ${CMAKE_BINARY_DIR}/embedded_stub.cpp ${CMAKE_BINARY_DIR}/embedded_runner.cpp
    ${SELFEXTR_PACK_SOURCES} ${SELFEXTR_RULE_SOURCES})
set_target_properties(selfextr-win PROPERTIES OUTPUT_NAME selfextr CXX_STANDARD 20)
target_include_directories(selfextr-win PRIVATE ${SELFEXTR_PACK_INCLUDE_DIRS} ${CMAKE_SOURCE_DIR}/cmake ${hosthdr})
target_compile_definitions(selfextr-win PRIVATE TOML_HEADER_ONLY=1 SELFEXTR_VERSION="${PROJECT_VERSION}")
target_link_options(selfextr-win PRIVATE -static)
selfextr_wine_test(win32.tool selfextr-win --help)
# That build has no liblzma: it cannot pack a payload, and lists, verifies and
# extracts one with selfextr's own decoder.
selfextr_winpath(tree_package ${CMAKE_BINARY_DIR}/tests/e2e/package/runner-tree.exe)
selfextr_winpath(tree_out ${CMAKE_BINARY_DIR}/tool-extract)
add_test(NAME win32.tool.payload COMMAND sh -c "rm -rf ${CMAKE_BINARY_DIR}/tool-extract &&
    $0 $1 verify $2 | grep -q 'a payload of 1108 files decoded and checked' &&
    $0 $1 extract $2 $3 > /dev/null && test -f ${CMAKE_BINARY_DIR}/tool-extract/many/f1100.txt &&
    $0 $1 pack -o x.exe --payload . --run x --caption C --prompt P 2>&1 | grep -q 'needs liblzma'"
    ${SELFEXTR_WINE_RUN} $<TARGET_FILE:selfextr-win> ${tree_package} ${tree_out})
set_tests_properties(win32.tool.payload PROPERTIES FIXTURES_REQUIRED wine TIMEOUT 300 SKIP_RETURN_CODE 77)
