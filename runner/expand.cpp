// expand.cpp: the payload, read in the stub's mapped image and decoded block
// by block, its tar stream written into the private folder: folders, UTF-16
// names, paths past 260 characters, each file's time. Every check of the
// stream is verified, every path meets the rule of decoder/paths.h, and the
// order rules are kept in a memory of what came before, the one the tool keeps.
#include "runner.h"
#include "../decoder/paths.h"
#include "../decoder/tar.h"
#include "../decoder/xz.h"
#include "../res/selfextr.h"
#include "progress/progress.h"

using namespace selfextr;

enum { kOutBytes = 1 << 18 };
// Several blocks on several cores: worker k decodes blocks k, k + W, k + 2W...
// each whole into its own buffer; the main thread takes them in order and writes.
static const uint32_t kMaxWorkers = 4;
static const uint64_t kMaxParallelBlock = 64u << 20;  // larger blocks are decoded on one thread

// The payload's bytes within the stub's image, which Prepare_ReadPackage
// mapped and Prepare_Release unmaps: nothing here to close.
struct Mapping {
    const uint8_t *view;
    uint64_t size;
};

// What the archive's bytes become: folders and files in the private folder.
struct TreeWriter {
    HANDLE file;
    FILETIME time;
    uint64_t done;
};

struct Expansion;
struct Worker {
    Expansion *ex;
    HANDLE thread, filled, consumed;  // filled: out holds a block; consumed: out may be filled again
    uint8_t *dict, *out;
    uint32_t index;
    size_t got;
    XzResult result;
    XzBlockDecoder decoder;
};

// One expansion's state, passed along from Expand_Payload; static, for its
// buffers are far too large for the stack.
struct Expansion {
    RunnerState *rs;
    XzStreamInfo xz;                // the stream as Xz_Scan found it: blocks, sizes, dictionary, check
    XzBlockInfo *blocks;            // every block's place
    Mapping map;
    TarReader tar;
    PathMemory seen;                // every entry so far, for the order rules
    uint32_t rootLength;            // "\\?\" and the private folder, with the backslash after it
    WCHAR path[kPathChars];         // the entry being written, below the root
    uint8_t out[kOutBytes];
    char text[1024];                // a refusal in the tool's words, UTF-8
    WCHAR reason[1024];
    // An earlier entry's path as the file system spells it: this entry's folder, that entry's last name.
    char other[kTarOtherBytes];
    Worker workers[kMaxWorkers];
    uint32_t workerCount;
    volatile LONG stop;
};
static Expansion g_expansion;

// why is UTF-8: the decoder's reasons, or a path refused in the tool's words.
static bool Damaged(Expansion *ex, const char *why)
{
    RunnerState *rs = ex->rs;
    static WCHAR what[1200];
    if (MultiByteToWideChar(CP_UTF8, 0, why, -1, ex->reason, 1024) == 0)
        ex->reason[0] = 0;
    what[0] = 0;
    Text_Append(what, 1200, L"The package is damaged and cannot be installed. Please download it again.\n\n(");
    Text_Append(what, 1200, ex->reason);
    Text_Append(what, 1200, L")");
    Fail_Show(rs, what, 0, 0);
    return false;
}

static bool PathRefused(Expansion *ex, const TarEntry &entry, const PathProblem &p, const char *other, uint32_t otherBytes)
{
    Path_Message(entry.path, entry.pathBytes, p, other, otherBytes, ex->text, sizeof ex->text);
    return Damaged(ex, ex->text);
}

static void *Allocate(void *, uint32_t bytes) { return VirtualAlloc(0, bytes, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE); }

static void Release(void *, void *block) { VirtualFree(block, 0, MEM_RELEASE); }

// The order rules, before the entry is made: the same memory and words as the tool's.
static bool InOrder(Expansion *ex, const TarEntry &entry)
{
    uint32_t otherBytes = 0;
    uint64_t size;
    PathProblem p = Tar_Remember(&ex->seen, entry, ex->other, sizeof ex->other, &otherBytes, &size);
    if (p.why == kPathNoMemory)
        return Fail_Show(ex->rs, L"Not enough memory to expand the package.", 0, GetLastError()), false;
    return p.why == 0 || PathRefused(ex, entry, p, ex->other, otherBytes);
}

// The stub's RCDATA RUNNER_PAYLOAD_ID, found in the image that the settings
// were read from: the stub never writes it, so no file of the payload is
// opened by name or left in TEMP. Every offset and size is checked against
// the mapped view by PeRes_Find.
static bool MapPayload(Expansion *ex, Mapping *m)
{
    PeBytes payload;
    PeStatus status = PeRes_Find(&ex->rs->stubImage, RUNNER_PAYLOAD_TYPE, RUNNER_PAYLOAD_ID, kPeLangEnUs, &payload);
    if (status == PE_MISSING)
        return Damaged(ex, "the package holds no payload");
    if (status != PE_FOUND)
        return Damaged(ex, "the package's resource directory is damaged");
    if (payload.size == 0)
        return Damaged(ex, "the payload is empty");
    m->view = payload.data;
    m->size = payload.size;
    return true;
}

// The private folder and the entry's UTF-8 path, '/' turned into '\'.
static bool EntryPath(Expansion *ex, const TarEntry &entry)
{
    ex->path[ex->rootLength] = 0;
    int n = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, entry.path, (int)entry.pathBytes, ex->path + ex->rootLength,
                                (int)(kPathChars - ex->rootLength - 1));
    if (n <= 0)
        return Damaged(ex, "a path in the archive is too long or not UTF-8");
    for (int i = 0; i < n; i++)
        if (ex->path[ex->rootLength + i] == L'/')
            ex->path[ex->rootLength + i] = L'\\';
    ex->path[ex->rootLength + n] = 0;
    return true;
}

static void Meter(Expansion *ex, uint64_t done, uint64_t total)
{
    RunnerState *rs = ex->rs;
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

static bool Write(Expansion *ex, TreeWriter *w, const uint8_t *bytes, size_t got)
{
    RunnerState *rs = ex->rs;
    bool ok = true;
    HANDLE &file = w->file;
    FILETIME &time = w->time;
    for (size_t at = 0; ok && at < got;) {
        size_t used, dataBytes;
        const uint8_t *data;
        TarStatus t = Tar_Feed(&ex->tar, bytes + at, got - at, &used, &data, &dataBytes);
        at += used;
        if (t == TAR_ERROR) {
            ok = ex->tar.pathProblem.why != 0 ? PathRefused(ex, ex->tar.entry, ex->tar.pathProblem, 0, 0) : Damaged(ex, ex->tar.error);
        } else if (t == TAR_ENTRY) {
            ok = InOrder(ex, ex->tar.entry) && EntryPath(ex, ex->tar.entry);
            if (ok && ex->tar.entry.folder && !CreateDirectoryW(ex->path, 0))
                ok = false, Fail_Show(rs, L"Cannot create the folder", ex->path, GetLastError());
            if (ok && !ex->tar.entry.folder) {
                // A fresh file: never one that is there already, nor through a link.
                file = CreateFileW(ex->path, GENERIC_WRITE, 0, 0, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, 0);
                if (file == INVALID_HANDLE_VALUE)
                    ok = false, Fail_Show(rs, L"Cannot create the file", ex->path, GetLastError());
                // Seconds since 1970 to 100 ns since 1601; the tar reader let through
                // only times that neither wrap nor give 0, which would leave the time as it is.
                uint64_t ft = ((uint64_t)ex->tar.entry.mtime + 11644473600ull) * 10000000ull;
                time.dwLowDateTime = (DWORD)ft;
                time.dwHighDateTime = (DWORD)(ft >> 32);
                // A copy is made here, empty; its bytes come at the end (copies.cpp).
                if (ok && ex->tar.entry.target != 0)
                    ok = Copies_Remember(rs, ex->path + ex->rootLength, ex->other, time);
            }
        } else if (t == TAR_DATA) {
            DWORD wrote;
            if (!WriteFile(file, data, (DWORD)dataBytes, &wrote, 0) || wrote != dataBytes)
                ok = false, Fail_Show(rs, L"Cannot write the file", ex->path, GetLastError() ? GetLastError() : ERROR_DISK_FULL);
        } else if (t == TAR_FILE_END) {
            // The file's time is part of what the payload promises: a failure is one.
            if (!SetFileTime(file, 0, 0, &time))
                ok = false, Fail_Show(rs, L"Cannot set the time of the file", ex->path, GetLastError());
            if (!CloseHandle(file) && ok)
                ok = false, Fail_Show(rs, L"Cannot write the file", ex->path, GetLastError());
            file = INVALID_HANDLE_VALUE;
        }
    }
    w->done += got;
    Meter(ex, w->done, ex->xz.unpackedSize);
    return ok;
}

// The end of the stream: the archive must have ended exactly there.
static bool Finish(Expansion *ex, TreeWriter *w, bool ok, XzResult r)
{
    if (w->file != INVALID_HANDLE_VALUE)
        CloseHandle(w->file);
    if (!ok)
        return false;
    if (r != XZ_DONE)
        return Damaged(ex, Xz_ResultText(r));
    // A zero-byte file last in the archive still owes its end.
    size_t used, dataBytes;
    const uint8_t *data;
    Tar_Feed(&ex->tar, 0, 0, &used, &data, &dataBytes);
    if (!Tar_Ended(&ex->tar))
        return Damaged(ex, "the archive is cut short");
    return true;
}

// One block after the other on this thread, through the dictionary.
static bool ExpandSerial(Expansion *ex, const Mapping &m, const XzBlockInfo *blocks, uint8_t *dict)
{
    static XzBlockDecoder decoder;
    TreeWriter w = {INVALID_HANDLE_VALUE, {0, 0}, 0};
    XzResult r = XZ_DONE;
    bool ok = true;
    for (uint32_t b = 0; ok && r == XZ_DONE && b < ex->xz.blocks; b++) {
        r = XzBlock_Open(&decoder, m.view, (size_t)m.size, blocks[b], ex->xz.check, dict, ex->xz.dictionaryNeeded);
        while (ok && r == XZ_MORE) {
            size_t got = 0;
            r = XzBlock_Decode(&decoder, ex->out, kOutBytes, &got);
            if (r == XZ_MORE || r == XZ_DONE)
                ok = Write(ex, &w, ex->out, got);
        }
    }
    return Finish(ex, &w, ok, r);
}

static DWORD WINAPI DecodeBlocks(LPVOID parameter)
{
    Worker *w = (Worker *)parameter;
    Expansion *ex = w->ex;
    for (uint32_t b = w->index; b < ex->xz.blocks; b += ex->workerCount) {
        WaitForSingleObject(w->consumed, INFINITE);
        if (ex->stop)
            break;
        const XzBlockInfo &block = ex->blocks[b];
        // One byte of room more than the block holds: a block that gives more is damaged.
        const size_t room = (size_t)block.unpackedSize + 1;
        size_t got = 0;
        XzResult r = XzBlock_Open(&w->decoder, ex->map.view, (size_t)ex->map.size, block, ex->xz.check, w->dict,
                                  ex->xz.dictionaryNeeded);
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

static bool ExpandParallel(Expansion *ex)
{
    RunnerState *rs = ex->rs;
    TreeWriter tw = {INVALID_HANDLE_VALUE, {0, 0}, 0};
    bool ok = true;
    XzResult r = XZ_DONE;
    uint32_t started = 0;
    ex->stop = 0;
    for (uint32_t k = 0; k < ex->workerCount; k++) {
        Worker *w = &ex->workers[k];
        w->ex = ex;
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
    for (uint32_t b = 0; ok && b < ex->xz.blocks; b++) {
        Worker *w = &ex->workers[b % ex->workerCount];
        // The window messages keep flowing while the block is decoded.
        while (MsgWaitForMultipleObjects(1, &w->filled, FALSE, INFINITE, QS_ALLINPUT) == WAIT_OBJECT_0 + 1)
            Pump_Messages();
        if (w->result != XZ_DONE) {
            r = w->result;
            break;
        }
        for (size_t at = 0; ok && at < w->got; at += kOutBytes)
            ok = Write(ex, &tw, w->out + at, w->got - at < (size_t)kOutBytes ? w->got - at : (size_t)kOutBytes);
        SetEvent(w->consumed);
    }
    ex->stop = 1;
    for (uint32_t k = 0; k < started; k++) {
        SetEvent(ex->workers[k].consumed);
        WaitForSingleObject(ex->workers[k].thread, INFINITE);
        CloseHandle(ex->workers[k].thread);
    }
    for (uint32_t k = 0; k < ex->workerCount; k++) {
        if (ex->workers[k].filled)
            CloseHandle(ex->workers[k].filled);
        if (ex->workers[k].consumed)
            CloseHandle(ex->workers[k].consumed);
    }
    return Finish(ex, &tw, ok, r);
}

// Every block's place, from the index (checked by Xz_Scan already).
static bool ListBlocks(Expansion *ex, const Mapping &m)
{
    XzStreamInfo info;
    ex->blocks = (XzBlockInfo *)VirtualAlloc(0, ex->xz.blocks * sizeof(XzBlockInfo), MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE);
    return ex->blocks != 0 && Xz_Scan(m.view, (size_t)m.size, &info, ex->blocks, ex->xz.blocks) == XZ_DONE;
}

// Buffers for the workers, when the payload has several blocks, this machine
// several cores and every block is small enough; false: decode on one thread.
static bool PrepareWorkers(Expansion *ex, const Mapping &m)
{
    SYSTEM_INFO si;
    GetSystemInfo(&si);
    uint32_t n = si.dwNumberOfProcessors < kMaxWorkers ? si.dwNumberOfProcessors : kMaxWorkers;
    if (ex->xz.blocks < 2 || n < 2)
        return false;
    ex->workerCount = ex->xz.blocks < n ? ex->xz.blocks : n;
    uint64_t largest = 0;
    for (uint32_t b = 0; b < ex->xz.blocks; b++)
        largest = ex->blocks[b].unpackedSize > largest ? ex->blocks[b].unpackedSize : largest;
    if (largest > kMaxParallelBlock)
        return false;
    for (uint32_t k = 0; k < ex->workerCount; k++) {
        Worker *w = &ex->workers[k];
        w->dict = (uint8_t *)VirtualAlloc(0, ex->xz.dictionaryNeeded, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE);
        w->out = (uint8_t *)VirtualAlloc(0, (size_t)largest + 1, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE);
        if (w->dict == 0 || w->out == 0)
            return false;
    }
    ex->map = m;
    return true;
}

static void ReleaseWorkers(Expansion *ex)
{
    for (uint32_t k = 0; k < kMaxWorkers; k++) {
        if (ex->workers[k].dict)
            VirtualFree(ex->workers[k].dict, 0, MEM_RELEASE);
        if (ex->workers[k].out)
            VirtualFree(ex->workers[k].out, 0, MEM_RELEASE);
        ex->workers[k].dict = ex->workers[k].out = 0;
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
static bool EnoughSpace(Expansion *ex, uint64_t needed)
{
    RunnerState *rs = ex->rs;
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
    Expansion *ex = &g_expansion;
    ex->rs = rs;
    Mapping m = {0, 0};
    bool ok = MapPayload(ex, &m);
    // The whole structure (headers, index, footer) is checked before any file is written.
    XzResult r = ok ? Xz_Scan(m.view, (size_t)m.size, &ex->xz, 0, 0) : XZ_DONE;
    if (ok && r != XZ_DONE)
        ok = Damaged(ex, Xz_ResultText(r));
    // No block, or blocks of nothing: damaged, before any buffer of that size is asked for.
    const char *why = ok ? Tar_SizeProblem(ex->xz.unpackedSize) : 0;
    if (why != 0)
        ok = Damaged(ex, why);
    if (ok)
        ok = EnoughSpace(ex, ex->xz.unpackedSize);
    uint8_t *dict = 0;
    if (ok && !ListBlocks(ex, m))
        ok = false, Fail_Show(rs, L"Not enough memory to expand the package.", 0, GetLastError());
    const bool parallel = ok && PrepareWorkers(ex, m);
    if (ok && !parallel) {
        ReleaseWorkers(ex);
        dict = (uint8_t *)VirtualAlloc(0, ex->xz.dictionaryNeeded, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE);
        if (dict == 0)
            ok = false, Fail_Show(rs, L"Not enough memory to expand the package.", 0, GetLastError());
    }
    if (ok) {
        Path_Long(ex->path, kPathChars, rs->privateFolder);
        Text_Append(ex->path, kPathChars, L"\\");
        ex->rootLength = Text_Length(ex->path);
        rs->percent = ~0u;
        // The stub's window takes an ANSI title; the runner's caption is read as UTF-16.
        rs->progress = Progress_Open(rs->module, "");
        if (rs->progress != 0)
            SetWindowTextW(rs->progress, rs->caption);
        Meter(ex, 0, 1);
        Tar_Init(&ex->tar);
        PathMemory_Init(&ex->seen, Allocate, Release, 0);
        ok = parallel ? ExpandParallel(ex) : ExpandSerial(ex, m, ex->blocks, dict);
        ok = Copies_Finish(rs, ex->path, ex->rootLength, ok);
        PathMemory_Free(&ex->seen);
        if (rs->progress != 0)
            DestroyWindow(rs->progress);
        rs->progress = 0;
    }
    ReleaseWorkers(ex);
    if (ex->blocks != 0)
        VirtualFree(ex->blocks, 0, MEM_RELEASE);
    if (dict != 0)
        VirtualFree(dict, 0, MEM_RELEASE);
    return ok;
}
