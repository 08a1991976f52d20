# selfextr_libfuzzer(<var>): sets <var> to clang++ when it can link a
# libFuzzer target (clang's fuzzer run-time is installed), else to nothing.
function(selfextr_libfuzzer var)
    find_program(SELFEXTR_CLANGXX NAMES clang++)
    set(${var} "" PARENT_SCOPE)
    if(NOT SELFEXTR_CLANGXX)
        return()
    endif()
    set(probe ${CMAKE_CURRENT_BINARY_DIR}/fuzzcheck)
    file(WRITE ${probe}.cpp
         "#include <cstdint>\n#include <cstddef>\nextern \"C\" int LLVMFuzzerTestOneInput(const uint8_t *, size_t) { return 0; }\n")
    execute_process(COMMAND ${SELFEXTR_CLANGXX} -fsanitize=fuzzer ${probe}.cpp -o ${probe}
                    RESULT_VARIABLE rc OUTPUT_QUIET ERROR_QUIET)
    if(rc EQUAL 0)
        set(${var} ${SELFEXTR_CLANGXX} PARENT_SCOPE)
    endif()
endfunction()
