// folder.cpp: the private folder, which only the runner's own user, SYSTEM and
// Administrators may enter; the marker held open inside it while the runner
// lives; and the sweep of folders whose runner is gone.
#include "runner.h"
#include <accctrl.h>

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
    return LoadLibraryExW(L"advapi32.dll", 0, LOAD_LIBRARY_SEARCH_SYSTEM32);
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
// The owner a runner's folder has: the token's user, or Administrators when
// the runner runs elevated or as SYSTEM.
static uint8_t g_owner[SECURITY_MAX_SID_SIZE];

static uint32_t SidBytes(const uint8_t *sid)
{
    return 8 + 4 * (uint32_t)sid[1];  // revision, count, authority, then count sub-authorities
}

static bool SameSid(const uint8_t *a, const uint8_t *b)
{
    uint32_t n = SidBytes(a);
    for (uint32_t i = 0; i < n; i++)
        if (a[i] != b[i])
            return false;
    return true;
}

static void CopySid(uint8_t *out, const uint8_t *sid)
{
    uint32_t n = SidBytes(sid);
    for (uint32_t i = 0; i < n && i < SECURITY_MAX_SID_SIZE; i++)
        out[i] = sid[i];
}

const WCHAR *Folder_Sddl(void)
{
    WCHAR *sddl = InRegister(g_sddl);
    if (sddl[0] != 0)
        return sddl;
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
    DWORD size, elevated = 0;
    WCHAR *sid = 0;
    bool ok = tokenInfo(token, TokenUser, &who, sizeof who, &size) && sidToText(who.user.User.Sid, &sid);
    // Before Vista there is no elevation to ask about: never elevated.
    if (!tokenInfo(token, TokenElevation, &elevated, sizeof elevated, &size))
        elevated = 0;
    CloseHandle(token);
    if (!ok)
        return 0;
    static const uint8_t kSystem[] = {1, 1, 0, 0, 0, 0, 0, 5, 18, 0, 0, 0};
    static const uint8_t kAdministrators[] = {1, 2, 0, 0, 0, 0, 0, 5, 32, 0, 0, 0, 0x20, 2, 0, 0};
    const uint8_t *user = (const uint8_t *)who.user.User.Sid;
    bool system = SameSid(user, kSystem);
    // P: nothing inherited from TEMP. OICI: all inside inherits it. FA: full control.
    if (elevated != 0 || system) {
        // Another process of the user, not elevated, must not reach into what
        // an elevated setup runs: neither by the DACL nor by writing up (NW at HI).
        CopySid(g_owner, kAdministrators);
        Text_AppendAscii(sddl, 256, "O:BAD:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)S:(ML;OICI;NW;;;HI)");
    } else {
        CopySid(g_owner, user);
        Text_AppendAscii(sddl, 256, "O:");
        Text_Append(sddl, 256, sid);
        Text_AppendAscii(sddl, 256, "D:P(A;OICI;FA;;;");
        Text_Append(sddl, 256, sid);
        Text_AppendAscii(sddl, 256, ")(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)");
    }
    LocalFree(sid);
    return sddl;
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

static WCHAR g_path[kPathChars];

bool Folder_Create(RunnerState *rs)
{
    static const WCHAR kHex[] = L"0123456789abcdef";
    SECURITY_ATTRIBUTES sa = {sizeof sa, Folder_Descriptor(), FALSE};
    DWORD error = 0;
    if (sa.lpSecurityDescriptor == 0) {
        // Never a folder that others could enter: better no setup at all.
        Fail_Show(rs, "Cannot make a folder that only you can enter, to expand the package into.", 0, GetLastError());
        return false;
    }
    // workFolder\sx-<hex>\x, within MAX_PATH with room for nothing else: the
    // payload's own names are checked against the whole path as it expands.
    if (Text_Length(rs->workFolder) + 1 + kNameChars + 1 + Text_Length(RUNNER_TREE_NAME) >= MAX_PATH - 1) {
        Fail_Show(rs, "Cannot create a folder to expand the package into:", rs->workFolder, ERROR_FILENAME_EXCED_RANGE);
        return false;
    }
    WCHAR *path = InRegister(g_path);
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
        rs->ownFolder[0] = 0;
        Text_Append(rs->ownFolder, MAX_PATH, rs->workFolder);
        Text_Append(rs->ownFolder, MAX_PATH, L"\\");
        Text_Append(rs->ownFolder, MAX_PATH, name);
        Path_Long(path, kPathChars, rs->ownFolder);
        if (!CreateDirectoryW(path, &sa)) {
            error = GetLastError();
            if (error != ERROR_ALREADY_EXISTS)
                break;
            continue;
        }
        rs->privateMade = true;
        // Held without FILE_SHARE_DELETE while the runner lives: another
        // runner's sweep cannot take it, so it leaves this folder alone. It
        // lies beside the payload's tree, so that no entry can be it.
        Text_Append(path, kPathChars, L"\\" RUNNER_MARKER_NAME);
        rs->marker = CreateFileW(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, 0, CREATE_NEW, FILE_ATTRIBUTE_HIDDEN, 0);
        if (rs->marker == INVALID_HANDLE_VALUE) {
            rs->marker = 0;
            // Another runner's sweep took the folder between the two calls: a new name.
            error = GetLastError();
            Tree_Delete(rs->ownFolder, 0);
            rs->privateMade = false;
            if (error != ERROR_PATH_NOT_FOUND && error != ERROR_FILE_NOT_FOUND)
                break;
            continue;
        }
        rs->privateFolder[0] = 0;
        Text_Append(rs->privateFolder, MAX_PATH, rs->ownFolder);
        Text_Append(rs->privateFolder, MAX_PATH, L"\\" RUNNER_TREE_NAME);
        Path_Long(path, kPathChars, rs->privateFolder);
        if (CreateDirectoryW(path, 0))
            return true;
        error = GetLastError();
        break;
    }
    Fail_Show(rs, "Cannot create a folder to expand the package into:", rs->ownFolder, error);
    return false;
}

void Folder_Release(RunnerState *rs)
{
    if (rs->marker != 0 && rs->marker != INVALID_HANDLE_VALUE)
        CloseHandle(rs->marker);
    rs->marker = 0;
}

// "sx-" and 16 lower-case hex digits: the only names a runner makes.
static bool IsRunnerName(const WCHAR *name, uint32_t units)
{
    if (units != kNameChars || name[0] != L's' || name[1] != L'x' || name[2] != L'-')
        return false;
    for (int i = 3; i < kNameChars; i++)
        if (!((name[i] >= L'0' && name[i] <= L'9') || (name[i] >= L'a' && name[i] <= L'f')))
            return false;
    return true;
}

typedef DWORD(WINAPI *GetSecurityInfoProc)(HANDLE, SE_OBJECT_TYPE, SECURITY_INFORMATION, PSID *, PSID *, PACL *, PACL *,
                                           PSECURITY_DESCRIPTOR *);

// Made by a runner of this account, as read through the folder's handle: the
// owner a runner gives its folder, and a DACL that inherits nothing. A
// folder others made under the same name has neither.
static bool MadeByARunner(HANDLE folder)
{
    static GetSecurityInfoProc read;
    HMODULE advapi = read == 0 ? Advapi() : 0;
    if (advapi != 0)
        read = (GetSecurityInfoProc)(void (*)(void))GetProcAddress(advapi, "GetSecurityInfo");
    PSID owner = 0;
    PACL dacl = 0;
    PSECURITY_DESCRIPTOR sd = 0;
    if (read == 0 || Folder_Sddl() == 0 ||
        read(folder, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, &owner, 0, &dacl, 0, &sd) != ERROR_SUCCESS)
        return false;
    // Self-relative, as GetSecurityInfo returns it: the control word at offset 2.
    SECURITY_DESCRIPTOR_CONTROL control = ((const SECURITY_DESCRIPTOR_RELATIVE *)sd)->Control;
    bool ours = owner != 0 && dacl != 0 && (control & SE_DACL_PROTECTED) != 0 && SameSid((const uint8_t *)owner, g_owner);
    LocalFree(sd);
    return ours;
}

enum { kSweepAccess = FILE_LIST_DIRECTORY | SYNCHRONIZE };

void Folder_Sweep(RunnerState *rs)
{
    DWORD start = GetTickCount();
    Path_Long(g_path, kPathChars, rs->workFolder);
    HANDLE work = CreateFileW(g_path, kSweepAccess, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, 0, OPEN_EXISTING,
                              FILE_FLAG_BACKUP_SEMANTICS, 0);
    if (work == INVALID_HANDLE_VALUE)
        return;
    const WCHAR *mask = L"sx-*", *name;
    DWORD seen;
    for (uint32_t units; GetTickCount() - start < kSweepMs && (units = Tree_Next(work, mask, &seen, &name)) != 0; mask = 0) {
        if ((seen & FILE_ATTRIBUTE_DIRECTORY) == 0 || (seen & FILE_ATTRIBUTE_REPARSE_POINT) != 0 || !IsRunnerName(name, units))
            continue;
        // Opened once, without following a link, and judged through that
        // handle: what is deleted is what was judged.
        HANDLE folder;
        DWORD a;
        if (Tree_OpenBelow(work, name, units,
                           READ_CONTROL | DELETE | FILE_LIST_DIRECTORY | SYNCHRONIZE | FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES,
                           true, &folder) != 0)
            continue;
        if (!Tree_Attributes(folder, &a) || (a & FILE_ATTRIBUTE_REPARSE_POINT) != 0 || !MadeByARunner(folder)) {
            CloseHandle(folder);
            continue;
        }
        // A live runner holds its marker without sharing deletion: asking for
        // DELETE fails with a sharing violation. Gone, or never made (its
        // runner ended between folder and marker), the folder is stale.
        HANDLE marker;
        const WCHAR *markerName = RUNNER_MARKER_NAME;
        DWORD status = Tree_OpenBelow(folder, markerName, Text_Length(markerName), DELETE | SYNCHRONIZE, false, &marker);
        if (status == 0)
            CloseHandle(marker);
        else if (status != 0xC0000034 /* STATUS_OBJECT_NAME_NOT_FOUND */) {
            CloseHandle(folder);
            continue;
        }
        Tree_DeleteOpen(folder, start + kSweepMs);
    }
    CloseHandle(work);
}
