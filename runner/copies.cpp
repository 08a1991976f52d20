// copies.cpp: files the payload stores once. A copy is created empty in
// archive order, where its entry comes, by the same rules as any file; its
// bytes are filled in from the earlier file it names once every file of the
// payload is written and closed, so that the decoding loop never waits on a
// file it has not finished. Both are opened below the private folder without
// following a link, and the copy becomes a file of its own, never a link
// that the command could tell apart from a file.
#include "runner.h"

enum {
    kCopyChunk = 1 << 16,
    kCopyMaxBytes = 256u << 20,  // as much as the order rules' memory may hold
};

// One copy to fill: this header, then the copy's path and the target's, below the private folder.
struct CopyRecord {
    FILETIME time;
    uint32_t copyUnits, targetUnits;
};

// The copies to fill, one record after the other, and the room to fill them.
struct Copies {
    uint8_t *records;
    uint32_t used, room;
    WCHAR copyPath[kPathChars], targetPath[kPathChars];
    uint8_t chunk[kCopyChunk];
};
static Copies g_copies;

static uint32_t RecordBytes(uint32_t copyUnits, uint32_t targetUnits)
{
    return ((uint32_t)sizeof(CopyRecord) + 2 * (copyUnits + targetUnits) + 3) & ~3u;
}

static bool Reserve(Copies *c, uint32_t bytes)
{
    if (c->room - c->used >= bytes)
        return true;
    uint32_t room = c->room == 0 ? (1u << 16) : c->room;
    while (room - c->used < bytes && room < kCopyMaxBytes)
        room *= 2;
    if (room - c->used < bytes)
        return false;
    uint8_t *records = (uint8_t *)VirtualAlloc(0, room, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE);
    if (records == 0)
        return false;
    for (uint32_t i = 0; i < c->used; i++)
        records[i] = c->records[i];
    if (c->records != 0)
        VirtualFree(c->records, 0, MEM_RELEASE);
    c->records = records, c->room = room;
    return true;
}

bool Copies_Remember(RunnerState *rs, const WCHAR *copy, const char *target, FILETIME time)
{
    Copies *c = InRegister(&g_copies);
    // The target passed the path rules, so it is UTF-8 and fits a path.
    int units = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, target, -1, c->targetPath, kPathChars);
    uint32_t copyUnits = Text_Length(copy);
    if (units <= 1 || !Reserve(c, RecordBytes(copyUnits, (uint32_t)units - 1)))
        return Fail_Show(rs, "Not enough memory to expand the package.", 0, ERROR_NOT_ENOUGH_MEMORY), false;
    CopyRecord *r = (CopyRecord *)(c->records + c->used);
    r->time = time;
    r->copyUnits = copyUnits;
    r->targetUnits = (uint32_t)units - 1;
    WCHAR *text = (WCHAR *)(r + 1);
    for (uint32_t i = 0; i < copyUnits; i++)
        text[i] = copy[i];
    for (uint32_t i = 0; i < r->targetUnits; i++)
        text[copyUnits + i] = c->targetPath[i] == L'/' ? L'\\' : c->targetPath[i];
    c->used += RecordBytes(copyUnits, r->targetUnits);
    return true;
}

// root's rootUnits units, then units of text: a whole path into out.
static void Below(WCHAR *out, const WCHAR *root, uint32_t rootUnits, const WCHAR *text, uint32_t units)
{
    for (uint32_t i = 0; i < rootUnits; i++)
        out[i] = root[i];
    for (uint32_t i = 0; i < units; i++)
        out[rootUnits + i] = text[i];
    out[rootUnits + units] = 0;
}

// A regular file of this payload's, never a folder or a link of any kind.
static bool PlainFile(HANDLE h)
{
    BY_HANDLE_FILE_INFORMATION info;
    return GetFileInformationByHandle(h, &info) &&
           (info.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) == 0 && info.nNumberOfLinks == 1;
}

static bool Fill(RunnerState *rs, Copies *c, const CopyRecord *r)
{
    HANDLE from = CreateFileW(c->targetPath, GENERIC_READ, FILE_SHARE_READ, 0, OPEN_EXISTING,
                              FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_SEQUENTIAL_SCAN, 0);
    if (from == INVALID_HANDLE_VALUE || !PlainFile(from)) {
        DWORD error = from == INVALID_HANDLE_VALUE ? GetLastError() : ERROR_INVALID_FUNCTION;
        if (from != INVALID_HANDLE_VALUE)
            CloseHandle(from);
        return Fail_Show(rs, "Cannot read the file", c->targetPath, error), false;
    }
    HANDLE to = CreateFileW(c->copyPath, GENERIC_WRITE, 0, 0, OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, 0);
    bool ok = to != INVALID_HANDLE_VALUE && PlainFile(to);
    if (!ok)
        Fail_Show(rs, "Cannot write the file", c->copyPath, to == INVALID_HANDLE_VALUE ? GetLastError() : ERROR_INVALID_FUNCTION);
    for (DWORD got = 1; ok && got != 0;) {
        DWORD wrote;
        if (!ReadFile(from, c->chunk, kCopyChunk, &got, 0))
            ok = false, Fail_Show(rs, "Cannot read the file", c->targetPath, GetLastError());
        else if (got != 0 && (!WriteFile(to, c->chunk, got, &wrote, 0) || wrote != got))
            ok = false, Fail_Show(rs, "Cannot write the file", c->copyPath, GetLastError() ? GetLastError() : ERROR_DISK_FULL);
        Pump_Messages();
    }
    // The copy's own time, which writing it has just changed.
    if (ok && !SetFileTime(to, 0, 0, &r->time))
        ok = false, Fail_Show(rs, "Cannot set the time of the file", c->copyPath, GetLastError());
    if (to != INVALID_HANDLE_VALUE && !CloseHandle(to) && ok)
        ok = false, Fail_Show(rs, "Cannot write the file", c->copyPath, GetLastError());
    CloseHandle(from);
    return ok;
}

bool Copies_Finish(RunnerState *rs, const WCHAR *root, uint32_t rootUnits, bool ok)
{
    Copies *c = InRegister(&g_copies);
    for (uint32_t at = 0; ok && at < c->used;) {
        const CopyRecord *r = (const CopyRecord *)(c->records + at);
        const WCHAR *text = (const WCHAR *)(r + 1);
        Below(c->copyPath, root, rootUnits, text, r->copyUnits);
        Below(c->targetPath, root, rootUnits, text + r->copyUnits, r->targetUnits);
        ok = Fill(rs, c, r);
        at += RecordBytes(r->copyUnits, r->targetUnits);
    }
    if (c->records != 0)
        VirtualFree(c->records, 0, MEM_RELEASE);
    c->records = 0, c->used = c->room = 0;
    return ok;
}
