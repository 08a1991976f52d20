// elevate.cpp: a command that needs elevation runs under this runner restarted
// elevated, which makes its own folder; the command is never elevated from a
// folder that the user's other processes can write.
#include "runner.h"
#include <shellapi.h>

typedef BOOL(WINAPI *OpenTokenProc)(HANDLE, DWORD, PHANDLE);
typedef BOOL(WINAPI *TokenInfoProc)(HANDLE, TOKEN_INFORMATION_CLASS, LPVOID, DWORD, PDWORD);
typedef BOOL(WINAPI *ShellExecuteExProc)(SHELLEXECUTEINFOW *);

// The restart's only parameter. It marks the runner that never restarts
// again; whoever else passes it gains nothing but that.
static const WCHAR kRestartMark[] = L"/selfextr-elevated";

static WCHAR g_self[MAX_PATH];

static bool SameText(const WCHAR *a, const WCHAR *b)
{
    while (*a != 0 && *a == *b)
        a++, b++;
    return *a == *b;
}

// Whether the command line, past the program's name, is the mark and nothing else.
static bool IsRestart(void)
{
    const WCHAR *p = GetCommandLineW();
    bool quoted = *p == L'"';
    for (p += quoted; *p != 0 && (quoted ? *p != L'"' : (*p != L' ' && *p != L'\t')); p++) {
    }
    p += quoted && *p == L'"';
    while (*p == L' ' || *p == L'\t')
        p++;
    uint32_t n = Text_Length(p);
    while (n > 0 && (p[n - 1] == L' ' || p[n - 1] == L'\t'))
        n--;
    uint32_t m = Text_Length(kRestartMark);
    if (n != m)
        return false;
    for (uint32_t i = 0; i < m; i++)
        if (p[i] != kRestartMark[i])
            return false;
    return true;
}

// What the token lacks for the level: requireAdministrator, any token that is
// not elevated; highestAvailable, the filtered half of an administrator's
// split token (a standard user's token is as high as it gets).
static bool TokenFallsShort(bool required)
{
    HMODULE advapi = LoadLibraryExW(L"advapi32.dll", 0, LOAD_LIBRARY_SEARCH_SYSTEM32);
    OpenTokenProc openToken = advapi != 0 ? (OpenTokenProc)(void (*)(void))GetProcAddress(advapi, "OpenProcessToken") : 0;
    TokenInfoProc tokenInfo = advapi != 0 ? (TokenInfoProc)(void (*)(void))GetProcAddress(advapi, "GetTokenInformation") : 0;
    HANDLE token;
    if (openToken == 0 || tokenInfo == 0 || !openToken(GetCurrentProcess(), TOKEN_QUERY, &token))
        return false;
    DWORD size;
    TOKEN_ELEVATION elevation = {0};
    TOKEN_ELEVATION_TYPE type = TokenElevationTypeDefault;
    // Before Vista neither class exists: there is no elevation to ask for.
    bool short_ = required ? tokenInfo(token, TokenElevation, &elevation, sizeof elevation, &size) && !elevation.TokenIsElevated
                           : tokenInfo(token, TokenElevationType, &type, sizeof type, &size) && type == TokenElevationTypeLimited;
    CloseHandle(token);
    return short_;
}

bool Elevate_Check(RunnerState *rs)
{
    rs->restarted = IsRestart();
    bool required = SameText(rs->settings.elevation, L"requireAdministrator");
    if (!required && rs->settings.elevation[0] != 0 && !SameText(rs->settings.elevation, L"highestAvailable")) {
        Fail_Show(rs, kSettingsDamaged, 0, 0);
        return false;
    }
    rs->restart = !rs->restarted && rs->settings.elevation[0] != 0 && TokenFallsShort(required);
    return true;
}

int Elevate_Restart(RunnerState *rs)
{
    DWORD n = GetModuleFileNameW(0, g_self, MAX_PATH);
    HMODULE shell = LoadLibraryExW(L"shell32.dll", 0, LOAD_LIBRARY_SEARCH_SYSTEM32);
    ShellExecuteExProc run = shell != 0 ? (ShellExecuteExProc)(void (*)(void))GetProcAddress(shell, "ShellExecuteExW") : 0;
    SHELLEXECUTEINFOW info;
    ZeroMemory(&info, sizeof info);
    info.cbSize = sizeof info;
    // NOASYNC: the shell may finish on a thread of its own, which must not outlive the call.
    info.fMask = SEE_MASK_NOCLOSEPROCESS | SEE_MASK_NOASYNC | SEE_MASK_FLAG_NO_UI;
    info.lpVerb = L"runas";
    info.lpFile = g_self;
    info.lpParameters = kRestartMark;
    info.nShow = SW_SHOWNORMAL;
    DWORD error = 0;
    if (n == 0 || n >= MAX_PATH)
        error = ERROR_FILENAME_EXCED_RANGE;
    else if (run == 0)
        error = ERROR_PROC_NOT_FOUND;
    else if (!run(&info))
        error = GetLastError();
    else if (info.hProcess == 0)
        error = ERROR_INVALID_HANDLE;
    if (error != 0) {
        // Declined: the user knows why; anything else, the system's reason.
        Fail_Show(rs, error == ERROR_CANCELLED ? "The package's setup needs administrator rights, which were not given."
                                               : "Cannot start the package's setup with administrator rights.",
                  0, error == ERROR_CANCELLED ? 0 : error);
        return 1;
    }
    // The window messages keep flowing while the restarted runner does the work.
    while (MsgWaitForMultipleObjects(1, &info.hProcess, FALSE, INFINITE, QS_ALLINPUT) == WAIT_OBJECT_0 + 1)
        Pump_Messages();
    DWORD code = 1;
    GetExitCodeProcess(info.hProcess, &code);
    CloseHandle(info.hProcess);
    return (int)code;
}
