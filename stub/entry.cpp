// entry.cpp: the process entry of the stub; it has no C run-time.
#include <windows.h>
#include "cmdtail.h"
#include "run.h"
#include "startup.h"

static unsigned char g_leadBytes[256];

extern "C" __attribute__((force_align_arg_pointer, noreturn)) void SelfExtr_Entry(void)
{
    Startup_HardenDllSearch();
    Startup_SaveEnvironment();
    Startup_BuildLeadTable(g_leadBytes);
    const char *tail = Tail_Find(GetCommandLineA(), g_leadBytes);
    STARTUPINFOA si;
    si.cb = sizeof si;
    GetStartupInfoA(&si);
    int show = (si.dwFlags & STARTF_USESHOWWINDOW) ? si.wShowWindow : SW_SHOWDEFAULT;
    ExitProcess((UINT)Run_Main(GetModuleHandleA(0), tail, show));
}
