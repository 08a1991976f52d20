// folder.cpp: the private folder, which only the runner's own user, SYSTEM and
// Administrators may enter; the marker held open inside it while the runner
// lives; and the sweep of folders whose runner is gone.
#include "runner.h"

typedef BOOLEAN(WINAPI *GenRandomProc)(PVOID, ULONG);
typedef BOOL(WINAPI *OpenTokenProc)(HANDLE, DWORD, PHANDLE);
typedef BOOL(WINAPI *TokenInfoProc)(HANDLE, TOKEN_INFORMATION_CLASS, LPVOID, DWORD, PDWORD);
typedef BOOL(WINAPI *SidToTextProc)(PSID, LPWSTR *);
typedef BOOL(WINAPI *TextToDescriptorProc)(LPCWSTR, DWORD, PSECURITY_DESCRIPTOR *, PULONG);

enum {
    kNameChars = 19,   // "sx-" and 16 hex digits
    kSweepMs = 2000,   // the most one start spends on other runners' folders; the rest waits for the next
};

static HMODULE Advapi(void)
{
    return LoadLibraryExW(L"advapi32.dll", 0, 0x800 /* LOAD_LIBRARY_SEARCH_SYSTEM32 */);
}

// Eight random bytes: the system's generator where it can be had, else the clock, the process and the stack.
static void RandomBytes(uint8_t out[8])
{
    HMODULE advapi = Advapi();
    GenRandomProc gen = advapi != 0 ? (GenRandomProc)(void (*)(void))GetProcAddress(advapi, "SystemFunction036") : 0;
    if (gen != 0 && gen(out, 8))
        return;
    uint64_t v = ((uint64_t)GetTickCount() * 0x9E3779B97F4A7C15ull) ^ ((uint64_t)GetCurrentProcessId() << 32) ^ (uintptr_t)out;
    for (int i = 0; i < 8; i++, v >>= 8)
        out[i] = (uint8_t)v;
}

static WCHAR g_sddl[256];

const WCHAR *Folder_Sddl(void)
{
    if (g_sddl[0] != 0)
        return g_sddl;
    HMODULE advapi = Advapi();
    if (advapi == 0)
        return 0;
    OpenTokenProc openToken = (OpenTokenProc)(void (*)(void))GetProcAddress(advapi, "OpenProcessToken");
    TokenInfoProc tokenInfo = (TokenInfoProc)(void (*)(void))GetProcAddress(advapi, "GetTokenInformation");
    SidToTextProc sidToText = (SidToTextProc)(void (*)(void))GetProcAddress(advapi, "ConvertSidToStringSidW");
    HANDLE token;
    if (openToken == 0 || tokenInfo == 0 || sidToText == 0 || !openToken(GetCurrentProcess(), TOKEN_QUERY, &token))
        return 0;
    union {
        TOKEN_USER user;
        uint8_t bytes[sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE];
    } who;
    DWORD size;
    WCHAR *sid = 0;
    bool ok = tokenInfo(token, TokenUser, &who, sizeof who, &size) && sidToText(who.user.User.Sid, &sid);
    CloseHandle(token);
    if (!ok)
        return 0;
    // P: nothing inherited from TEMP. OICI: all inside inherits it. FA: full control.
    Text_Append(g_sddl, 256, L"D:P(A;OICI;FA;;;");
    Text_Append(g_sddl, 256, sid);
    Text_Append(g_sddl, 256, L")(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)");
    LocalFree(sid);
    return g_sddl;
}

PSECURITY_DESCRIPTOR Folder_Descriptor(void)
{
    static PSECURITY_DESCRIPTOR descriptor;
    if (descriptor != 0)
        return descriptor;
    const WCHAR *sddl = Folder_Sddl();
    HMODULE advapi = Advapi();
    TextToDescriptorProc textToDescriptor =
        advapi != 0 ? (TextToDescriptorProc)(void (*)(void))GetProcAddress(advapi, "ConvertStringSecurityDescriptorToSecurityDescriptorW") : 0;
    if (sddl == 0 || textToDescriptor == 0 || !textToDescriptor(sddl, 1 /* SDDL_REVISION_1 */, &descriptor, 0))
        descriptor = 0;
    return descriptor;
}

// folder\name.runner: the marker of the runner that made folder\name.
static void MarkerPath(WCHAR *out, const WCHAR *workFolder, const WCHAR *name)
{
    out[0] = 0;
    Text_Append(out, kPathChars, L"\\\\?\\");
    Text_Append(out, kPathChars, workFolder);
    Text_Append(out, kPathChars, L"\\");
    Text_Append(out, kPathChars, name);
    Text_Append(out, kPathChars, L"\\");
    Text_Append(out, kPathChars, name);
    Text_Append(out, kPathChars, L".runner");
}

static WCHAR g_marker[kPathChars];

bool Folder_Create(RunnerState *rs)
{
    static const WCHAR kHex[] = L"0123456789abcdef";
    SECURITY_ATTRIBUTES sa = {sizeof sa, Folder_Descriptor(), FALSE};
    DWORD error = 0;
    if (sa.lpSecurityDescriptor == 0) {
        // Never a folder that others could enter: better no setup at all.
        Fail_Show(rs, L"Cannot make a folder that only you can enter, to expand the package into.", 0, GetLastError());
        return false;
    }
    // A name nobody can guess, created only if it does not exist yet.
    for (int attempt = 0; attempt < 16; attempt++) {
        uint8_t r[8];
        RandomBytes(r);
        WCHAR name[kNameChars + 1] = L"sx-";
        for (int i = 0; i < 8; i++) {
            name[3 + 2 * i] = kHex[r[i] >> 4];
            name[4 + 2 * i] = kHex[r[i] & 15];
        }
        name[kNameChars] = 0;
        rs->privateFolder[0] = 0;
        Text_Append(rs->privateFolder, MAX_PATH, rs->workFolder);
        if (Text_Length(rs->privateFolder) + 1 + kNameChars >= MAX_PATH - 1) {
            error = ERROR_FILENAME_EXCED_RANGE;
            break;
        }
        Text_Append(rs->privateFolder, MAX_PATH, L"\\");
        Text_Append(rs->privateFolder, MAX_PATH, name);
        if (!CreateDirectoryW(rs->privateFolder, &sa)) {
            error = GetLastError();
            if (error != ERROR_ALREADY_EXISTS)
                break;
            continue;
        }
        rs->privateMade = true;
        // Held without FILE_SHARE_DELETE while the runner lives: another
        // runner's sweep cannot take it, so it leaves this folder alone.
        MarkerPath(g_marker, rs->workFolder, name);
        rs->marker = CreateFileW(g_marker, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, 0, CREATE_NEW,
                                 FILE_ATTRIBUTE_HIDDEN, 0);
        if (rs->marker != INVALID_HANDLE_VALUE)
            return true;
        // Another runner's sweep took the folder between the two calls: a new name.
        error = GetLastError();
        Tree_Delete(rs->privateFolder, 0);
        rs->privateMade = false;
        if (error != ERROR_PATH_NOT_FOUND && error != ERROR_FILE_NOT_FOUND)
            break;
    }
    Fail_Show(rs, L"Cannot create a folder to expand the package into:", rs->privateFolder, error);
    return false;
}

void Folder_Release(RunnerState *rs)
{
    if (rs->marker != 0 && rs->marker != INVALID_HANDLE_VALUE)
        CloseHandle(rs->marker);
    rs->marker = 0;
}

// "sx-" and 16 lower-case hex digits: the only names a runner makes.
static bool IsRunnerName(const WCHAR *name)
{
    if (name[0] != L's' || name[1] != L'x' || name[2] != L'-')
        return false;
    for (int i = 3; i < kNameChars; i++)
        if (!((name[i] >= L'0' && name[i] <= L'9') || (name[i] >= L'a' && name[i] <= L'f')))
            return false;
    return name[kNameChars] == 0;
}

static WCHAR g_found[kPathChars];

void Folder_Sweep(RunnerState *rs)
{
    DWORD start = GetTickCount();
    WIN32_FIND_DATAW fd;
    g_found[0] = 0;
    Text_Append(g_found, kPathChars, rs->workFolder);
    Text_Append(g_found, kPathChars, L"\\sx-*");
    HANDLE find = FindFirstFileExW(g_found, FindExInfoBasic, &fd, FindExSearchNameMatch, 0, 0);
    if (find == INVALID_HANDLE_VALUE)
        return;
    do {
        // A link is never followed, nor anything but a runner's own folder touched.
        if ((fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0 || (fd.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 ||
            !IsRunnerName(fd.cFileName))
            continue;
        MarkerPath(g_marker, rs->workFolder, fd.cFileName);
        // A live runner holds its marker without sharing deletion: asking for
        // DELETE fails with a sharing violation. Gone, or never made (its
        // runner ended between folder and marker), the folder is stale.
        HANDLE marker = CreateFileW(g_marker, DELETE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, 0,
                                    OPEN_EXISTING, 0, 0);
        if (marker != INVALID_HANDLE_VALUE)
            CloseHandle(marker);
        else if (GetLastError() != ERROR_FILE_NOT_FOUND)
            continue;
        g_found[0] = 0;
        Text_Append(g_found, kPathChars, rs->workFolder);
        Text_Append(g_found, kPathChars, L"\\");
        Text_Append(g_found, kPathChars, fd.cFileName);
        Tree_Delete(g_found, start + kSweepMs);
    } while (GetTickCount() - start < kSweepMs && FindNextFileW(find, &fd));
    FindClose(find);
}
