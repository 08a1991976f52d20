// run.cpp: the runner's entry and main routine, top to bottom: prepare, expand,
// run and wait, clean up, post. Every failure ends in the same clean-up.
#include "runner.h"
#include "../partner/selfextr_partner.h"

static RunnerState g_state;

static int Runner_Main(RunnerState *rs)
{
    Prepare_HardenDllSearch();
    // The stub's WinExec returns once this program waits for input.
    SelfExtr_MarkIdle();
    rs->module = GetModuleHandleA(0);
    bool ok = Prepare_ReadPackage(rs);
    // Without its stub there is nothing to expand and no stub to tell.
    if (rs->stubProcess == 0)
        return 1;
    // The stub found once, by its image: the same one whose strings were read.
    rs->stubWindow = Prepare_StubWindow(rs);
    if (ok) {
        Cleanup_WatchSession(rs);
        Folder_Sweep(rs);
    }
    ok = ok && Folder_Create(rs) && Expand_Payload(rs) && Launch_AndWait(rs);
    Cleanup_PrivateFolder(rs);
    Cleanup_Post(rs);
    return ok ? 0 : 1;
}

extern "C" __attribute__((force_align_arg_pointer, noreturn)) void Runner_Entry(void)
{
    ExitProcess((UINT)Runner_Main(&g_state));
}
