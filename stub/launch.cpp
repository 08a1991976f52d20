// launch.cpp: start the setup command, then wait invisibly for ID_CLEANUP.
#include "run.h"
#include "register.h"
#include "workdir.h"
#include "../partner/selfextr_protocol.h"

enum { ID_CLEANUP = SELFEXTR_ID_CLEANUP };
static const char kClassName[] = SELFEXTR_WINDOW_CLASS;

static LRESULT OnCommand(HWND window, WPARAM wParam, LPARAM lParam)
{
    if (LOWORD(wParam) != ID_CLEANUP)
        return DefWindowProcA(window, WM_COMMAND, wParam, lParam);
    Register_CleanUp();
    DestroyWindow(window);
    PostQuitMessage(0);
    return 0;
}

static LRESULT OnDestroy(void)
{
    PostQuitMessage(0);
    return 0;
}

static LRESULT CALLBACK NotifyProc(HWND window, UINT msg, WPARAM wParam, LPARAM lParam)
{
    switch (msg) {
    case WM_COMMAND: return OnCommand(window, wParam, lParam);
    case WM_DESTROY: return OnDestroy();
    default:         return DefWindowProcA(window, msg, wParam, lParam);
    }
}

// The default command. A folder with blanks is quoted, so that for
// C:\Users\John Smith\... Windows cannot start C:\Users\John.exe instead.
// False when the command would not fit in the scratch text.
static BOOL FormatDefaultCommand(char text[kTextBytes])
{
    BOOL blank = FALSE;
    for (const char *p = g_workDir; *p != '\0'; p++)
        if (*p == ' ' || *p == '\t')
            blank = TRUE;
    int needed = lstrlenA(g_workDir) + (int)sizeof "\\SETUP.EXE" + (blank ? 2 : 0);
    if (needed > kTextBytes)
        return FALSE;
    wsprintfA(text, blank ? "\"%s\\SETUP.EXE\"" : "%s\\SETUP.EXE", g_workDir);
    return TRUE;
}

void Launch_AndWait(RunState *rs)
{
    const char *command = rs->tail;
    if (*command == '\0') {
        // A command that cannot be formatted is a start that failed.
        if (!FormatDefaultCommand(rs->text))
            return;
        command = rs->text;
    }
    if (WinExec(command, SW_SHOWNORMAL) <= 32)
        return;

    WNDCLASSA wc = {};
    wc.lpfnWndProc = NotifyProc;
    wc.hInstance = rs->module;
    wc.hIcon = LoadIconA(0, IDI_APPLICATION);
    wc.hCursor = LoadCursorA(0, IDC_ARROW);
    wc.hbrBackground = (HBRUSH)(COLOR_WINDOW + 1);
    wc.lpszClassName = kClassName;
    // Without the window nothing could ever end the wait: end it now and keep
    // the files for the setup program that is already running.
    if (!RegisterClassA(&wc))
        return;
    if (CreateWindowExA(0, kClassName, 0, WS_OVERLAPPEDWINDOW, 0, 0, 0, 0, 0, 0, rs->module, 0) == 0)
        return;

    MSG msg;
    // -1 is an error that no retry mends; it ends the wait like a quit.
    while (GetMessageA(&msg, 0, 0, 0) > 0) {
        TranslateMessage(&msg);
        DispatchMessageA(&msg);
    }
}
