// expand.cpp: the payload, read in the stub's mapped image and decoded block
// by block, its tar stream written into the private folder: folders, UTF-16
// names, paths past 260 characters, each file's time. Every check of the
// stream is verified, every path meets the rule of decoder/paths.h, and the
// order rules are kept in a memory of what came before, the one the tool
// keeps. Blocks decode on several cores, each straight into a buffer of its
// own; the main thread follows the decoding and makes every entry in archive
// order, and two writers write, stamp and close the files.
#include "runner.h"
#include "../decoder/paths.h"
#include "../decoder/tar.h"
#include "../decoder/xz.h"
#include "../res/selfextr.h"
#include "progress/progress.h"

using namespace selfextr;

// One step of decoding: how often a worker publishes how far it got.
enum { kOutBytes = 1 << 18 };
// The progress window shows once the expansion has taken this long: a
// payload expanded sooner shows none (the first window of a process is also
// what brings in the display's fonts, a cost before the command starts).
enum { kProgressAfterMs = 1000 };
// Blocks on several cores: worker k decodes blocks k, k + W, k + 2W... each
// straight into a buffer of its own (two per worker, used in turn), which is
// also the block's window. The main thread follows the decoding in block
// order: it parses what a worker has published, creates each file in archive
// order, and hands the writes, the times and the closes to the writers.
// Without workers the main thread decodes every block itself, into one buffer.
static const uint32_t kMaxWorkers = 4;
static const uint32_t kSlotsPerWorker = 2;
static const uint32_t kWriters = 2;
static const uint32_t kJobs = 512;              // per writer, a power of two
static const uint32_t kFilesInFlight = 16;      // created and not yet closed
// The largest block pack writes (kPayloadMaxBlockMiB): the runner only ever
// meets payloads that the pack which embedded it wrote, so a larger block is
// damage, refused before any buffer is asked for. Two of them fit the budget,
// so one worker always can.
static const uint64_t kMaxBlock = 64u << 20;
static const uint64_t kParallelBudget = 256u << 20;    // all block buffers together
// The most decoding threads ("0": none, the main thread decodes), for a
// machine whose cores are better left to something else, and for tests.
#define RUNNER_THREADS_VARIABLE L"SELFEXTR_RUNNER_THREADS"

// The payload's bytes within the stub's image, which Prepare_ReadPackage
// mapped and Prepare_Release unmaps: nothing here to close.
struct Mapping {
    const uint8_t *view;
    uint64_t size;
};

// A block's buffer. The worker that owns it resets it, then names the block
// (block); final only grows while it decodes, and result leaves XZ_MORE last.
struct Slot {
    uint8_t *buf;
    HANDLE free;            // auto-reset: every byte of the block it held was parsed and written
    HANDLE progress;        // auto-reset: the worker published more
    volatile LONG block;    // the block it holds; -1 before the first
    volatile LONG final;    // bytes of buf decoded and final
    volatile LONG result;   // XZ_MORE while decoding
    volatile LONG refs;     // the main thread's parsing, and each write from buf not yet done
};

// A file created by the main thread, then written, stamped and closed by one writer.
struct OutFile {
    HANDLE file;
    FILETIME time;
    volatile LONG busy;     // until its close is done
    WCHAR path[kPathChars]; // for a message
};

enum : uint32_t { kJobWrite, kJobClose, kJobQuit };
struct Job {
    uint32_t kind;
    OutFile *of;
    const uint8_t *data;
    DWORD bytes;
    Slot *slot;             // where data lies; 0 when written at once, on the main thread
};

struct Expansion;
struct Writer {
    Expansion *ex;
    HANDLE thread, wake;    // wake: auto-reset, a job was queued
    volatile LONG head, tail;
    Job jobs[kJobs];
};

struct Worker {
    Expansion *ex;
    HANDLE thread;
    uint32_t index;
    XzBlockDecoder decoder;
};

// One expansion's state, passed along from Expand_Payload; static, for its
// buffers are far too large for the stack. The small fields first, so that
// code reaches each with a one-byte offset; the buffers after them.
struct Expansion {
    RunnerState *rs;
    XzBlockInfo *blocks;            // every block's place
    uint32_t rootLength;            // "\\?\" and the private folder, with the backslash after it
    uint64_t done;                  // bytes of the archive parsed
    DWORD began;                    // when the first entry was due
    bool windowTried;               // the progress window opened, or its time came and went
    bool quiet;                     // decoding started early: a problem is left to be found again
    uint32_t workerCount;
    uint32_t started;               // decoding threads running
    size_t slotBytes;
    uint32_t writerCount;           // 0: every job is done at once on the main thread
    HANDLE writersMoved;            // auto-reset: a writer finished a job
    uint32_t fileCount;
    OutFile *current;              // the file being written; 0 between files
    volatile LONG stop;             // the main thread gave up: decode and write nothing more
    volatile LONG failed;           // a write, a time or a close failed: failWhat, failError, failPath
    const char *failWhat;
    DWORD failError;
    Mapping map;
    XzStreamInfo xz;                // the stream as Xz_Scan found it: blocks, sizes, dictionary, check
    PathMemory seen;                // every entry so far, for the order rules
    TarReader tar;
    Slot slots[kMaxWorkers * kSlotsPerWorker];
    Writer writers[kWriters];
    Worker workers[kMaxWorkers];
    OutFile files[kFilesInFlight];
    WCHAR path[kPathChars];         // the entry being written, below the root
    char text[1024];                // a refusal in the tool's words, UTF-8
    WCHAR reason[1024];
    // An earlier entry's path as the file system spells it: this entry's folder, that entry's last name.
    char other[kTarOtherBytes];
    WCHAR failPath[kPathChars];
};
static Expansion g_expansion;

// why is UTF-8: the decoder's reasons, or a path refused in the tool's words,
// shown in brackets below the message.
static bool Damaged(Expansion *ex, const char *why)
{
    if (ex->quiet)
        return false;
    ex->reason[0] = L'(';
    if (MultiByteToWideChar(CP_UTF8, 0, why, -1, ex->reason + 1, 1024 - 2) == 0)
        ex->reason[1] = 0;
    Text_AppendAscii(ex->reason, 1024, ")");
    Fail_Show(ex->rs, "The package is damaged and cannot be installed. Please download it again.", ex->reason, 0);
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
        return Fail_Show(ex->rs, "Not enough memory to expand the package.", 0, GetLastError()), false;
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
    // Redrawn when the percentage changes: at most 101 times, whatever the
    // payload's size. Both halved until done * 100 fits in 32 bits, so that
    // no 64-bit division (and none of libgcc's code for it) is needed.
    while (total >= (1u << 25))
        total >>= 1, done >>= 1;
    uint32_t percent = total == 0 ? 100 : (uint32_t)done * 100 / (uint32_t)total;
    if (percent > 100)
        percent = 100;
    // Once only: never again after a message took it away.
    if (!ex->windowTried && GetTickCount() - ex->began >= kProgressAfterMs) {
        ex->windowTried = true;
        // The stub's window takes an ANSI title; the runner's caption is read as UTF-16.
        rs->progress = Progress_Open(rs->module, "");
        if (rs->progress != 0)
            SetWindowTextW(rs->progress, rs->caption);
        rs->percent = ~0u;
    }
    if (percent != rs->percent) {
        rs->percent = percent;
        Progress_DrawMeter(rs->progress, percent);
    }
    Pump_Messages();
}

// Waits for object with the window messages flowing.
static void WaitPumping(HANDLE object)
{
    while (MsgWaitForMultipleObjects(1, &object, FALSE, INFINITE, QS_ALLINPUT) == WAIT_OBJECT_0 + 1)
        Pump_Messages();
}

static void Slot_Release(Slot *s)
{
    if (InterlockedDecrement(&s->refs) == 0)
        SetEvent(s->free);
}

// The first failure of a write, a time or a close is the one reported.
static void WriteFailed(Expansion *ex, const char *what, const OutFile *of, DWORD error)
{
    if (InterlockedCompareExchange(&ex->failed, 1, 0) != 0)
        return;
    ex->failWhat = what;
    ex->failError = error;
    ex->failPath[0] = 0;
    Text_Append(ex->failPath, kPathChars, of->path);
}

// One job, on a writer or (without writers) on the main thread. Once anything
// failed, files are only closed: the clean-up deletes the folder anyway.
static void Job_Do(Expansion *ex, const Job &j)
{
    OutFile *of = j.of;
    const bool skip = ex->stop || ex->failed;
    if (j.kind == kJobWrite) {
        DWORD wrote;
        if (!skip && (!WriteFile(of->file, j.data, j.bytes, &wrote, 0) || wrote != j.bytes))
            WriteFailed(ex, "Cannot write the file", of, GetLastError() ? GetLastError() : ERROR_DISK_FULL);
        if (j.slot != 0)
            Slot_Release(j.slot);
        return;
    }
    // The file's time is part of what the payload promises: a failure is one.
    if (!skip && !SetFileTime(of->file, 0, 0, &of->time))
        WriteFailed(ex, "Cannot set the time of the file", of, GetLastError());
    // Closing a fresh file is where a scanner makes the writer wait.
    if (!CloseHandle(of->file) && !skip)
        WriteFailed(ex, "Cannot write the file", of, GetLastError());
    of->file = INVALID_HANDLE_VALUE;
    InterlockedExchange(&of->busy, 0);
}

static DWORD WINAPI WriteFiles(LPVOID parameter)
{
    Writer *w = (Writer *)parameter;
    Expansion *ex = w->ex;
    for (;;) {
        while (w->tail == w->head)
            WaitForSingleObject(w->wake, INFINITE);
        MemoryBarrier();   // the job is read after the count that publishes it
        const Job &j = w->jobs[(uint32_t)w->tail % kJobs];
        if (j.kind == kJobQuit)
            return 0;
        Job_Do(ex, j);
        InterlockedIncrement(&w->tail);
        SetEvent(ex->writersMoved);
    }
}

// Every job of one file goes to the same writer, in order; without writers
// it is done here and now.
static void Job_Hand(Expansion *ex, const Job &j)
{
    if (ex->writerCount == 0) {
        Job_Do(ex, j);
        return;
    }
    Writer *w = &ex->writers[(uint32_t)(j.of - ex->files) % ex->writerCount];
    while ((uint32_t)w->head - (uint32_t)w->tail == kJobs)
        WaitPumping(ex->writersMoved);
    MemoryBarrier();   // the entry is written after the writer let it go
    w->jobs[(uint32_t)w->head % kJobs] = j;
    InterlockedIncrement(&w->head);
    SetEvent(w->wake);
}

// A fresh file: never one that is there already, nor through a link.
static bool NewFile(Expansion *ex)
{
    OutFile *of = &ex->files[ex->fileCount % kFilesInFlight];
    while (of->busy)
        WaitPumping(ex->writersMoved);
    MemoryBarrier();
    of->file = CreateFileW(ex->path, GENERIC_WRITE, 0, 0, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, 0);
    if (of->file == INVALID_HANDLE_VALUE)
        return Fail_Show(ex->rs, "Cannot create the file", ex->path, GetLastError()), false;
    // Seconds since 1970 to 100 ns since 1601; the tar reader let through
    // only times that neither wrap nor give 0, which would leave the time as it is.
    uint64_t ft = ((uint64_t)ex->tar.entry.mtime + 11644473600ull) * 10000000ull;
    of->time.dwLowDateTime = (DWORD)ft;
    of->time.dwHighDateTime = (DWORD)(ft >> 32);
    of->path[0] = 0;
    Text_Append(of->path, kPathChars, ex->path);
    of->busy = 1;
    ex->current = of;
    ex->fileCount++;
    return true;
}

// A write, a time or a close that failed, in one message.
static bool WriteFailure(Expansion *ex)
{
    Fail_Show(ex->rs, ex->failWhat, ex->failPath, ex->failError);
    return false;
}

// One event of the tar stream: the place where an entry becomes what it
// stands for. data lies in slot's buffer (0: used at once).
static bool Dispatch(Expansion *ex, TarStatus t, const uint8_t *data, size_t dataBytes, Slot *slot)
{
    if (t == TAR_ERROR)
        return ex->tar.pathProblem.why != 0 ? PathRefused(ex, ex->tar.entry, ex->tar.pathProblem, 0, 0) : Damaged(ex, ex->tar.error);
    if (t == TAR_ENTRY) {
        if (!InOrder(ex, ex->tar.entry) || !EntryPath(ex, ex->tar.entry))
            return false;
        if (ex->tar.entry.folder) {
            if (!CreateDirectoryW(ex->path, 0))
                return Fail_Show(ex->rs, "Cannot create the folder", ex->path, GetLastError()), false;
        } else if (!NewFile(ex)) {
            return false;
        } else if (ex->tar.entry.target != 0 && !Copies_Remember(ex->rs, ex->path + ex->rootLength, ex->other, ex->current->time)) {
            // A copy is made here, empty; its bytes come once every file is written (copies.cpp).
            return false;
        }
    } else if (t == TAR_DATA) {
        if (slot != 0)
            InterlockedIncrement(&slot->refs);
        Job_Hand(ex, {kJobWrite, ex->current, data, (DWORD)dataBytes, slot});
    } else if (t == TAR_FILE_END) {
        Job_Hand(ex, {kJobClose, ex->current, 0, 0, 0});
        ex->current = 0;
    }
    return !ex->failed || WriteFailure(ex);
}

// got bytes of the archive, in order, from slot's buffer (0: used at once).
static bool Feed(Expansion *ex, const uint8_t *bytes, size_t got, Slot *slot)
{
    bool ok = true;
    for (size_t at = 0; ok && at < got;) {
        size_t used, dataBytes;
        const uint8_t *data;
        TarStatus t = Tar_Feed(&ex->tar, bytes + at, got - at, &used, &data, &dataBytes);
        at += used;
        ok = Dispatch(ex, t, data, dataBytes, slot);
    }
    ex->done += got;
    Meter(ex, ex->done, ex->xz.unpackedSize);
    return ok;
}

// The end of the stream: the archive must have ended exactly there; then
// every writer's jobs are done (or, after a failure, only its closes) and
// every file is closed, whatever happened.
static bool Finish(Expansion *ex, bool ok, XzResult r)
{
    if (ok && r != XZ_DONE)
        ok = Damaged(ex, Xz_ResultText(r));
    if (ok) {
        // A zero-byte file last in the archive still owes its end.
        size_t used, dataBytes;
        const uint8_t *data;
        // Apart: the order a call's arguments are evaluated in is not fixed,
        // and data is only set once Tar_Feed has run.
        TarStatus t = Tar_Feed(&ex->tar, 0, 0, &used, &data, &dataBytes);
        ok = Dispatch(ex, t, data, dataBytes, 0);
        if (ok && !Tar_Ended(&ex->tar))
            ok = Damaged(ex, "the archive is cut short");
    }
    if (!ok)
        ex->stop = 1;
    if (ex->current != 0)
        Job_Hand(ex, {kJobClose, ex->current, 0, 0, 0});
    ex->current = 0;
    for (uint32_t k = 0; k < ex->writerCount; k++)
        Job_Hand(ex, {kJobQuit, &ex->files[k], 0, 0, 0});
    for (uint32_t k = 0; k < ex->writerCount; k++)
        WaitPumping(ex->writers[k].thread);
    return ok && (!ex->failed || WriteFailure(ex));
}

// One block after the other on this thread, each into the one buffer, and
// every write done at once: without workers there are no writers either.
static bool ExpandOnMain(Expansion *ex)
{
    XzBlockDecoder *d = &ex->workers[0].decoder;
    uint8_t *buf = ex->slots[0].buf;
    XzResult r = XZ_DONE;
    bool ok = true;
    for (uint32_t b = 0; ok && r == XZ_DONE && b < ex->xz.blocks; b++) {
        r = XzBlock_OpenFlat(d, ex->map.view, (size_t)ex->map.size, ex->blocks[b], ex->xz.check, buf, ex->slotBytes);
        for (size_t fed = 0; ok && r == XZ_MORE; fed = (size_t)d->finalBytes) {
            r = XzBlock_DecodeFlat(d, kOutBytes);
            ok = Feed(ex, buf + fed, (size_t)d->finalBytes - fed, 0);
        }
    }
    return Finish(ex, ok, r);
}

static Slot *SlotOf(Expansion *ex, uint32_t block)
{
    uint32_t worker = block % ex->workerCount, turn = block / ex->workerCount;
    return &ex->slots[worker * kSlotsPerWorker + turn % kSlotsPerWorker];
}

static DWORD WINAPI DecodeBlocks(LPVOID parameter)
{
    Worker *w = (Worker *)parameter;
    Expansion *ex = w->ex;
    for (uint32_t b = w->index; b < ex->xz.blocks; b += ex->workerCount) {
        Slot *s = SlotOf(ex, b);
        WaitForSingleObject(s->free, INFINITE);
        if (ex->stop)
            break;
        s->final = 0;
        s->result = XZ_MORE;
        s->refs = 1;
        InterlockedExchange(&s->block, (LONG)b);
        XzResult r = XzBlock_OpenFlat(&w->decoder, ex->map.view, (size_t)ex->map.size, ex->blocks[b], ex->xz.check,
                                      s->buf, ex->slotBytes);
        while (r == XZ_MORE && !ex->stop) {
            r = XzBlock_DecodeFlat(&w->decoder, kOutBytes);
            InterlockedExchange(&s->final, (LONG)w->decoder.finalBytes);
            if (r == XZ_MORE)
                SetEvent(s->progress);
        }
        InterlockedExchange(&s->result, r);
        SetEvent(s->progress);
    }
    return 0;
}

// Block b as its worker publishes it: parsed, its files created and their
// writes handed on, then its buffer left to the writers still using it.
static bool FollowBlock(Expansion *ex, uint32_t b, XzResult *r)
{
    Slot *s = SlotOf(ex, b);
    uint32_t consumed = 0;
    bool ok = true;
    for (;;) {
        if (s->block == (LONG)b) {
            // The result is read before the count: a block that ended has published all of it.
            XzResult result = (XzResult)s->result;
            uint32_t final = (uint32_t)s->final;
            MemoryBarrier();   // the bytes are read after the count that publishes them
            if (final > consumed) {
                // In steps, so that the meter moves and the window stays alive.
                while (ok && consumed < final) {
                    uint32_t n = final - consumed < (uint32_t)kOutBytes ? final - consumed : (uint32_t)kOutBytes;
                    ok = Feed(ex, s->buf + consumed, n, s);
                    consumed += n;
                }
                if (!ok)
                    break;
                continue;
            }
            if (result != XZ_MORE) {
                *r = result;
                break;
            }
        }
        WaitPumping(s->progress);
    }
    if (ok && *r == XZ_DONE)
        Slot_Release(s);
    return ok;
}

// The decoding threads not yet running started: false when the system gives no more.
static bool StartWorkers(Expansion *ex)
{
    bool ok = true;
    for (uint32_t k = ex->started; ok && k < ex->workerCount; k++) {
        Worker *w = &ex->workers[k];
        w->ex = ex;
        w->index = k;
        w->thread = CreateThread(0, 0, DecodeBlocks, w, 0, 0);
        ok = w->thread != 0;
        ex->started += ok;
    }
    return ok;
}

// The decoding threads waited for, told first to stop when stop.
static void JoinWorkers(Expansion *ex, bool stop)
{
    if (stop) {
        ex->stop = 1;
        for (uint32_t k = 0; k < kMaxWorkers * kSlotsPerWorker; k++)
            if (ex->slots[k].free != 0)
                SetEvent(ex->slots[k].free);
    }
    for (uint32_t k = 0; k < ex->started; k++) {
        WaitPumping(ex->workers[k].thread);
        CloseHandle(ex->workers[k].thread);
    }
    ex->started = 0;
}

static bool ExpandParallel(Expansion *ex)
{
    RunnerState *rs = ex->rs;
    bool ok = true;
    XzResult r = XZ_DONE;
    uint32_t writing = 0;
    ex->writersMoved = CreateEventW(0, FALSE, FALSE, 0);
    for (uint32_t k = 0; ok && k < kWriters; k++) {
        Writer *w = &ex->writers[k];
        w->ex = ex;
        w->head = w->tail = 0;
        w->wake = CreateEventW(0, FALSE, FALSE, 0);
        w->thread = w->wake && ex->writersMoved ? CreateThread(0, 0, WriteFiles, w, 0, 0) : 0;
        ok = w->thread != 0;
        writing += ok;
    }
    ex->writerCount = writing;
    ok = ok && StartWorkers(ex);
    if (!ok)
        Fail_Show(rs, "Cannot start expanding the package.", 0, GetLastError());
    for (uint32_t b = 0; ok && r == XZ_DONE && b < ex->xz.blocks; b++)
        ok = FollowBlock(ex, b, &r);
    JoinWorkers(ex, !ok || r != XZ_DONE);
    ok = Finish(ex, ok, r);
    for (uint32_t k = 0; k < kWriters; k++) {
        if (ex->writers[k].thread != 0)
            CloseHandle(ex->writers[k].thread);
        if (ex->writers[k].wake != 0)
            CloseHandle(ex->writers[k].wake);
    }
    if (ex->writersMoved != 0)
        CloseHandle(ex->writersMoved);
    ex->writerCount = 0;
    return ok;
}

// Every block's place, from the index (checked by Xz_Scan already).
static bool ListBlocks(Expansion *ex, const Mapping &m)
{
    XzStreamInfo info;
    ex->blocks = (XzBlockInfo *)VirtualAlloc(0, ex->xz.blocks * sizeof(XzBlockInfo), MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE);
    return ex->blocks != 0 && Xz_Scan(m.view, (size_t)m.size, &info, ex->blocks, ex->xz.blocks) == XZ_DONE;
}

// How many decoding threads: this process's cores, at most kMaxWorkers, and
// at most what RUNNER_THREADS_VARIABLE says. More threads than cores do not
// help: the main thread writes the blocks in order, and a first block
// decoded more slowly holds back every write after it.
static uint32_t Cores(void)
{
    DWORD_PTR process, system;
    uint32_t n = 0;
    if (GetProcessAffinityMask(GetCurrentProcess(), &process, &system))
        for (; process != 0; process &= process - 1)
            n++;
    if (n == 0)
        n = 1;
    WCHAR set[4];
    if (GetEnvironmentVariableW(RUNNER_THREADS_VARIABLE, set, 4) == 1 && set[0] >= L'0' && set[0] < L'0' + (WCHAR)n)
        n = set[0] - L'0';
    return n < kMaxWorkers ? n : kMaxWorkers;
}

// Every buffer and the block list let go; again is harmless.
static void ReleaseSlots(Expansion *ex)
{
    for (uint32_t k = 0; k < kMaxWorkers * kSlotsPerWorker; k++) {
        Slot *s = &ex->slots[k];
        if (s->buf != 0)
            VirtualFree(s->buf, 0, MEM_RELEASE);
        if (s->free != 0)
            CloseHandle(s->free);
        if (s->progress != 0)
            CloseHandle(s->progress);
        s->buf = 0;
        s->free = s->progress = 0;
    }
    if (ex->blocks != 0)
        VirtualFree(ex->blocks, 0, MEM_RELEASE);
    ex->blocks = 0;
}

// A buffer for each block in flight, as many as fit the budget (one without
// workers); false, with its message, for a block larger than pack writes or
// buffers the system does not give.
static bool PrepareWorkers(Expansion *ex, const Mapping &m)
{
    uint32_t n = Cores();
    uint64_t largest = 0;
    for (uint32_t b = 0; b < ex->xz.blocks; b++)
        largest = ex->blocks[b].unpackedSize > largest ? ex->blocks[b].unpackedSize : largest;
    if (largest > kMaxBlock)
        return Damaged(ex, "a block of the archive is larger than 64 MiB");
    n = ex->xz.blocks < n ? ex->xz.blocks : n;
    while (n > 1 && (ex->xz.blocks < n * kSlotsPerWorker ? ex->xz.blocks : n * kSlotsPerWorker) * largest > kParallelBudget)
        n--;
    ex->workerCount = n;
    ex->slotBytes = (size_t)largest;
    ex->map = m;
    // A block's buffer is used when some block falls to it.
    for (uint32_t b = 0; b < ex->xz.blocks && b < (n != 0 ? n * kSlotsPerWorker : 1); b++) {
        Slot *s = n != 0 ? SlotOf(ex, b) : &ex->slots[0];
        s->buf = (uint8_t *)VirtualAlloc(0, largest ? (size_t)largest : 1, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE);
        s->free = CreateEventW(0, FALSE, TRUE, 0);
        s->progress = CreateEventW(0, FALSE, FALSE, 0);
        s->block = -1;
        if (s->buf == 0 || s->free == 0 || s->progress == 0) {
            if (!ex->quiet)
                Fail_Show(ex->rs, "Not enough memory to expand the package.", 0, GetLastError());
            return false;
        }
    }
    return true;
}

// text at out: where the terminator went.
static char *Put(char *out, const char *text)
{
    while (*text != 0)
        *out++ = *text++;
    *out = 0;
    return out;
}

// n with a comma between thousands, as the tool writes sizes. n is divided
// by ten in four 16-bit parts, each step within 32 bits: no 64-bit division
// (and none of libgcc's code for it) is needed.
static char *Thousands(char *out, uint64_t n)
{
    uint32_t part[4] = {(uint32_t)n & 0xFFFF, (uint32_t)n >> 16, (uint32_t)(n >> 32) & 0xFFFF, (uint32_t)(n >> 48)};
    char digits[32];
    uint32_t count = 0;
    do {
        uint32_t rest = 0;
        for (uint32_t i = 4; i-- != 0;) {
            uint32_t at = rest << 16 | part[i];
            part[i] = at / 10;
            rest = at % 10;
        }
        digits[count++] = (char)('0' + rest);
    } while ((part[0] | part[1] | part[2] | part[3]) != 0);
    while (count != 0) {
        *out++ = digits[--count];
        if (count != 0 && count % 3 == 0)
            *out++ = ',';
    }
    *out = 0;
    return out;
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
    // Two numbers of at most 26 characters each and the words around them.
    char what[200];
    char *at = Thousands(Put(what, "There is not enough free space to expand the package: it needs "), needed);
    at = Thousands(Put(at, " bytes, and "), available.QuadPart);
    Put(at, " bytes are free in");
    Fail_Show(rs, what, rs->privateFolder, 0);
    return false;
}

// The payload found and checked, its buffers asked for: every step before
// the first file. space: with the free space where it goes, once the folder is made.
static bool Ready(Expansion *ex, bool space)
{
    ex->stop = 0;   // no worker runs yet: nothing to stop
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
    if (ok && space)
        ok = EnoughSpace(ex, ex->xz.unpackedSize);
    if (ok && !ListBlocks(ex, m)) {
        ok = false;
        if (!ex->quiet)
            Fail_Show(ex->rs, "Not enough memory to expand the package.", 0, GetLastError());
    }
    return ok && PrepareWorkers(ex, m);
}

// Decoding into memory needs no folder and writes nothing, so the workers
// start as soon as the payload is found, while the stub's window, the
// elevation, the sweep and the folder take their time. Anything wrong is only
// noted here: Expand_Payload finds it again and shows it where it always has.
void Expand_Begin(RunnerState *rs)
{
    Expansion *ex = InRegister(&g_expansion);
    ex->rs = rs;
    ex->quiet = true;
    if (!Ready(ex, false) || ex->workerCount == 0 || !StartWorkers(ex))
        Expand_End(rs);
    ex->quiet = false;
}

void Expand_End(RunnerState *)
{
    Expansion *ex = InRegister(&g_expansion);
    JoinWorkers(ex, true);
    ReleaseSlots(ex);
}

bool Expand_Payload(RunnerState *rs)
{
    Expansion *ex = InRegister(&g_expansion);
    ex->rs = rs;
    // Begun early, only the free space is left to check, at the place it has without.
    bool ok = ex->started != 0 ? EnoughSpace(ex, ex->xz.unpackedSize) : Ready(ex, true);
    if (ok) {
        Path_Long(ex->path, kPathChars, rs->privateFolder);
        Text_Append(ex->path, kPathChars, L"\\");
        ex->rootLength = Text_Length(ex->path);
        rs->percent = ~0u;
        ex->began = GetTickCount();
        ex->windowTried = false;
        ex->done = 0;
        Tar_Init(&ex->tar);
        PathMemory_Init(&ex->seen, Allocate, Release, 0);
        ok = ex->workerCount != 0 ? ExpandParallel(ex) : ExpandOnMain(ex);
        ok = Copies_Finish(rs, ex->path, ex->rootLength, ok);
        PathMemory_Free(&ex->seen);
        if (rs->progress != 0)
            DestroyWindow(rs->progress);
        rs->progress = 0;
    }
    Expand_End(rs);
    return ok;
}
