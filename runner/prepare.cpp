// prepare.cpp: DLL search, the settings read from the stub's image, and the stub's window.
#include "runner.h"
#include "../partner/selfextr_partner.h"
#include "../res/selfextr.h"

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

typedef BOOL(WINAPI *QueryImageNameProc)(HANDLE, DWORD, LPWSTR, PDWORD);

enum { kLoadAsImageResource = 0x20 };  // LOAD_LIBRARY_AS_IMAGE_RESOURCE, Vista on

static WCHAR g_stubPath[kPathChars];

// The image of the nearest ancestor that is a finished stub, the one that
// wrote this program, mapped for its resources only; 0 when there is none.
// Nothing past the nearest stub is looked at: another package's stub higher up
// never gives this one its settings.
static HMODULE OpenStubImage(RunnerState *rs)
{
    SelfExtr_Ancestor chain[SELFEXTR_MAX_ANCESTORS];
    int count = SelfExtr_Ancestors(chain);
    HMODULE kernel = GetModuleHandleA("kernel32.dll");
    QueryImageNameProc query = (QueryImageNameProc)(void (*)(void))GetProcAddress(kernel, "QueryFullProcessImageNameW");
    HMODULE image = 0;
    bool found = false;
    for (int i = 0; i < count; i++) {
        if (!found && chain[i].isStub) {
            found = true;
            // Held, so that its number cannot pass to another process: the stub to tell when all is done.
            rs->stubProcess = chain[i].process;
            rs->stubPid = chain[i].pid;
            DWORD size = kPathChars;
            if (query != 0 && query(chain[i].process, 0, g_stubPath, &size)) {
                image = LoadLibraryExW(g_stubPath, 0, LOAD_LIBRARY_AS_DATAFILE | kLoadAsImageResource);
                // Before Vista the loader refuses the flag: the data-file mapping alone.
                if (image == 0)
                    image = LoadLibraryExW(g_stubPath, 0, LOAD_LIBRARY_AS_DATAFILE);
            }
            continue;
        }
        CloseHandle(chain[i].process);
    }
    return image;
}

// One of the stub's strings, whole: its length, 0 when it is missing, -1 when
// it does not fit capacity (terminator included) or holds a NUL. With no
// buffer, LoadStringW gives the stored string and its length, so a string is
// never cut without a word.
static int ReadString(HMODULE image, UINT id, WCHAR *out, int capacity)
{
    const WCHAR *text = 0;
    int n = LoadStringW(image, id, (LPWSTR)&text, 0);
    if (n <= 0 || text == 0)
        return 0;
    if (n >= capacity)
        return -1;
    for (int i = 0; i < n; i++)
        if ((out[i] = text[i]) == 0)
            return -1;
    out[n] = 0;
    return n;
}

bool Prepare_ReadPackage(RunnerState *rs)
{
    HMODULE stub = OpenStubImage(rs);
    if (rs->stubProcess == 0) {
        Fail_Show(rs, L"This is the setup program of a selfextr package and runs only when the package starts it.", 0, 0);
        return false;
    }
    if (stub == 0) {
        Fail_Show(rs, L"Cannot read the package's settings:", g_stubPath, GetLastError());
        return false;
    }
    // The caption the stub showed, in the user's language by the loader's own order.
    if (ReadString(stub, STRING_CAPTION, rs->caption, kCaptionChars) < 0)
        rs->caption[0] = 0;
    int command = ReadString(stub, RUNNER_SETTING_COMMAND, rs->command, kCommandChars);
    int payload = ReadString(stub, RUNNER_SETTING_PAYLOAD, rs->payloadName, MAX_PATH);
    int level = ReadString(stub, RUNNER_SETTING_ELEVATION, rs->elevation, RUNNER_ELEVATION_UNITS);
    FreeLibrary(stub);
    if (command == 0 || payload == 0) {
        Fail_Show(rs, L"The package holds no command for its setup program. Please download it again.", 0, 0);
        return false;
    }
    if (command < 0 || payload < 0 || level < 0) {
        Fail_Show(rs, L"The package's settings are damaged. Please download it again.", 0, 0);
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

HWND Prepare_StubWindow(RunnerState *rs)
{
    // The stub creates its window once its WinExec of the runner has returned,
    // which the runner's first wait allowed: waited for while the stub lives.
    for (;;) {
        HWND window = SelfExtr_WindowOf(rs->stubPid);
        if (window != 0 || WaitForSingleObject(rs->stubProcess, 0) != WAIT_TIMEOUT)
            return window;
        MsgWaitForMultipleObjects(0, 0, FALSE, 10, QS_ALLINPUT);
    }
}
