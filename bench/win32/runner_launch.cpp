// runner_launch: starts one setup for bench/runner_bench.sh and plays its user.
//   runner_launch TITLE TEMP-FOLDER MARK-FILE SETUP.exe [TIMEOUT-S]
// Sets TEMP and TMP to TEMP-FOLDER and SX_RUNNER_BENCH_MARK to MARK-FILE (read
// by mark.exe), watches TEMP-FOLDER's own names (not its subfolders) with
// ReadDirectoryChangesW, takes t0 (GetSystemTimePreciseAsFileTime, the clock
// mark.exe uses) just before CreateProcess, presses Yes in the Yes/No box of
// that title as soon as the setup's process shows it, then waits for the
// process to end (t2). Any other message box of that title (an error) is
// reported with its text and dismissed. The other windows of that title (the
// progress windows, NSIS's main window) are noted when first and last seen,
// polled every 5 ms. Prints, in ms from t0:
//   yes MS | event MS added|removed|old-name|new-name NAME | box MS TEXT
//   window FIRST-MS LAST-MS own|other (the setup's process or another)
//   mark MS PATH (one per line of MARK-FILE) | exit MS CODE | timeout MS
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

static ULONGLONG Now()
{
    FILETIME t;
    GetSystemTimePreciseAsFileTime(&t);
    return ((ULONGLONG)t.dwHighDateTime << 32) | t.dwLowDateTime;
}

static ULONGLONG g_t0;
static double Ms(ULONGLONG t) { return (double)((LONGLONG)(t - g_t0)) / 10000.0; }

struct Event {
    ULONGLONG at;
    DWORD action;
    std::wstring name;
};

struct Watch {
    HANDLE dir = INVALID_HANDLE_VALUE, armed = 0, stop = 0;
    std::vector<Event> events;
    CRITICAL_SECTION lock;
};

static DWORD WINAPI Watcher(LPVOID parameter)
{
    Watch *w = (Watch *)parameter;
    alignas(8) static BYTE buffer[64 * 1024];
    OVERLAPPED o = {};
    o.hEvent = CreateEventA(0, TRUE, FALSE, 0);
    const DWORD filter = FILE_NOTIFY_CHANGE_FILE_NAME | FILE_NOTIFY_CHANGE_DIR_NAME;
    bool issued = ReadDirectoryChangesW(w->dir, buffer, sizeof buffer, FALSE, filter, 0, &o, 0) != 0;
    SetEvent(w->armed);
    while (issued) {
        HANDLE both[2] = {o.hEvent, w->stop};
        if (WaitForMultipleObjects(2, both, FALSE, INFINITE) != WAIT_OBJECT_0)
            break;
        ULONGLONG at = Now();
        DWORD got = 0;
        if (!GetOverlappedResult(w->dir, &o, &got, FALSE))
            break;
        EnterCriticalSection(&w->lock);
        for (BYTE *p = buffer; got != 0;) {
            FILE_NOTIFY_INFORMATION *n = (FILE_NOTIFY_INFORMATION *)p;
            w->events.push_back({at, n->Action, std::wstring(n->FileName, n->FileNameLength / sizeof(WCHAR))});
            if (n->NextEntryOffset == 0)
                break;
            p += n->NextEntryOffset;
        }
        LeaveCriticalSection(&w->lock);
        ResetEvent(o.hEvent);
        issued = ReadDirectoryChangesW(w->dir, buffer, sizeof buffer, FALSE, filter, 0, &o, 0) != 0;
    }
    CancelIo(w->dir);
    return 0;
}

// A message box: its text control (0xFFFF) and a button, unlike the progress
// dialogs (no button) and NSIS's main window (its child area, 1018).
static bool IsMessageBox(HWND w)
{
    return GetDlgItem(w, 0xFFFF) != 0 && (GetDlgItem(w, IDOK) != 0 || GetDlgItem(w, IDYES) != 0) &&
           GetDlgItem(w, 1018) == 0;
}

static void Press(HWND box, int button)
{
    PostMessageA(box, WM_COMMAND, MAKEWPARAM(button, BN_CLICKED), (LPARAM)GetDlgItem(box, button));
}

static std::string Utf8(const std::wstring &w)
{
    int n = WideCharToMultiByte(CP_UTF8, 0, w.c_str(), (int)w.size(), 0, 0, 0, 0);
    std::string s(n, '\0');
    WideCharToMultiByte(CP_UTF8, 0, w.c_str(), (int)w.size(), &s[0], n, 0, 0);
    return s;
}

int main(int argc, char **argv)
{
    if (argc < 5) {
        fprintf(stderr, "usage: runner_launch TITLE TEMP-FOLDER MARK-FILE SETUP.exe [TIMEOUT-S]\n");
        return 2;
    }
    const char *title = argv[1], *temp = argv[2], *mark = argv[3], *setup = argv[4];
    DWORD timeoutMs = (argc > 5 ? atoi(argv[5]) : 600) * 1000;
    SetEnvironmentVariableA("TEMP", temp);
    SetEnvironmentVariableA("TMP", temp);
    SetEnvironmentVariableA("SX_RUNNER_BENCH_MARK", mark);
    DeleteFileA(mark);

    Watch w;
    InitializeCriticalSection(&w.lock);
    w.dir = CreateFileA(temp, FILE_LIST_DIRECTORY, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, 0, OPEN_EXISTING,
                        FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OVERLAPPED, 0);
    w.armed = CreateEventA(0, TRUE, FALSE, 0);
    w.stop = CreateEventA(0, TRUE, FALSE, 0);
    HANDLE watcher = 0;
    if (w.dir != INVALID_HANDLE_VALUE) {
        watcher = CreateThread(0, 0, Watcher, &w, 0, 0);
        WaitForSingleObject(w.armed, 5000);
    } else {
        printf("note cannot watch %s (error %lu)\n", temp, GetLastError());
    }

    std::string line = std::string("\"") + setup + "\"";
    STARTUPINFOA si = {sizeof si};
    PROCESS_INFORMATION pi;
    g_t0 = Now();
    if (!CreateProcessA(0, &line[0], 0, 0, FALSE, 0, 0, 0, &si, &pi)) {
        printf("note cannot start %s (error %lu)\n", setup, GetLastError());
        return 1;
    }
    CloseHandle(pi.hThread);

    // The question, polled every millisecond; then the wait, watching for any other box.
    HWND question = 0;
    std::vector<HWND> seen;
    struct Window {
        HWND hwnd;
        bool own;
        ULONGLONG first, last;
    };
    std::vector<Window> windows;
    bool ended = false, timedOut = false;
    for (;;) {
        DWORD r = WaitForSingleObject(pi.hProcess, question == 0 ? 1 : 5);
        if (r == WAIT_OBJECT_0) {
            ended = true;
            break;
        }
        if (Ms(Now()) > timeoutMs) {
            timedOut = true;
            break;
        }
        HWND box = 0;
        while ((box = FindWindowExA(0, box, "#32770", title)) != 0) {
            if (!IsWindowVisible(box))
                continue;
            if (!IsMessageBox(box)) {
                DWORD owner = 0;
                GetWindowThreadProcessId(box, &owner);
                ULONGLONG at = Now();
                bool found = false;
                for (Window &k : windows)
                    if (k.hwnd == box && k.own == (owner == pi.dwProcessId))
                        k.last = at, found = true;
                if (!found)
                    windows.push_back({box, owner == pi.dwProcessId, at, at});
                continue;
            }
            bool known = box == question;
            for (HWND s : seen)
                known = known || s == box;
            if (known)
                continue;
            DWORD owner = 0;
            GetWindowThreadProcessId(box, &owner);
            if (question == 0 && owner == pi.dwProcessId && GetDlgItem(box, IDYES) != 0) {
                Press(box, IDYES);
                question = box;
                printf("yes %.1f\n", Ms(Now()));
                continue;
            }
            WCHAR text[2048] = L"";
            GetDlgItemTextW(box, 0xFFFF, text, 2048);
            std::wstring t = text;
            for (auto &c : t)
                if (c == L'\n' || c == L'\r')
                    c = L' ';
            printf("box %.1f %s\n", Ms(Now()), Utf8(t).c_str());
            fflush(stdout);
            seen.push_back(box);
            Press(box, GetDlgItem(box, IDOK) != 0 ? IDOK : IDNO);
        }
    }
    ULONGLONG t2 = Now();
    DWORD code = 0;
    if (ended)
        GetExitCodeProcess(pi.hProcess, &code);
    else
        TerminateProcess(pi.hProcess, 99);
    CloseHandle(pi.hProcess);

    for (const Window &k : windows)
        printf("window %.1f %.1f %s\n", Ms(k.first), Ms(k.last), k.own ? "own" : "other");
    if (watcher != 0) {
        Sleep(100);  // the last notifications
        SetEvent(w.stop);
        WaitForSingleObject(watcher, 5000);
        EnterCriticalSection(&w.lock);
        static const char *kinds[] = {"?", "added", "removed", "modified", "old-name", "new-name"};
        for (const Event &e : w.events)
            printf("event %.1f %s %s\n", Ms(e.at), e.action <= 5 ? kinds[e.action] : "?", Utf8(e.name).c_str());
        LeaveCriticalSection(&w.lock);
    }

    HANDLE f = CreateFileA(mark, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, 0, OPEN_EXISTING, 0, 0);
    if (f != INVALID_HANDLE_VALUE) {
        std::string text(1 << 16, '\0');
        DWORD got = 0;
        ReadFile(f, &text[0], (DWORD)text.size(), &got, 0);
        CloseHandle(f);
        text.resize(got);
        size_t at = 0;
        while (at < text.size()) {
            size_t end = text.find('\n', at);
            if (end == std::string::npos)
                end = text.size();
            std::string one = text.substr(at, end - at);
            if (!one.empty() && one.back() == '\r')
                one.pop_back();
            if (!one.empty()) {
                char *rest = 0;
                ULONGLONG t1 = strtoull(one.c_str(), &rest, 10);
                printf("mark %.1f%s\n", Ms(t1), rest);
            }
            at = end + 1;
        }
    }
    if (timedOut)
        printf("timeout %.1f\n", Ms(t2));
    else
        printf("exit %.1f %lu\n", Ms(t2), code);
    return 0;
}
