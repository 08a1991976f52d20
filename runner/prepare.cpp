// prepare.cpp: DLL search, the package's strings, and the private folder.
#include "runner.h"
#include "resources.h"

typedef BOOL(WINAPI *SetDllDirectoriesProc)(DWORD);
typedef BOOLEAN(WINAPI *GenRandomProc)(PVOID, ULONG);

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

// Eight random bytes: the system's generator where it can be had, else the clock, the process and the stack.
static void RandomBytes(uint8_t out[8])
{
    HMODULE advapi = LoadLibraryExW(L"advapi32.dll", 0, 0x800 /* LOAD_LIBRARY_SEARCH_SYSTEM32 */);
    GenRandomProc gen = advapi != 0 ? (GenRandomProc)(void (*)(void))GetProcAddress(advapi, "SystemFunction036") : 0;
    if (gen != 0 && gen(out, 8))
        return;
    uint64_t v = ((uint64_t)GetTickCount() * 0x9E3779B97F4A7C15ull) ^ ((uint64_t)GetCurrentProcessId() << 32) ^ (uintptr_t)out;
    for (int i = 0; i < 8; i++, v >>= 8)
        out[i] = (uint8_t)v;
}

bool Prepare_PrivateFolder(RunnerState *rs)
{
    static const WCHAR kHex[] = L"0123456789abcdef";
    DWORD error = 0;
    // A name nobody can guess, created only if it does not exist yet.
    for (int attempt = 0; attempt < 16; attempt++) {
        uint8_t r[8];
        RandomBytes(r);
        WCHAR name[24] = L"\\sx-";
        for (int i = 0; i < 8; i++) {
            name[4 + 2 * i] = kHex[r[i] >> 4];
            name[5 + 2 * i] = kHex[r[i] & 15];
        }
        name[20] = 0;
        rs->privateFolder[0] = 0;
        Text_Append(rs->privateFolder, MAX_PATH, rs->workFolder);
        if (Text_Length(rs->privateFolder) + 20 >= MAX_PATH - 1) {
            error = ERROR_FILENAME_EXCED_RANGE;
            break;
        }
        Text_Append(rs->privateFolder, MAX_PATH, name);
        if (CreateDirectoryW(rs->privateFolder, 0)) {
            rs->privateMade = true;
            return true;
        }
        error = GetLastError();
        if (error != ERROR_ALREADY_EXISTS)
            break;
    }
    Fail_Show(rs, L"Cannot create a folder to expand the package into:", rs->privateFolder, error);
    return false;
}
