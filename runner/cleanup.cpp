// cleanup.cpp: the private folder's tree deleted without following any link,
// a file still in use retried for a bounded time, at the end of the run or of
// the user's session; then the stub is told.
#include "runner.h"
#include "../partner/selfextr_protocol.h"

enum {
    kMaxDepth = 16384,  // a 32,767-unit path holds at most this many names
    kPasses = 40,       // passes over the tree, kPassWaitMs apart, while a file is in use
    kPassWaitMs = 250,
    kEndSessionMs = 4000,  // of the few seconds Windows grants a program at the session's end
};

static WCHAR g_tree[kPathChars];
static HANDLE g_find[kMaxDepth];
static uint32_t g_length[kMaxDepth];
static WIN32_FIND_DATAW g_found;

static bool Open(uint32_t depth)
{
    g_length[depth] = Text_Length(g_tree);
    Text_Append(g_tree, kPathChars, L"\\*");
    g_find[depth] = FindFirstFileExW(g_tree, FindExInfoBasic, &g_found, FindExSearchNameMatch, 0, 0);
    g_tree[g_length[depth]] = 0;
    return g_find[depth] != INVALID_HANDLE_VALUE;
}

// One pass, deepest first, until the tick count reaches deadline (0: none);
// true when everything went, the folder itself too.
static bool DeletePass(const WCHAR *root, DWORD deadline)
{
    bool all = true;
    g_tree[0] = 0;
    Text_Append(g_tree, kPathChars, L"\\\\?\\");
    Text_Append(g_tree, kPathChars, root);
    DWORD a = GetFileAttributesW(g_tree);
    // The root itself a link: never followed.
    if (a == INVALID_FILE_ATTRIBUTES || (a & FILE_ATTRIBUTE_REPARSE_POINT) != 0 || !Open(0))
        return a == INVALID_FILE_ATTRIBUTES;
    int depth = 0;
    bool pending = true;  // g_found holds an entry not yet dealt with
    for (;;) {
        if (deadline != 0 && (int)(GetTickCount() - deadline) >= 0) {
            while (depth >= 0)
                FindClose(g_find[depth--]);
            return false;
        }
        if (!pending && !FindNextFileW(g_find[depth], &g_found)) {
            FindClose(g_find[depth]);
            g_tree[g_length[depth]] = 0;
            all = RemoveDirectoryW(g_tree) && all;
            if (depth-- == 0)
                return all;
            g_tree[g_length[depth]] = 0;
            continue;
        }
        pending = false;
        const WCHAR *name = g_found.cFileName;
        if (name[0] == L'.' && (name[1] == 0 || (name[1] == L'.' && name[2] == 0)))
            continue;
        Text_Append(g_tree, kPathChars, L"\\");
        Text_Append(g_tree, kPathChars, name);
        DWORD a = g_found.dwFileAttributes;
        if (a & FILE_ATTRIBUTE_READONLY)
            SetFileAttributesW(g_tree, a & ~FILE_ATTRIBUTE_READONLY);
        // A link (junction, symbolic link) goes itself; what it points at stays.
        bool folder = (a & FILE_ATTRIBUTE_DIRECTORY) != 0, link = (a & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
        if (folder && !link && depth + 1 < kMaxDepth && Open(depth + 1)) {
            depth++;
            pending = true;
            continue;
        }
        all = (folder ? RemoveDirectoryW(g_tree) : DeleteFileW(g_tree)) && all;
        g_tree[g_length[depth]] = 0;
    }
}

bool Cleanup_DeleteTree(const WCHAR *root, DWORD deadline)
{
    return DeletePass(root, deadline);
}

void Cleanup_PrivateFolder(RunnerState *rs)
{
    if (!rs->privateMade)
        return;
    Folder_Release(rs);
    for (int pass = 0; pass < kPasses && !DeletePass(rs->privateFolder, 0); pass++) {
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
            DeletePass(g_session->privateFolder, GetTickCount() + kEndSessionMs);
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
