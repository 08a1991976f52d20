// expand.cpp: the payload entry, mapped and decoded block by block, its tar
// stream written into the private folder: folders, UTF-16 names, paths past
// 260 characters, each file's time. Every check of the stream is verified,
// every path meets the rule of decoder/paths.h, and the order rules are
// learnt from the private folder itself, which holds only what came before.
#include "runner.h"
#include "../decoder/paths.h"
#include "../decoder/tar.h"
#include "../decoder/xz.h"
#include "../res/selfextr.h"
#include "../stub/progress/progress.h"

using namespace selfextr;

enum { kOutBytes = 1 << 18 };

// The stream as Xz_Scan found it: its blocks, sizes, dictionary and check.
static struct {
    XzStreamInfo info;
} g_xz;
static TarReader g_tar;
static uint8_t g_out[kOutBytes];
static WCHAR g_path[kPathChars];
static uint32_t g_rootLength;  // "\\?\" and the private folder, with the backslash after it
static char g_text[1024];      // a refusal in the tool's words, UTF-8
static WCHAR g_reason[1024];
// An earlier entry's path as the file system spells it: this entry's folder, that entry's last name.
static char g_other[kTarMaxPathBytes + 1024];

struct Mapping {
    HANDLE file, map;
    const uint8_t *view;
    uint64_t size;
};

// why is UTF-8: the decoder's reasons, or a path refused in the tool's words.
static bool Damaged(RunnerState *rs, const char *why)
{
    static WCHAR what[1200];
    if (MultiByteToWideChar(CP_UTF8, 0, why, -1, g_reason, 1024) == 0)
        g_reason[0] = 0;
    what[0] = 0;
    Text_Append(what, 1200, L"The package is damaged and cannot be installed. Please download it again.\n\n(");
    Text_Append(what, 1200, g_reason);
    Text_Append(what, 1200, L")");
    Fail_Show(rs, what, 0, 0);
    return false;
}

static bool PathRefused(RunnerState *rs, const TarEntry &entry, const PathProblem &p, const char *other, uint32_t otherBytes)
{
    Path_Message(entry.path, entry.pathBytes, p, other, otherBytes, g_text, sizeof g_text);
    return Damaged(rs, g_text);
}

// A folder or file could not be made: when the payload is at fault (its name
// is there already, or its folder is not), the tool's refusal; else the system's reason.
static bool CreateFailed(RunnerState *rs, const TarEntry &entry, const WCHAR *what, DWORD error)
{
    const uint32_t last = Path_LastName(entry.path, entry.pathBytes);
    WIN32_FIND_DATAW found;
    HANDLE h = FindFirstFileW(g_path, &found);
    if (h != INVALID_HANDLE_VALUE) {
        FindClose(h);
        for (uint32_t i = 0; i < last; i++)
            g_other[i] = entry.path[i];
        int n = WideCharToMultiByte(CP_UTF8, 0, found.cFileName, -1, g_other + last, 1024, 0, 0);
        uint32_t otherBytes = n > 0 ? last + (uint32_t)n - 1 : last;
        bool same = otherBytes == entry.pathBytes;
        for (uint32_t i = last; same && i < otherBytes; i++)
            same = g_other[i] == entry.path[i];
        if (same)
            return PathRefused(rs, entry, PathProblem{kPathTwice, PATH_WHOLE, 0, 0}, 0, 0);
        return PathRefused(rs, entry, PathProblem{kPathCase, PATH_OTHER, 0, 0}, g_other, otherBytes);
    }
    if (last != 0) {
        // The folder's own path ends at the last backslash.
        uint32_t cut = Text_Length(g_path);
        while (cut > g_rootLength && g_path[cut] != L'\\')
            cut--;
        g_path[cut] = 0;
        DWORD attributes = GetFileAttributesW(g_path);
        g_path[cut] = L'\\';
        if (attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_DIRECTORY))
            return PathRefused(rs, entry,
                               PathProblem{attributes == INVALID_FILE_ATTRIBUTES ? kPathNoFolder : kPathFileAsFolder,
                                           PATH_FOLDER, 0, last - 1},
                               0, 0);
    }
    Fail_Show(rs, what, g_path, error);
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

// What the archive's bytes become: folders and files in the private folder.
struct TreeWriter {
    HANDLE file;
    FILETIME time;
    uint64_t done;
};

static bool Write(RunnerState *rs, TreeWriter *w, const uint8_t *bytes, size_t got)
{
    bool ok = true;
    HANDLE &file = w->file;
    FILETIME &time = w->time;
    for (size_t at = 0; ok && at < got;) {
        size_t used, dataBytes;
        const uint8_t *data;
        TarStatus t = Tar_Feed(&g_tar, bytes + at, got - at, &used, &data, &dataBytes);
        at += used;
        if (t == TAR_ERROR) {
            ok = g_tar.pathProblem.why != 0 ? PathRefused(rs, g_tar.entry, g_tar.pathProblem, 0, 0) : Damaged(rs, g_tar.error);
        } else if (t == TAR_ENTRY) {
            ok = EntryPath(rs, g_tar.entry);
            if (ok && g_tar.entry.folder && !CreateDirectoryW(g_path, 0))
                ok = CreateFailed(rs, g_tar.entry, L"Cannot create the folder", GetLastError());
            if (ok && !g_tar.entry.folder) {
                // A fresh file: never one that is there already, nor through a link.
                file = CreateFileW(g_path, GENERIC_WRITE, 0, 0, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, 0);
                if (file == INVALID_HANDLE_VALUE)
                    ok = CreateFailed(rs, g_tar.entry, L"Cannot create the file", GetLastError());
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
    w->done += got;
    Meter(rs, w->done, g_xz.info.unpackedSize);
    return ok;
}

// The end of the stream: the archive must have ended exactly there.
static bool Finish(RunnerState *rs, TreeWriter *w, bool ok, XzResult r)
{
    if (w->file != INVALID_HANDLE_VALUE)
        CloseHandle(w->file);
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

// One block after the other on this thread, through the dictionary.
static bool ExpandSerial(RunnerState *rs, const Mapping &m, const XzBlockInfo *blocks, uint8_t *dict)
{
    static XzBlockDecoder decoder;
    TreeWriter w = {INVALID_HANDLE_VALUE, {0, 0}, 0};
    XzResult r = XZ_DONE;
    bool ok = true;
    for (uint32_t b = 0; ok && r == XZ_DONE && b < g_xz.info.blocks; b++) {
        r = XzBlock_Open(&decoder, m.view, (size_t)m.size, blocks[b], g_xz.info.check, dict, g_xz.info.dictionaryNeeded);
        while (ok && r == XZ_MORE) {
            size_t got = 0;
            r = XzBlock_Decode(&decoder, g_out, kOutBytes, &got);
            if (r == XZ_MORE || r == XZ_DONE)
                ok = Write(rs, &w, g_out, got);
        }
    }
    return Finish(rs, &w, ok, r);
}

// Several blocks on several cores: worker k decodes blocks k, k + W, k + 2W...
// each whole into its own buffer; this thread takes them in order and writes.
static const uint32_t kMaxWorkers = 4;
static const uint64_t kMaxParallelBlock = 64u << 20;  // larger blocks are decoded on one thread

struct Worker {
    HANDLE thread, filled, consumed;  // filled: out holds a block; consumed: out may be filled again
    uint8_t *dict, *out;
    uint32_t index;
    size_t got;
    XzResult result;
    XzBlockDecoder decoder;
};
static Worker g_workers[kMaxWorkers];
static uint32_t g_workerCount;
static XzBlockInfo *g_blocks;
static Mapping g_map;
static volatile LONG g_stop;

static DWORD WINAPI DecodeBlocks(LPVOID parameter)
{
    Worker *w = (Worker *)parameter;
    for (uint32_t b = w->index; b < g_xz.info.blocks; b += g_workerCount) {
        WaitForSingleObject(w->consumed, INFINITE);
        if (g_stop)
            break;
        const XzBlockInfo &block = g_blocks[b];
        // One byte of room more than the block holds: a block that gives more is damaged.
        const size_t room = (size_t)block.unpackedSize + 1;
        size_t got = 0;
        XzResult r = XzBlock_Open(&w->decoder, g_map.view, (size_t)g_map.size, block, g_xz.info.check, w->dict,
                                  g_xz.info.dictionaryNeeded);
        while (r == XZ_MORE) {
            size_t n = 0;
            r = XzBlock_Decode(&w->decoder, w->out + got, room - got, &n);
            got += n;
            if (r == XZ_MORE && (n == 0 || got == room))
                r = XZ_ERR_DATA;
        }
        w->got = got;
        w->result = r;
        SetEvent(w->filled);
    }
    return 0;
}

static bool ExpandParallel(RunnerState *rs)
{
    TreeWriter tw = {INVALID_HANDLE_VALUE, {0, 0}, 0};
    bool ok = true;
    XzResult r = XZ_DONE;
    uint32_t started = 0;
    g_stop = 0;
    for (uint32_t k = 0; k < g_workerCount; k++) {
        Worker *w = &g_workers[k];
        w->index = k;
        w->filled = CreateEventW(0, FALSE, FALSE, 0);
        w->consumed = CreateEventW(0, FALSE, TRUE, 0);
        w->thread = w->filled && w->consumed ? CreateThread(0, 0, DecodeBlocks, w, 0, 0) : 0;
        if (w->thread == 0) {
            ok = false;
            Fail_Show(rs, L"Cannot start expanding the package.", 0, GetLastError());
            break;
        }
        started++;
    }
    for (uint32_t b = 0; ok && b < g_xz.info.blocks; b++) {
        Worker *w = &g_workers[b % g_workerCount];
        // The window messages keep flowing while the block is decoded.
        while (MsgWaitForMultipleObjects(1, &w->filled, FALSE, INFINITE, QS_ALLINPUT) == WAIT_OBJECT_0 + 1)
            Pump_Messages();
        if (w->result != XZ_DONE) {
            r = w->result;
            break;
        }
        for (size_t at = 0; ok && at < w->got; at += kOutBytes)
            ok = Write(rs, &tw, w->out + at, w->got - at < (size_t)kOutBytes ? w->got - at : (size_t)kOutBytes);
        SetEvent(w->consumed);
    }
    g_stop = 1;
    for (uint32_t k = 0; k < started; k++) {
        SetEvent(g_workers[k].consumed);
        WaitForSingleObject(g_workers[k].thread, INFINITE);
        CloseHandle(g_workers[k].thread);
    }
    for (uint32_t k = 0; k < g_workerCount; k++) {
        if (g_workers[k].filled)
            CloseHandle(g_workers[k].filled);
        if (g_workers[k].consumed)
            CloseHandle(g_workers[k].consumed);
    }
    return Finish(rs, &tw, ok, r);
}

// Every block's place, from the index (checked by Xz_Scan already).
static bool ListBlocks(const Mapping &m)
{
    XzStreamInfo info;
    g_blocks = (XzBlockInfo *)VirtualAlloc(0, g_xz.info.blocks * sizeof(XzBlockInfo), MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE);
    return g_blocks != 0 && Xz_Scan(m.view, (size_t)m.size, &info, g_blocks, g_xz.info.blocks) == XZ_DONE;
}

// Buffers for the workers, when the payload has several blocks, this machine
// several cores and every block is small enough; false: decode on one thread.
static bool PrepareWorkers(const Mapping &m)
{
    SYSTEM_INFO si;
    GetSystemInfo(&si);
    uint32_t n = si.dwNumberOfProcessors < kMaxWorkers ? si.dwNumberOfProcessors : kMaxWorkers;
    if (g_xz.info.blocks < 2 || n < 2)
        return false;
    g_workerCount = g_xz.info.blocks < n ? g_xz.info.blocks : n;
    uint64_t largest = 0;
    for (uint32_t b = 0; b < g_xz.info.blocks; b++)
        largest = g_blocks[b].unpackedSize > largest ? g_blocks[b].unpackedSize : largest;
    if (largest > kMaxParallelBlock)
        return false;
    for (uint32_t k = 0; k < g_workerCount; k++) {
        Worker *w = &g_workers[k];
        w->dict = (uint8_t *)VirtualAlloc(0, g_xz.info.dictionaryNeeded, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE);
        w->out = (uint8_t *)VirtualAlloc(0, (size_t)largest + 1, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE);
        if (w->dict == 0 || w->out == 0)
            return false;
    }
    g_map = m;
    return true;
}

static void ReleaseWorkers(void)
{
    for (uint32_t k = 0; k < kMaxWorkers; k++) {
        if (g_workers[k].dict)
            VirtualFree(g_workers[k].dict, 0, MEM_RELEASE);
        if (g_workers[k].out)
            VirtualFree(g_workers[k].out, 0, MEM_RELEASE);
        g_workers[k].dict = g_workers[k].out = 0;
    }
}

// n with a comma between thousands, as the tool writes sizes.
static void Thousands(WCHAR *out, uint64_t n)
{
    WCHAR digits[32];
    uint32_t count = 0;
    do
        digits[count++] = (WCHAR)(L'0' + n % 10), n /= 10;
    while (n != 0);
    uint32_t at = 0;
    while (count != 0) {
        out[at++] = digits[--count];
        if (count != 0 && count % 3 == 0)
            out[at++] = L',';
    }
    out[at] = 0;
}

// The archive's size, which its index states, against the space left where it
// goes: a payload that cannot fit is refused before its first byte is written.
static bool EnoughSpace(RunnerState *rs, uint64_t needed)
{
    ULARGE_INTEGER available;
    // When the system cannot tell, the writes say whether it fits.
    if (!GetDiskFreeSpaceExW(rs->privateFolder, &available, 0, 0) || available.QuadPart >= needed)
        return true;
    static WCHAR what[200];
    WCHAR number[40];
    what[0] = 0;
    Text_Append(what, 200, L"There is not enough free space to expand the package: it needs ");
    Thousands(number, needed);
    Text_Append(what, 200, number);
    Text_Append(what, 200, L" bytes, and ");
    Thousands(number, available.QuadPart);
    Text_Append(what, 200, number);
    Text_Append(what, 200, L" bytes are free in");
    Fail_Show(rs, what, rs->privateFolder, 0);
    return false;
}

bool Expand_Payload(RunnerState *rs)
{
    Mapping m = {INVALID_HANDLE_VALUE, 0, 0, 0};
    bool ok = MapPayload(rs, &m);
    // The whole structure (headers, index, footer) is checked before any file is written.
    XzResult r = ok ? Xz_Scan(m.view, (size_t)m.size, &g_xz.info, 0, 0) : XZ_DONE;
    if (ok && r != XZ_DONE)
        ok = Damaged(rs, Xz_ResultText(r));
    // No block, or blocks of nothing: damaged, before any buffer of that size is asked for.
    const char *why = ok ? Tar_SizeProblem(g_xz.info.unpackedSize) : 0;
    if (why != 0)
        ok = Damaged(rs, why);
    if (ok)
        ok = EnoughSpace(rs, g_xz.info.unpackedSize);
    uint8_t *dict = 0;
    if (ok && !ListBlocks(m))
        ok = false, Fail_Show(rs, L"Not enough memory to expand the package.", 0, GetLastError());
    const bool parallel = ok && PrepareWorkers(m);
    if (ok && !parallel) {
        ReleaseWorkers();
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
        // The stub's window takes an ANSI title; the runner's caption is read as UTF-16.
        rs->progress = Progress_Open(rs->module, "");
        if (rs->progress != 0)
            SetWindowTextW(rs->progress, rs->caption);
        Meter(rs, 0, 1);
        Tar_Init(&g_tar);
        ok = parallel ? ExpandParallel(rs) : ExpandSerial(rs, m, g_blocks, dict);
        if (rs->progress != 0)
            DestroyWindow(rs->progress);
        rs->progress = 0;
    }
    ReleaseWorkers();
    if (g_blocks != 0)
        VirtualFree(g_blocks, 0, MEM_RELEASE);
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
