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
    if (ok)
        Expand_Begin(rs);
    // A command that needs elevation: nothing is swept or written before the restart.
    ok = ok && Elevate_Check(rs);
    if (ok && !rs->restart)
        Folder_Sweep(rs);
    ok = ok && !rs->restart && Folder_Create(rs) && Expand_Payload(rs) && Launch_AndWait(rs);
    Expand_End(rs);
    Cleanup_PrivateFolder(rs);
    int code = ok ? 0 : 1;
    // The restart does the work, and the runner that started it tells the stub
    // once it has ended: after the post only one process still runs from the
    // work folder, as without a restart.
    if (rs->restart)
        code = Elevate_Restart(rs);
    // The stub's window found once, by the process whose image was read, and
    // only now that it is needed: the stub makes it once its WinExec of the
    // runner has returned, and waiting for that earlier held back the folder.
    if (!rs->restarted)
        rs->stubWindow = Prepare_StubWindow(rs);
    // Closed before the stub is told: once it ends, whatever started it may
    // delete its file, which the runner's handle, shared for reading only, would hold.
    Prepare_Release(rs);
    if (!rs->restarted)
        Cleanup_Post(rs);
    return code;
}

extern "C" __attribute__((force_align_arg_pointer, noreturn, externally_visible)) void Runner_Entry(void)
{
    ExitProcess((UINT)Runner_Main(&g_state));
}
