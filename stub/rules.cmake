# The stub's portable rules: plain C++ without Win32 calls, compiled into the
# stub, the host tool (so that list reads a package as the stub will), the
# host tests, the fuzzer and the Windows build of the tool.
set(SELFEXTR_RULE_SOURCES
    ${CMAKE_CURRENT_LIST_DIR}/cmdtail.cpp
    ${CMAKE_CURRENT_LIST_DIR}/decimal.cpp
    ${CMAKE_CURRENT_LIST_DIR}/descriptor.cpp
    ${CMAKE_CURRENT_LIST_DIR}/envlookup.cpp
    ${CMAKE_CURRENT_LIST_DIR}/percent.cpp
    ${CMAKE_CURRENT_LIST_DIR}/stampwords.cpp)
