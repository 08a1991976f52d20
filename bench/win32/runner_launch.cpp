// runner_launch: starts one setup for bench/runner_bench.sh and plays its user.
//   runner_launch TITLE TEMP-FOLDER MARK-FILE SETUP.exe [TIMEOUT-S [peak]]
// Sets TEMP and TMP to TEMP-FOLDER and SX_RUNNER_BENCH_MARK to MARK-FILE (read
// by mark.exe), watches TEMP-FOLDER and everything under it with
// ReadDirectoryChangesW (names, sizes, last writes), takes t0
// (GetSystemTimePreciseAsFileTime, the clock mark.exe uses) just before
// CreateProcess, presses Yes in the Yes/No box of that title as soon as the
// setup's process shows it, then waits for the process to end (t2). Any other
// message box of that title (an error) is reported with its text and
// dismissed. The other windows of that title (the progress windows, NSIS's
// main window) are noted when first and last seen, polled every 5 ms.
// Notifications are timed on receipt (a batch shares one time). The command's
// folder is the folder mark.exe ran from (selfextr: TEMP\sx-*; NSIS:
// $PLUGINSDIR\app): `first` is the first file created in it or below, `last`
// the last change of a file there received before mark.exe's first
// instruction (t1, the first mark). A name under which another name was
// notified is a folder, not a file; an empty folder counts as a file. An
// overflow of the notification buffer (a batch lost) is reported, not fatal.
// With `peak`, a thread sums the sizes of every file under TEMP-FOLDER every
// 20 ms (through handles that share deletion, not entering reparse points) until the process ends: it slows the
// setup, so the script asks for it in its untimed warm-up run only.
// Prints, in ms from t0:
//   yes MS | event MS added|removed|old-name|new-name NAME (TEMP's own names only)
//   box MS TEXT | window FIRST-MS LAST-MS own|other (the setup's process or another)
//   mark MS PATH (one per line of MARK-FILE) | first MS | last MS | overflow MS
//   peak BYTES | exit MS CODE | timeout MS
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <set>
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
    std::vector<ULONGLONG> overflows;
    CRITICAL_SECTION lock;
};

static DWORD WINAPI Watcher(LPVOID parameter)
{
    Watch *w = (Watch *)parameter;
    alignas(8) static BYTE buffer[64 * 1024];
    OVERLAPPED o = {};
    o.hEvent = CreateEventA(0, TRUE, FALSE, 0);
    const DWORD filter = FILE_NOTIFY_CHANGE_FILE_NAME | FILE_NOTIFY_CHANGE_DIR_NAME | FILE_NOTIFY_CHANGE_SIZE |
                         FILE_NOTIFY_CHANGE_LAST_WRITE;
    bool issued = ReadDirectoryChangesW(w->dir, buffer, sizeof buffer, TRUE, filter, 0, &o, 0) != 0;
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
        if (got == 0)  // the buffer overflowed: this batch is lost, the watch goes on
            w->overflows.push_back(at);
        for (BYTE *p = buffer; got != 0;) {
            FILE_NOTIFY_INFORMATION *n = (FILE_NOTIFY_INFORMATION *)p;
            w->events.push_back({at, n->Action, std::wstring(n->FileName, n->FileNameLength / sizeof(WCHAR))});
            if (n->NextEntryOffset == 0)
                break;
            p += n->NextEntryOffset;
        }
        LeaveCriticalSection(&w->lock);
        ResetEvent(o.hEvent);
        issued = ReadDirectoryChangesW(w->dir, buffer, sizeof buffer, TRUE, filter, 0, &o, 0) != 0;
    }
    CancelIo(w->dir);
    return 0;
}

struct Sampler {
    std::wstring root;
    HANDLE stop = 0;
    ULONGLONG peak = 0;
};

// The bytes of every file under FOLDER; a reparse point is counted, never entered, so a link
// the setup makes cannot send the walk elsewhere or round in a loop. The folder is read
// through a handle that shares deletion and is closed before its subfolders are walked:
// Wine's FindFirstFileW shares no deletion, and a setup removing its folder while the walk
// holds it open would fail and leave it behind.
static ULONGLONG FolderBytes(const std::wstring &folder)
{
    alignas(8) static BYTE buffer[64 * 1024];  // only the sampling thread walks
    HANDLE h = CreateFileW(folder.c_str(), FILE_LIST_DIRECTORY, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, 0,
                           OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, 0);
    if (h == INVALID_HANDLE_VALUE)
        return 0;  // removed meanwhile
    ULONGLONG sum = 0;
    std::vector<std::wstring> inner;
    while (GetFileInformationByHandleEx(h, FileIdBothDirectoryInfo, buffer, sizeof buffer)) {
        for (BYTE *p = buffer;;) {
            const FILE_ID_BOTH_DIR_INFO *d = (const FILE_ID_BOTH_DIR_INFO *)p;
            std::wstring name(d->FileName, d->FileNameLength / sizeof(WCHAR));
            if (name != L"." && name != L"..") {
                if ((d->FileAttributes & FILE_ATTRIBUTE_DIRECTORY) && !(d->FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT))
                    inner.push_back(folder + L"\\" + name);
                else
                    sum += (ULONGLONG)d->EndOfFile.QuadPart;
            }
            if (d->NextEntryOffset == 0)
                break;
            p += d->NextEntryOffset;
        }
    }
    CloseHandle(h);
    for (const std::wstring &f : inner)
        sum += FolderBytes(f);
    return sum;
}

static DWORD WINAPI Sample(LPVOID parameter)
{
    Sampler *s = (Sampler *)parameter;
    do {
        ULONGLONG now = FolderBytes(s->root);
        if (now > s->peak)
            s->peak = now;
    } while (WaitForSingleObject(s->stop, 20) == WAIT_TIMEOUT);
    return 0;
}

static std::wstring Lower(std::wstring s)
{
    CharLowerBuffW(&s[0], (DWORD)s.size());
    return s;
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
        fprintf(stderr, "usage: runner_launch TITLE TEMP-FOLDER MARK-FILE SETUP.exe [TIMEOUT-S [peak]]\n");
        return 2;
    }
    const char *title = argv[1], *temp = argv[2], *mark = argv[3], *setup = argv[4];
    DWORD timeoutMs = (argc > 5 ? atoi(argv[5]) : 600) * 1000;
    bool peak = argc > 6 && strcmp(argv[6], "peak") == 0;
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

    Sampler sampler;
    HANDLE sampling = 0;
    if (peak) {
        WCHAR wide[MAX_PATH];
        MultiByteToWideChar(CP_ACP, 0, temp, -1, wide, MAX_PATH);
        sampler.root = wide;
        sampler.stop = CreateEventA(0, TRUE, FALSE, 0);
        sampling = CreateThread(0, 0, Sample, &sampler, 0, 0);
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
    if (sampling != 0) {
        SetEvent(sampler.stop);
        WaitForSingleObject(sampling, 10000);
    }

    for (const Window &k : windows)
        printf("window %.1f %.1f %s\n", Ms(k.first), Ms(k.last), k.own ? "own" : "other");

    // The marks first: the first one's time and folder bound `first` and `last`.
    std::vector<std::string> marks;
    ULONGLONG t1 = 0;
    std::wstring folder;  // the command's folder, relative to TEMP, lower case, with a trailing backslash
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
                ULONGLONG t = strtoull(one.c_str(), &rest, 10);
                char printed[64];
                snprintf(printed, sizeof printed, "mark %.1f", Ms(t));
                marks.push_back(printed + std::string(rest));
                if (marks.size() == 1) {
                    t1 = t;
                    WCHAR wide[MAX_PATH + 40] = L"";
                    MultiByteToWideChar(CP_ACP, 0, *rest == ' ' ? rest + 1 : rest, -1, wide, MAX_PATH + 40);
                    std::wstring path = Lower(wide), prefix = Lower(std::wstring(temp, temp + strlen(temp)) + L"\\");
                    size_t slash = path.rfind(L'\\');
                    if (path.compare(0, prefix.size(), prefix) == 0 && slash != std::wstring::npos && slash >= prefix.size())
                        folder = path.substr(prefix.size(), slash + 1 - prefix.size());
                }
            }
            at = end + 1;
        }
    }

    if (watcher != 0) {
        Sleep(100);  // the last notifications
        SetEvent(w.stop);
        WaitForSingleObject(watcher, 5000);
        EnterCriticalSection(&w.lock);
        static const char *kinds[] = {"?", "added", "removed", "modified", "old-name", "new-name"};
        std::set<std::wstring> folders;
        for (const Event &e : w.events) {
            std::wstring name = Lower(e.name);
            for (size_t k = name.find(L'\\'); k != std::wstring::npos; k = name.find(L'\\', k + 1))
                folders.insert(name.substr(0, k));
        }
        const Event *first = 0, *last = 0;
        for (const Event &e : w.events) {
            if (e.name.find(L'\\') == std::wstring::npos)
                printf("event %.1f %s %s\n", Ms(e.at), e.action <= 5 ? kinds[e.action] : "?", Utf8(e.name).c_str());
            std::wstring name = Lower(e.name);
            if (folder.empty() || name.compare(0, folder.size(), folder) != 0 || folders.count(name) != 0)
                continue;
            bool made = e.action == FILE_ACTION_ADDED || e.action == FILE_ACTION_RENAMED_NEW_NAME;
            if (made && first == 0)
                first = &e;
            if ((made || e.action == FILE_ACTION_MODIFIED) && e.at <= t1)
                last = &e;
        }
        if (first != 0)
            printf("first %.1f\n", Ms(first->at));
        if (last != 0)
            printf("last %.1f\n", Ms(last->at));
        for (ULONGLONG at : w.overflows)
            printf("overflow %.1f\n", Ms(at));
        LeaveCriticalSection(&w.lock);
    }
    for (const std::string &m : marks)
        printf("%s\n", m.c_str());
    if (sampling != 0)
        printf("peak %llu\n", sampler.peak);
    if (timedOut)
        printf("timeout %.1f\n", Ms(t2));
    else
        printf("exit %.1f %lu\n", Ms(t2), code);
    return 0;
}
