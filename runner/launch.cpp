// launch.cpp: the command started in the private folder, found only there or
// in the system folder, then waited for with everything it starts.
#include "runner.h"

// CreateProcess refuses a program that needs elevation with this: its
// manifest asks for it, or Windows' installer detection does.
enum { kErrorElevationRequired = 740 };

static WCHAR g_program[kPathChars];
static WCHAR g_line[kPathChars + kCommandChars];
static WCHAR g_system[MAX_PATH];

// Whether path names a file, not a folder: opened for no access, which no
// sharing mode refuses, and without backup semantics, which a folder needs.
static bool IsFile(const WCHAR *path)
{
    HANDLE file = CreateFileW(path, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, 0, OPEN_EXISTING, 0, 0);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    CloseHandle(file);
    return true;
}

static bool EndsWith(const WCHAR *text, const WCHAR *tail)
{
    uint32_t n = Text_Length(text), m = Text_Length(tail);
    if (m > n)
        return false;
    for (uint32_t i = 0; i < m; i++) {
        WCHAR a = text[n - m + i], b = tail[i];
        if (a >= L'A' && a <= L'Z')
            a = (WCHAR)(a - L'A' + L'a');
        if (a != b)
            return false;
    }
    return true;
}

// The first word of the command (quoted or up to a blank), then where it
// lives: the private folder, else (a bare name only) the system folder, else
// nowhere. Never the work folder, the caller's folder or PATH: a program
// planted beside the package is never started. *rest points past the word.
static bool FindProgram(RunnerState *rs, const WCHAR **rest)
{
    const WCHAR *p = rs->settings.command;
    while (*p == L' ' || *p == L'\t')
        p++;
    WCHAR name[RUNNER_PROGRAM_UNITS];
    uint32_t n = 0;
    bool quoted = *p == L'"';
    p += quoted;
    while (*p != 0 && (quoted ? *p != L'"' : (*p != L' ' && *p != L'\t')) && n + 1 < RUNNER_PROGRAM_UNITS)
        name[n++] = *p == L'/' ? L'\\' : *p, p++;
    name[n] = 0;
    p += quoted && *p == L'"';
    *rest = p;
    // A bare name, or a path below the private folder: never one that climbs out of it.
    bool bare = true, climbs = false;
    for (uint32_t i = 0; i < n; i++) {
        bare = bare && name[i] != L'\\';
        climbs = climbs || (name[i] == L'.' && name[i + 1] == L'.' && (i == 0 || name[i - 1] == L'\\') &&
                            (name[i + 2] == L'\\' || name[i + 2] == 0));
    }
    if (n == 0 || climbs || name[0] == L'\\' || (n > 1 && name[1] == L':')) {
        Fail_Show(rs, "The package's command must name a program inside the package or in the Windows system folder:", rs->settings.command, 0);
        return false;
    }
    const WCHAR *ext = L".exe";
    WCHAR *program = InRegister(g_program);
    for (int pass = 0; pass < 2; pass++) {
        for (int place = 0; place < (bare ? 2 : 1); place++) {
            program[0] = 0;
            Text_Append(program, kPathChars, place == 0 ? rs->privateFolder : g_system);
            Text_Append(program, kPathChars, L"\\");
            Text_Append(program, kPathChars, name);
            if (pass == 1)
                Text_Append(program, kPathChars, ext);
            if (IsFile(program))
                return true;
        }
    }
    Fail_Show(rs, "The command's program is neither in the package nor in the Windows system folder:", name, ERROR_FILE_NOT_FOUND);
    return false;
}

// The command line: a .msi goes through msiexec, a .bat or .cmd through the
// command processor, from the system folder; anything else is started itself.
static void BuildLine(const WCHAR *rest, WCHAR *application)
{
    const uint32_t cap = sizeof g_line / sizeof *g_line;
    WCHAR *line = InRegister(g_line), *program = InRegister(g_program);
    // host, then what comes between it and the quoted program, and after rest.
    const char *host = 0, *before = "", *after = "";
    if (EndsWith(program, L".msi"))
        host = "\\msiexec.exe", before = " /i \"";
    else if (EndsWith(program, L".bat") || EndsWith(program, L".cmd"))
        host = "\\cmd.exe", before = " /d /c \"\"", after = "\"";
    application[0] = 0;
    Text_Append(application, kPathChars, host != 0 ? g_system : program);
    if (host != 0)
        Text_AppendAscii(application, kPathChars, host);
    line[0] = 0;
    Text_AppendAscii(line, cap, "\"");
    Text_Append(line, cap, application);
    Text_AppendAscii(line, cap, "\"");
    if (host != 0) {
        Text_AppendAscii(line, cap, before);
        Text_Append(line, cap, program);
        Text_AppendAscii(line, cap, "\"");
    }
    Text_Append(line, cap, rest);
    Text_AppendAscii(line, cap, after);
}

struct Waiter {
    HANDLE port, job, done;
    bool lost;  // the port failed before the job emptied: its processes may still run
};

static void Waiter_Close(Waiter *w)
{
    if (w->job != 0)
        CloseHandle(w->job);
    if (w->port != 0)
        CloseHandle(w->port);
    if (w->done != 0)
        CloseHandle(w->done);
}

// Waits on the job's completion port until no process is left in the job.
static DWORD WINAPI WaitForJob(LPVOID parameter)
{
    Waiter *w = (Waiter *)parameter;
    DWORD message;
    ULONG_PTR key;
    LPOVERLAPPED overlapped;
    for (;;) {
        if (!GetQueuedCompletionStatus(w->port, &message, &key, &overlapped, INFINITE)) {
            w->lost = true;
            break;
        }
        if (key == (ULONG_PTR)w->job && message == JOB_OBJECT_MSG_ACTIVE_PROCESS_ZERO)
            break;
    }
    SetEvent(w->done);
    return 0;
}

bool Launch_AndWait(RunnerState *rs)
{
    UINT n = GetSystemDirectoryW(g_system, MAX_PATH);
    if (n == 0 || n >= MAX_PATH) {
        Fail_Show(rs, "Cannot find the Windows system folder.", 0, GetLastError());
        return false;
    }
    const WCHAR *rest;
    if (!FindProgram(rs, &rest))
        return false;
    static WCHAR applicationPath[kPathChars];
    WCHAR *application = InRegister(applicationPath);
    BuildLine(rest, application);

    // Outlives this call's frame only in that the waiting thread is joined before it returns.
    static Waiter waiter;
    Waiter *w = InRegister(&waiter);
    ZeroMemory(w, sizeof *w);
    w->job = CreateJobObjectW(0, 0);
    w->port = CreateIoCompletionPort(INVALID_HANDLE_VALUE, 0, 0, 1);
    w->done = CreateEventW(0, TRUE, FALSE, 0);
    JOBOBJECT_ASSOCIATE_COMPLETION_PORT association = {(PVOID)w->job, w->port};
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits;
    ZeroMemory(&limits, sizeof limits);
    // A process started to leave the job (CREATE_BREAKAWAY_FROM_JOB) is not waited for.
    limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_BREAKAWAY_OK;
    bool jobbed = w->job != 0 && w->port != 0 && w->done != 0 &&
                  SetInformationJobObject(w->job, JobObjectAssociateCompletionPortInformation, &association, sizeof association) &&
                  SetInformationJobObject(w->job, JobObjectExtendedLimitInformation, &limits, sizeof limits);

    STARTUPINFOW si;
    ZeroMemory(&si, sizeof si);
    si.cb = sizeof si;
    PROCESS_INFORMATION pi;
    HANDLE process = 0;
    if (CreateProcessW(application, g_line, 0, 0, FALSE, CREATE_SUSPENDED, 0, rs->privateFolder, &si, &pi)) {
        // In the job before its first instruction, so that nothing it starts escapes the wait.
        jobbed = jobbed && AssignProcessToJobObject(w->job, pi.hProcess);
        ResumeThread(pi.hThread);
        CloseHandle(pi.hThread);
        process = pi.hProcess;
    } else if (GetLastError() == kErrorElevationRequired && !rs->restarted) {
        // Never elevated from this folder: the whole runner restarts elevated
        // and expands again into a folder of its own.
        Waiter_Close(w);
        rs->restart = true;
        return false;
    }
    if (process == 0) {
        DWORD error = GetLastError();
        Waiter_Close(w);
        Fail_Show(rs, "Cannot start the package's command:", rs->settings.command, error);
        return false;
    }
    // Watched from the command's start, the long part of a run: the session
    // window is the runner's first, and the first window brings in the
    // display's fonts, a cost that need not come before the command. A
    // session that ends sooner leaves the folder to the next start's sweep.
    Cleanup_WatchSession(rs);
    HANDLE waitOn = process, thread = 0;
    if (jobbed) {
        thread = CreateThread(0, 0, WaitForJob, w, 0, 0);
        if (thread != 0)
            waitOn = w->done;
    }
    // The window messages keep flowing while the command runs.
    DWORD waited, error = 0;
    while ((waited = MsgWaitForMultipleObjects(1, &waitOn, FALSE, INFINITE, QS_ALLINPUT)) == WAIT_OBJECT_0 + 1)
        Pump_Messages();
    if (waited != WAIT_OBJECT_0) {
        error = GetLastError();
        // The port closed, the waiting thread leaves at once.
        if (thread != 0 && w->port != 0)
            CloseHandle(w->port), w->port = 0;
    }
    // The waiting thread has set done and is leaving: its handles go once it has.
    if (thread != 0) {
        WaitForSingleObject(thread, INFINITE);
        CloseHandle(thread);
    }
    Waiter_Close(w);
    CloseHandle(process);
    // Without the job's word that all it started has ended, something may
    // still run in the folder: it stays for the next start's sweep, which
    // takes it once its marker is free, and the run is not a success.
    if (waited != WAIT_OBJECT_0 || thread == 0 || w->lost) {
        rs->leaveFolder = true;
        Fail_Show(rs, "Cannot tell when the package's command and all it started have ended:", rs->settings.command,
                  error != 0 ? error : ERROR_INVALID_HANDLE);
        return false;
    }
    return true;
}
