// tree.cpp: a folder's tree deleted through handles, deepest first. Each
// entry is opened relative to its parent's handle without following a link,
// looked at through its own handle and deleted through it: a name that is
// swapped for a link between the look and the act can steer nothing. A link
// of any kind (junction, symbolic link, mount point) goes itself, never entered.
#include "runner.h"
#include <stddef.h>
#include <winternl.h>

// The native calls, which take a parent handle; ntdll is in every process,
// and the calls exist from Windows 2000 on.
typedef NTSTATUS(NTAPI *NtOpenFileProc)(PHANDLE, ACCESS_MASK, POBJECT_ATTRIBUTES, PIO_STATUS_BLOCK, ULONG, ULONG);
typedef NTSTATUS(NTAPI *NtFileInfoProc)(HANDLE, PIO_STATUS_BLOCK, PVOID, ULONG, ULONG);
typedef NTSTATUS(NTAPI *NtQueryDirectoryProc)(HANDLE, HANDLE, PVOID, PVOID, PIO_STATUS_BLOCK, PVOID, ULONG, ULONG, BOOLEAN,
                                              PUNICODE_STRING, BOOLEAN);

enum {
    kMaxDepth = 16384,  // a 32,767-unit path holds at most this many names
    kEntryBytes = 2048, // one directory entry: its fixed part and a name of at most 255 units
    kFileDirectoryInformation = 1,
    kFileBasicInformation = 4,
    kFileStandardInformation = 5,
    kFileDispositionInformation = 13,
    kFileAttributeTagInformation = 35,
    kFileDispositionInformationEx = 64,  // Windows 10 1607 on
    kDispositionDelete = 1, kDispositionPosix = 2, kDispositionIgnoreReadOnly = 0x10,
    kOpenReparsePoint = 0x00200000,      // FILE_OPEN_REPARSE_POINT
    kSynchronousIo = 0x20,               // FILE_SYNCHRONOUS_IO_NONALERT
    kDirectoryFile = 0x01,               // FILE_DIRECTORY_FILE
    kBackupIntent = 0x4000,              // FILE_OPEN_FOR_BACKUP_INTENT
    kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
    kDeleteAccess = DELETE | SYNCHRONIZE | FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES,
    kListAccess = FILE_LIST_DIRECTORY | SYNCHRONIZE | FILE_READ_ATTRIBUTES,
};

static const NTSTATUS kNoMoreFiles = (NTSTATUS)0x80000006, kNameNotFound = (NTSTATUS)0xC0000034,
                      kPathNotFound = (NTSTATUS)0xC000003A, kSharingViolation = (NTSTATUS)0xC0000043;

struct TagInformation {
    ULONG attributes, reparseTag;
};
struct StandardInformation {
    LARGE_INTEGER allocation, end;
    ULONG links;
    BOOLEAN deletePending, directory;
};
struct BasicInformation {
    LARGE_INTEGER creation, access, write, change;  // 0: left as they are
    ULONG attributes;                               // 0: left as they are
};

static NtOpenFileProc g_open;
static NtFileInfoProc g_query, g_set;
static NtQueryDirectoryProc g_list;

void (*Tree_BetweenLookAndAct)(const WCHAR *name, uint32_t units);

static bool Native(void)
{
    if (g_open != 0)
        return true;
    HMODULE nt = GetModuleHandleA("ntdll.dll");
    if (nt == 0)
        return false;
    g_query = (NtFileInfoProc)(void (*)(void))GetProcAddress(nt, "NtQueryInformationFile");
    g_set = (NtFileInfoProc)(void (*)(void))GetProcAddress(nt, "NtSetInformationFile");
    g_list = (NtQueryDirectoryProc)(void (*)(void))GetProcAddress(nt, "NtQueryDirectoryFile");
    NtOpenFileProc open = (NtOpenFileProc)(void (*)(void))GetProcAddress(nt, "NtOpenFile");
    if (g_query == 0 || g_set == 0 || g_list == 0)
        return false;
    g_open = open;
    return open != 0;
}

void Path_Long(WCHAR *out, uint32_t capacity, const WCHAR *path)
{
    out[0] = 0;
    // Already a "\\?\" or "\\.\" path: as it is.
    if (path[0] == L'\\' && path[1] == L'\\' && (path[2] == L'?' || path[2] == L'.') && path[3] == L'\\') {
        Text_Append(out, capacity, path);
        return;
    }
    // \\server\share\... is \\?\UNC\server\share\...: "\\?\" before the two
    // backslashes would name a device called "\server".
    if (path[0] == L'\\' && path[1] == L'\\') {
        Text_Append(out, capacity, L"\\\\?\\UNC\\");
        Text_Append(out, capacity, path + 2);
        return;
    }
    Text_Append(out, capacity, L"\\\\?\\");
    Text_Append(out, capacity, path);
}

static bool Gone(NTSTATUS status)
{
    return status == kNameNotFound || status == kPathNotFound;
}

DWORD Tree_OpenBelow(HANDLE parent, const WCHAR *name, uint32_t units, DWORD access, bool folder, HANDLE *out)
{
    *out = 0;
    if (!Native() || units > 0x7fff)
        return (DWORD)kNameNotFound;
    UNICODE_STRING text;
    text.Buffer = (PWSTR)name;
    text.Length = text.MaximumLength = (USHORT)(units * sizeof(WCHAR));
    OBJECT_ATTRIBUTES oa;
    ZeroMemory(&oa, sizeof oa);
    oa.Length = sizeof oa;
    oa.RootDirectory = parent;
    oa.ObjectName = &text;
    oa.Attributes = OBJ_CASE_INSENSITIVE;
    IO_STATUS_BLOCK io;
    ULONG options = kOpenReparsePoint | kSynchronousIo | kBackupIntent | (folder ? kDirectoryFile : 0);
    NTSTATUS status = g_open(out, access, &oa, &io, kShareAll, options);
    if (status < 0)
        *out = 0;
    return (DWORD)status;
}

bool Tree_Attributes(HANDLE handle, DWORD *attributes)
{
    TagInformation tag;
    IO_STATUS_BLOCK io;
    if (!Native() || g_query(handle, &io, &tag, sizeof tag, kFileAttributeTagInformation) < 0)
        return false;
    *attributes = tag.attributes;
    return true;
}

static uint8_t g_entry[kEntryBytes] __attribute__((aligned(8)));

uint32_t Tree_Next(HANDLE folder, const WCHAR *mask, DWORD *attributes, const WCHAR **name)
{
    IO_STATUS_BLOCK io;
    UNICODE_STRING text;
    if (mask != 0) {
        text.Buffer = (PWSTR)mask;
        text.Length = text.MaximumLength = (USHORT)(Text_Length(mask) * sizeof(WCHAR));
    }
    uint8_t *entry = InRegister(g_entry);
    for (;;) {
        if (!Native() ||
            g_list(folder, 0, 0, 0, &io, entry, sizeof g_entry, kFileDirectoryInformation, TRUE, mask != 0 ? &text : 0, FALSE) < 0)
            return 0;
        const FILE_DIRECTORY_INFORMATION *e = (const FILE_DIRECTORY_INFORMATION *)entry;
        uint32_t units = e->FileNameLength / sizeof(WCHAR);
        if (units == 0 || offsetof(FILE_DIRECTORY_INFORMATION, FileName) + e->FileNameLength > sizeof g_entry)
            return 0;
        const WCHAR *n = e->FileName;
        if (n[0] == L'.' && (units == 1 || (units == 2 && n[1] == L'.')))
            continue;
        *attributes = e->FileAttributes;
        *name = n;
        return units;
    }
}

// Deletes what handle names, opened with DELETE and FILE_WRITE_ATTRIBUTES;
// true when it went. A read-only file is made writable only while it has one
// name: with several, the attribute belongs to a file that lives on elsewhere.
static bool Dispose(HANDLE handle, DWORD attributes)
{
    IO_STATUS_BLOCK io;
    if (attributes & FILE_ATTRIBUTE_READONLY) {
        StandardInformation standard;
        if (g_query(handle, &io, &standard, sizeof standard, kFileStandardInformation) < 0 || standard.links != 1)
            return false;
    }
    // POSIX: the name goes at once even while another holds the file open
    // with FILE_SHARE_DELETE, so that its folder can go too.
    ULONG flags = kDispositionDelete | kDispositionPosix | kDispositionIgnoreReadOnly;
    if (g_set(handle, &io, &flags, sizeof flags, kFileDispositionInformationEx) >= 0)
        return true;
    if (attributes & FILE_ATTRIBUTE_READONLY) {
        BasicInformation basic;
        ZeroMemory(&basic, sizeof basic);
        basic.attributes = attributes & (FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_ARCHIVE |
                                         FILE_ATTRIBUTE_TEMPORARY | FILE_ATTRIBUTE_NOT_CONTENT_INDEXED);
        if (basic.attributes == 0)
            basic.attributes = FILE_ATTRIBUTE_NORMAL;
        if (g_set(handle, &io, &basic, sizeof basic, kFileBasicInformation) < 0)
            return false;
    }
    BOOLEAN remove = TRUE;
    return g_set(handle, &io, &remove, sizeof remove, kFileDispositionInformation) >= 0;
}

// The folders open from the root down to the one being emptied.
struct Level {
    HANDLE folder;
    DWORD attributes;
};
static Level g_levels[kMaxDepth];

bool Tree_DeleteOpen(HANDLE root, DWORD deadline)
{
    DWORD a;
    if (!Native() || !Tree_Attributes(root, &a) || (a & FILE_ATTRIBUTE_DIRECTORY) == 0 || (a & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
        CloseHandle(root);
        return false;
    }
    bool all = true;
    int depth = 0;
    Level *level = InRegister(g_levels);
    level[0].folder = root;
    level[0].attributes = a;
    for (;;) {
        if (deadline != 0 && (int)(GetTickCount() - deadline) >= 0) {
            while (depth >= 0)
                CloseHandle(level[depth--].folder);
            return false;
        }
        DWORD seen;
        const WCHAR *name;
        uint32_t units = Tree_Next(level[depth].folder, 0, &seen, &name);
        if (units == 0) {
            // Emptied, or as empty as it gets: the folder itself.
            all = Dispose(level[depth].folder, level[depth].attributes) && all;
            CloseHandle(level[depth].folder);
            if (depth-- == 0)
                return all;
            continue;
        }
        if (Tree_BetweenLookAndAct != 0)
            Tree_BetweenLookAndAct(name, units);
        // What the listing said is a hint; the handle says what the name is now.
        bool listed = (seen & FILE_ATTRIBUTE_DIRECTORY) != 0 && (seen & FILE_ATTRIBUTE_REPARSE_POINT) == 0;
        HANDLE h;
        DWORD status = Tree_OpenBelow(level[depth].folder, name, units, kDeleteAccess | (listed ? FILE_LIST_DIRECTORY : 0), false, &h);
        if ((NTSTATUS)status == kSharingViolation && listed) {
            // A folder another holds without sharing deletion (a process's
            // current folder): what it holds still goes, the folder stays.
            status = Tree_OpenBelow(level[depth].folder, name, units, kListAccess, false, &h);
            // A file another holds without sharing reads still lets its name go.
            if ((NTSTATUS)status == kSharingViolation)
                status = Tree_OpenBelow(level[depth].folder, name, units, kDeleteAccess, false, &h);
        }
        if ((NTSTATUS)status < 0) {
            all = Gone((NTSTATUS)status) && all;
            continue;
        }
        if (!Tree_Attributes(h, &a)) {
            CloseHandle(h);
            all = false;
            continue;
        }
        if ((a & FILE_ATTRIBUTE_DIRECTORY) != 0 && (a & FILE_ATTRIBUTE_REPARSE_POINT) == 0) {
            // A folder where the listing saw none was opened without the right
            // to list it: the next pass enters it.
            if (!listed || depth + 1 >= kMaxDepth) {
                CloseHandle(h);
                all = false;
                continue;
            }
            level[++depth].folder = h;
            level[depth].attributes = a;
            continue;
        }
        // A file, or a link of any kind: itself.
        all = Dispose(h, a) && all;
        CloseHandle(h);
    }
}

bool Tree_Delete(const WCHAR *root, DWORD deadline)
{
    static WCHAR path[kPathChars];
    Path_Long(path, kPathChars, root);
    // The root itself a link: never followed, never taken.
    HANDLE h = CreateFileW(path, kDeleteAccess | FILE_LIST_DIRECTORY, kShareAll, 0, OPEN_EXISTING,
                           FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, 0);
    // Another's current folder: what it holds goes, the folder stays.
    if (h == INVALID_HANDLE_VALUE && GetLastError() == ERROR_SHARING_VIOLATION)
        h = CreateFileW(path, kListAccess, kShareAll, 0, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, 0);
    if (h == INVALID_HANDLE_VALUE) {
        DWORD error = GetLastError();
        return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
    }
    return Tree_DeleteOpen(h, deadline);
}
