# What the stub and the runner share, the two Windows programs without a C
# run-time: the start-up's byte loops, the progress window and its meter, and
# the link layout. The meter's geometry is portable: the host tests compile it.
set(SELFEXTR_WINBASE_DIR ${CMAKE_CURRENT_LIST_DIR})
set(SELFEXTR_WINBASE_CRT ${CMAKE_CURRENT_LIST_DIR}/crt.cpp)
set(SELFEXTR_WINBASE_PROGRESS ${CMAKE_CURRENT_LIST_DIR}/progress/progress.cpp)
set(SELFEXTR_WINBASE_METER ${CMAKE_CURRENT_LIST_DIR}/progress/meter.cpp)
set(SELFEXTR_WINBASE_LAYOUT ${CMAKE_CURRENT_LIST_DIR}/program.ld)
