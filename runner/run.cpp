// run.cpp: the runner's entry and main routine, top to bottom: prepare, expand,
// run and wait, clean up, post. Every failure ends in the same clean-up.
#include "runner.h"
#include "../partner/selfextr_partner.h"

static RunnerState g_state;

static int Runner_Main(RunnerState *rs)
{
    Prepare_HardenDllSearch();
    rs->module = GetModuleHandleA(0);
    // The stub found, held and its image opened before this program waits for
    // input: the stub's WinExec returns then, and a stub that cannot show its
    // window (no desktop) may end at once, leaving no ancestor to find.
    bool ok = Prepare_ReadPackage(rs);
    SelfExtr_MarkIdle();
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
    // Closed before the stub is told: once it ends, whatever started it may
    // delete its file, which the runner's handle, shared for reading only, would hold.
    Prepare_Release(rs);
    Cleanup_Post(rs);
    return ok ? 0 : 1;
}

extern "C" __attribute__((force_align_arg_pointer, noreturn)) void Runner_Entry(void)
{
    ExitProcess((UINT)Runner_Main(&g_state));
}
