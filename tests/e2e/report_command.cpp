// report_command.cpp: the command a runner test packs. It appends to the file
// %SELFEXTR_REPORT% its current folder, every folder and file below it (with
// each file's FNV-1a, and its time in whole seconds on a line of its own) and, when %SELFEXTR_REPORT_ELEVATION% is set, what lies
// beside that folder, whether its token is elevated and how many runners
// (SETUP.EXE) lead from it to the stub; starts a
// grandchild of itself and ends; the grandchild waits for the test's event
// named by %SELFEXTR_GO%, then reports and ends.
// With "--start PROGRAM" (a path below its folder) it plays a package's
// command that runs another package: it reports its folder, starts PROGRAM
// with TEMP and SELFEXTR_REPORT set to %SELFEXTR_INNER_TEMP% and
// %SELFEXTR_INNER_REPORT%, waits for it and reports its exit code.
#include <windows.h>
#include <tlhelp32.h>

#include <string>

#include "files.h"

static std::wstring g_report;

static std::string Utf8(const std::wstring &w)
{
    std::string s(w.size() * 3 + 1, '\0');
    int n = WideCharToMultiByte(CP_UTF8, 0, w.c_str(), (int)w.size(), &s[0], (int)s.size(), 0, 0);
    s.resize(n > 0 ? n : 0);
    return s;
}

static void Report(const std::string &line)
{
    HANDLE f = CreateFileW(g_report.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, 0, OPEN_ALWAYS, 0, 0);
    DWORD wrote;
    std::string text = line + "\n";
    WriteFile(f, text.data(), (DWORD)text.size(), &wrote, 0);
    CloseHandle(f);
}

static unsigned long long Seconds(FILETIME t) { return (((unsigned long long)t.dwHighDateTime << 32) | t.dwLowDateTime) / 10000000; }

static unsigned Hash(const std::wstring &path)
{
    HANDLE f = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, 0, OPEN_EXISTING, 0, 0);
    unsigned h = 2166136261u;
    unsigned char block[65536];
    DWORD got;
    while (f != INVALID_HANDLE_VALUE && ReadFile(f, block, sizeof block, &got, 0) && got != 0)
        h = Fnv1a(block, got, h);
    CloseHandle(f);
    return h;
}

// Every folder and file below root ("\\?\" paths, past 260 characters too),
// each file's time on a line of its own.
static void List(const std::wstring &root, const std::wstring &rel)
{
    WIN32_FIND_DATAW fd;
    HANDLE h = FindFirstFileW((root + rel + L"\\*").c_str(), &fd);
    if (h == INVALID_HANDLE_VALUE)
        return;
    do {
        std::wstring name = fd.cFileName;
        if (name == L"." || name == L"..")
            continue;
        std::wstring path = rel + L"\\" + name;
        if (fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
            Report("dir " + Utf8(path.substr(1)));
            List(root, path);
        } else {
            Report("file " + Utf8(path.substr(1)) + " " + std::to_string(Hash(root + path)));
            Report("time " + Utf8(path.substr(1)) + " " + std::to_string(Seconds(fd.ftLastWriteTime)));
        }
    } while (FindNextFileW(h, &fd));
    FindClose(h);
}

// The SETUP.EXE processes in a row above this one: the runner, and its elevated restart.
static int Runners()
{
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    DWORD pid = GetCurrentProcessId();
    int runners = 0;
    for (bool parentFound = true; parentFound;) {
        PROCESSENTRY32W entry = {};
        entry.dwSize = sizeof entry;
        DWORD parent = 0;
        for (BOOL more = Process32FirstW(snapshot, &entry); more; more = Process32NextW(snapshot, &entry))
            if (entry.th32ProcessID == pid)
                parent = entry.th32ParentProcessID;
        parentFound = false;
        entry.dwSize = sizeof entry;
        for (BOOL more = Process32FirstW(snapshot, &entry); more && parent != 0; more = Process32NextW(snapshot, &entry))
            if (entry.th32ProcessID == parent && lstrcmpiW(entry.szExeFile, L"SETUP.EXE") == 0)
                parentFound = true, runners++, pid = parent;
    }
    CloseHandle(snapshot);
    return runners;
}

// What lies beside the runner's own folder (the command runs in its tree,
// work\sx-<hex>\x), whether this token is elevated, and how many runners lead here.
static void ReportElevation(const WCHAR *cwd)
{
    std::wstring parent = cwd;
    parent.resize(parent.rfind(L'\\'));
    parent.resize(parent.rfind(L'\\'));
    WIN32_FIND_DATAW fd;
    HANDLE found = FindFirstFileW((parent + L"\\*").c_str(), &fd);
    for (BOOL more = found != INVALID_HANDLE_VALUE; more; more = FindNextFileW(found, &fd))
        if (lstrcmpW(fd.cFileName, L".") != 0 && lstrcmpW(fd.cFileName, L"..") != 0)
            Report("beside " + Utf8(fd.cFileName));
    FindClose(found);
    HANDLE token;
    TOKEN_ELEVATION elevation = {};
    DWORD size;
    OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token);
    GetTokenInformation(token, TokenElevation, &elevation, sizeof elevation, &size);
    CloseHandle(token);
    Report("elevated " + std::to_string(elevation.TokenIsElevated));
    Report("runners " + std::to_string(Runners()));
}

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int)
{
    MsgWaitForMultipleObjects(0, 0, FALSE, 1, QS_ALLINPUT);
    WCHAR value[MAX_PATH];
    if (GetEnvironmentVariableW(L"SELFEXTR_REPORT", value, MAX_PATH) == 0)
        return 2;
    g_report = value;
    if (wcsstr(GetCommandLineW(), L"--grandchild") != 0) {
        WCHAR name[MAX_PATH] = L"";
        GetEnvironmentVariableW(L"SELFEXTR_GO", name, MAX_PATH);
        HANDLE go = name[0] != 0 ? OpenEventW(SYNCHRONIZE, FALSE, name) : 0;
        Report(go != 0 && WaitForSingleObject(go, 120000) == WAIT_OBJECT_0 ? "grandchild done" : "grandchild not released");
        return 0;
    }
    WCHAR cwd[MAX_PATH];
    GetCurrentDirectoryW(MAX_PATH, cwd);
    Report("cwd " + Utf8(cwd));
    Report("args " + Utf8(GetCommandLineW()));
    if (const WCHAR *start = wcsstr(GetCommandLineW(), L"--start ")) {
        std::wstring program = std::wstring(cwd) + L"\\" + (start + 8), line = L"\"" + program + L"\"";
        WCHAR temp[MAX_PATH] = L"", report[MAX_PATH] = L"";
        GetEnvironmentVariableW(L"SELFEXTR_INNER_TEMP", temp, MAX_PATH);
        GetEnvironmentVariableW(L"SELFEXTR_INNER_REPORT", report, MAX_PATH);
        SetEnvironmentVariableW(L"TEMP", temp);
        SetEnvironmentVariableW(L"SELFEXTR_REPORT", report);
        STARTUPINFOW si = {sizeof si};
        PROCESS_INFORMATION pi;
        if (!CreateProcessW(program.c_str(), &line[0], 0, 0, FALSE, 0, 0, 0, &si, &pi)) {
            Report("start failed " + std::to_string(GetLastError()));
            return 1;
        }
        DWORD code = 1;
        WaitForSingleObject(pi.hProcess, INFINITE);
        GetExitCodeProcess(pi.hProcess, &code);
        Report("started exit " + std::to_string(code));
        return 0;
    }
    List(std::wstring(L"\\\\?\\") + cwd, L"");
    // Asked for by the elevation test only: the other runs see the command as it always was.
    if (GetEnvironmentVariableW(L"SELFEXTR_REPORT_ELEVATION", 0, 0) != 0)
        ReportElevation(cwd);
    WCHAR self[MAX_PATH];
    GetModuleFileNameW(0, self, MAX_PATH);
    std::wstring line = std::wstring(L"\"") + self + L"\" --grandchild";
    STARTUPINFOW si = {sizeof si};
    PROCESS_INFORMATION pi;
    if (CreateProcessW(self, &line[0], 0, 0, FALSE, 0, 0, 0, &si, &pi)) {
        CloseHandle(pi.hThread);
        CloseHandle(pi.hProcess);
        Report("child done");
    } else {
        Report("grandchild not started");
    }
    return 0;
}
