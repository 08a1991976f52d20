// cleanup.cpp: the private folder deleted, a file still in use retried for a
// bounded time, at the end of the run or of the user's session; then the stub is told.
#include "runner.h"
#include "../partner/selfextr_protocol.h"

enum {
    kPasses = 40,       // passes over the tree, kPassWaitMs apart, while a file is in use
    kPassWaitMs = 250,
    kEndSessionMs = 4000,  // of the few seconds Windows grants a program at the session's end
};

void Cleanup_PrivateFolder(RunnerState *rs)
{
    if (!rs->privateMade)
        return;
    Folder_Release(rs);
    if (rs->leaveFolder)
        return;
    for (int pass = 0; pass < kPasses && !Tree_Delete(rs->ownFolder, 0); pass++) {
        DWORD until = GetTickCount() + kPassWaitMs;
        // Waits, with the window messages flowing, before trying again.
        for (DWORD now = GetTickCount(); (int)(until - now) > 0; now = GetTickCount())
            if (MsgWaitForMultipleObjects(0, 0, FALSE, until - now, QS_ALLINPUT) == WAIT_OBJECT_0)
                Pump_Messages();
    }
}

static RunnerState *g_session;

// The user's session ends: Windows ends the runner once this returns, so what
// can go goes now, within a bound; the rest is swept by the next start.
static LRESULT CALLBACK SessionProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    switch (message) {
    case WM_QUERYENDSESSION: return TRUE;
    case WM_ENDSESSION:
        if (wParam && g_session != 0 && g_session->privateMade) {
            Folder_Release(g_session);
            if (!g_session->leaveFolder)
                Tree_Delete(g_session->ownFolder, GetTickCount() + kEndSessionMs);
        }
        return 0;
    default: return DefWindowProcW(window, message, wParam, lParam);
    }
}

void Cleanup_WatchSession(RunnerState *rs)
{
    WNDCLASSW wc;
    ZeroMemory(&wc, sizeof wc);
    wc.lpfnWndProc = SessionProc;
    wc.hInstance = rs->module;
    wc.lpszClassName = RUNNER_SESSION_CLASS;
    g_session = rs;
    // A hidden top-level window: message-only windows hear no session's end.
    if (RegisterClassW(&wc) != 0)
        CreateWindowExW(0, RUNNER_SESSION_CLASS, 0, WS_POPUP, 0, 0, 0, 0, 0, 0, rs->module, 0);
}

void Cleanup_Post(const RunnerState *rs)
{
    if (rs->stubWindow != 0)
        PostMessageW(rs->stubWindow, WM_COMMAND, MAKEWPARAM(SELFEXTR_ID_CLEANUP, 0), 0);
}
