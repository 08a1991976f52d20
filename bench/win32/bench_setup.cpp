// bench_setup: the SETUP.EXE of the extraction benchmark. Notes the
// performance counter as it starts in the file named by SELFEXTR_BENCH_MARK,
// waits for the benchmark's go (so that the stub can be measured while it
// waits), then asks the stub for the clean-up.
#include <windows.h>

#include "mark.h"
#include "selfextr_partner.h"

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int)
{
    LARGE_INTEGER started;
    QueryPerformanceCounter(&started);
    SelfExtr_MarkIdle();
    char mark[MAX_PATH] = "";
    if (GetEnvironmentVariableA("SELFEXTR_BENCH_MARK", mark, sizeof mark) == 0)
        return 2;  // not started by the benchmark
    HANDLE go = OpenEventA(SYNCHRONIZE, FALSE, "selfextr-bench-go");
    Mark_Write(mark, std::to_string(started.QuadPart));
    if (go != 0)
        WaitForSingleObject(go, 120000);
    return SelfExtr_RequestCleanup(SELFEXTR_WAIT_WHILE_STUB_LIVES) ? 0 : 1;
}
