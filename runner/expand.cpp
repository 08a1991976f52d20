// expand.cpp: the payload entry, mapped and decoded block by block, its tar
// stream written into the private folder: folders, UTF-16 names, paths past
// 260 characters, each file's time. Every check of the stream is verified.
#include "runner.h"
#include "../decoder/tar.h"
#include "../decoder/xz.h"
#include "../res/selfextr.h"
#include "../src/progress/progress.h"

using namespace selfextr;

enum { kOutBytes = 1 << 18 };

static XzDecoder g_xz;
static TarReader g_tar;
static uint8_t g_out[kOutBytes];
static WCHAR g_path[kPathChars];
static uint32_t g_rootLength;  // "\\?\" and the private folder, with the backslash after it

struct Mapping {
    HANDLE file, map;
    const uint8_t *view;
    uint64_t size;
};

static bool Damaged(RunnerState *rs, const char *why)
{
    WCHAR reason[160];
    MultiByteToWideChar(CP_ACP, 0, why, -1, reason, 160);
    WCHAR what[400] = L"The package is damaged and cannot be installed. Please download it again.\n\n(";
    Text_Append(what, 400, reason);
    Text_Append(what, 400, L")");
    Fail_Show(rs, what, 0, 0);
    return false;
}

static bool MapPayload(RunnerState *rs, Mapping *m)
{
    g_path[0] = 0;
    Text_Append(g_path, kPathChars, rs->workFolder);
    Text_Append(g_path, kPathChars, L"\\");
    Text_Append(g_path, kPathChars, rs->payloadName);
    m->file = CreateFileW(g_path, GENERIC_READ, FILE_SHARE_READ, 0, OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, 0);
    LARGE_INTEGER size;
    if (m->file == INVALID_HANDLE_VALUE || !GetFileSizeEx(m->file, &size))
        return Fail_Show(rs, L"Cannot read the package's payload:", g_path, GetLastError()), false;
    m->size = (uint64_t)size.QuadPart;
    if (m->size == 0)
        return Damaged(rs, "the payload is empty");
    m->map = CreateFileMappingW(m->file, 0, PAGE_READONLY, 0, 0, 0);
    m->view = m->map != 0 ? (const uint8_t *)MapViewOfFile(m->map, FILE_MAP_READ, 0, 0, 0) : 0;
    if (m->view == 0)
        return Fail_Show(rs, L"Cannot read the package's payload:", g_path, GetLastError()), false;
    return true;
}

// The private folder and the entry's UTF-8 path, '/' turned into '\'.
static bool EntryPath(RunnerState *rs, const TarEntry &entry)
{
    g_path[g_rootLength] = 0;
    int n = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, entry.path, (int)entry.pathBytes, g_path + g_rootLength,
                                (int)(kPathChars - g_rootLength - 1));
    if (n <= 0)
        return Damaged(rs, "a path in the archive is too long or not UTF-8");
    for (int i = 0; i < n; i++)
        if (g_path[g_rootLength + i] == L'/')
            g_path[g_rootLength + i] = L'\\';
    g_path[g_rootLength + n] = 0;
    return true;
}

static void Meter(RunnerState *rs, uint64_t done, uint64_t total)
{
    // Redrawn when the percentage changes: at most 101 times, whatever the payload's size.
    uint32_t percent = total == 0 ? 100 : (uint32_t)(done / (total / 100 + 1));
    if (percent > 100)
        percent = 100;
    if (percent != rs->percent) {
        rs->percent = percent;
        Progress_DrawMeter(rs->progress, percent);
    }
    Pump_Messages();
}

static bool Expand(RunnerState *rs, const Mapping &m, uint8_t *dict)
{
    HANDLE file = INVALID_HANDLE_VALUE;
    FILETIME time = {0, 0};
    uint64_t done = 0;
    XzResult r = Xz_Open(&g_xz, m.view, (size_t)m.size, dict, g_xz.info.dictionaryNeeded);
    Tar_Init(&g_tar);
    bool ok = r == XZ_MORE;
    while (ok && r == XZ_MORE) {
        size_t got = 0;
        r = Xz_Decode(&g_xz, g_out, kOutBytes, &got);
        if (r != XZ_MORE && r != XZ_DONE)
            break;
        for (size_t at = 0; ok && at < got;) {
            size_t used, dataBytes;
            const uint8_t *data;
            TarStatus t = Tar_Feed(&g_tar, g_out + at, got - at, &used, &data, &dataBytes);
            at += used;
            if (t == TAR_ERROR) {
                ok = Damaged(rs, g_tar.error);
            } else if (t == TAR_ENTRY) {
                ok = EntryPath(rs, g_tar.entry);
                if (ok && g_tar.entry.folder && !CreateDirectoryW(g_path, 0))
                    ok = false, Fail_Show(rs, L"Cannot create the folder", g_path, GetLastError());
                if (ok && !g_tar.entry.folder) {
                    // A fresh file: never one that is there already, nor through a link.
                    file = CreateFileW(g_path, GENERIC_WRITE, 0, 0, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, 0);
                    if (file == INVALID_HANDLE_VALUE)
                        ok = false, Fail_Show(rs, L"Cannot create the file", g_path, GetLastError());
                    // Seconds since 1970 to 100 ns since 1601.
                    uint64_t ft = ((uint64_t)g_tar.entry.mtime + 11644473600ull) * 10000000ull;
                    time.dwLowDateTime = (DWORD)ft;
                    time.dwHighDateTime = (DWORD)(ft >> 32);
                }
            } else if (t == TAR_DATA) {
                DWORD wrote;
                if (!WriteFile(file, data, (DWORD)dataBytes, &wrote, 0) || wrote != dataBytes)
                    ok = false, Fail_Show(rs, L"Cannot write the file", g_path, GetLastError() ? GetLastError() : ERROR_DISK_FULL);
            } else if (t == TAR_FILE_END) {
                SetFileTime(file, 0, 0, &time);
                if (!CloseHandle(file))
                    ok = false, Fail_Show(rs, L"Cannot write the file", g_path, GetLastError());
                file = INVALID_HANDLE_VALUE;
            }
        }
        done += got;
        Meter(rs, done, g_xz.info.unpackedSize);
    }
    if (file != INVALID_HANDLE_VALUE)
        CloseHandle(file);
    if (!ok)
        return false;
    if (r != XZ_DONE)
        return Damaged(rs, Xz_ResultText(r));
    // A zero-byte file last in the archive still owes its end.
    size_t used, dataBytes;
    const uint8_t *data;
    Tar_Feed(&g_tar, 0, 0, &used, &data, &dataBytes);
    if (!Tar_Ended(&g_tar))
        return Damaged(rs, "the archive is cut short");
    return true;
}

bool Expand_Payload(RunnerState *rs)
{
    Mapping m = {INVALID_HANDLE_VALUE, 0, 0, 0};
    bool ok = MapPayload(rs, &m);
    // The whole structure (headers, index, footer) is checked before any file is written.
    XzResult r = ok ? Xz_Scan(m.view, (size_t)m.size, &g_xz.info, 0, 0) : XZ_DONE;
    if (ok && r != XZ_DONE)
        ok = Damaged(rs, Xz_ResultText(r));
    uint8_t *dict = 0;
    if (ok) {
        dict = (uint8_t *)VirtualAlloc(0, g_xz.info.dictionaryNeeded, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE);
        if (dict == 0)
            ok = false, Fail_Show(rs, L"Not enough memory to expand the package.", 0, GetLastError());
    }
    if (ok) {
        g_path[0] = 0;
        Text_Append(g_path, kPathChars, L"\\\\?\\");
        Text_Append(g_path, kPathChars, rs->privateFolder);
        Text_Append(g_path, kPathChars, L"\\");
        g_rootLength = Text_Length(g_path);
        rs->percent = ~0u;
        rs->progress = Progress_Open(rs->module, rs->caption);
        Meter(rs, 0, 1);
        ok = Expand(rs, m, dict);
        if (rs->progress != 0)
            DestroyWindow(rs->progress);
        rs->progress = 0;
    }
    if (dict != 0)
        VirtualFree(dict, 0, MEM_RELEASE);
    if (m.view != 0)
        UnmapViewOfFile(m.view);
    if (m.map != 0)
        CloseHandle(m.map);
    if (m.file != INVALID_HANDLE_VALUE)
        CloseHandle(m.file);
    return ok;
}
