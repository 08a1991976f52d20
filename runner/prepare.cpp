// prepare.cpp: DLL search and the package's strings.
#include "runner.h"
#include "resources.h"

typedef BOOL(WINAPI *SetDllDirectoriesProc)(DWORD);

void Prepare_HardenDllSearch(void)
{
    // Before any DLL is loaded: only the system folder, never the work
    // folder or the caller's, where a planted DLL could wait. Older Windows
    // lacks the call; it still loads the runner's imports from System32.
    HMODULE kernel = GetModuleHandleA("kernel32.dll");
    SetDllDirectoriesProc set = (SetDllDirectoriesProc)(void (*)(void))GetProcAddress(kernel, "SetDefaultDllDirectories");
    if (set != 0)
        set(LOAD_LIBRARY_SEARCH_SYSTEM32);
}

bool Prepare_ReadPackage(RunnerState *rs)
{
    LoadStringA(rs->module, RUNNER_STRING_CAPTION, rs->caption, kCaptionBytes);
    if (LoadStringW(rs->module, RUNNER_STRING_COMMAND, rs->command, kCommandChars) == 0 ||
        LoadStringW(rs->module, RUNNER_STRING_PAYLOAD, rs->payloadName, MAX_PATH) == 0) {
        Fail_Show(rs, L"This setup program was not made by selfextr pack.", 0, 0);
        return false;
    }
    DWORD n = GetModuleFileNameW(0, rs->workFolder, MAX_PATH);
    if (n == 0 || n >= MAX_PATH) {
        Fail_Show(rs, L"Cannot find the folder of this setup program.", 0, n == 0 ? GetLastError() : ERROR_FILENAME_EXCED_RANGE);
        return false;
    }
    while (n > 0 && rs->workFolder[n - 1] != L'\\')
        n--;
    rs->workFolder[n > 0 ? n - 1 : 0] = 0;
    return true;
}
