// extract_bench: a finished stub's extraction, from the answer Yes to the
// start of its SETUP.EXE, against a plain Win32 program that writes the same
// bytes to the same kind of folder in 32,760-byte chunks, side by side and
// alternating; also the cost of one meter redraw and the stub's private
// memory. Both timings hold one process start: SETUP.EXE's for the stub,
// the plain writer's own for it.
//   extract_bench PACKAGE WORK-FOLDER ROUNDS
//   extract_bench --plain PACKAGE FOLDER MARK    (the plain writer)
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "mark.h"
#include "progress/progress.h"
#include "boxes.h"
#include "selfextr.h"
#include "sizes.h"

static LONGLONG Counter()
{
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    return now.QuadPart;
}

static double Ms(LONGLONG ticks)
{
    LARGE_INTEGER f;
    QueryPerformanceFrequency(&f);
    return 1000.0 * (double)ticks / (double)f.QuadPart;
}

// Committed private memory of a process, in KiB: its heaps and stacks, not
// the mapped image that holds the package.
static SIZE_T PrivateKiB(HANDLE process)
{
    SIZE_T total = 0;
    MEMORY_BASIC_INFORMATION mbi;
    for (char *p = 0; VirtualQueryEx(process, p, &mbi, sizeof mbi) == sizeof mbi; p = (char *)mbi.BaseAddress + mbi.RegionSize) {
        if (mbi.State == MEM_COMMIT && mbi.Type == MEM_PRIVATE)
            total += mbi.RegionSize;
        if ((char *)mbi.BaseAddress + mbi.RegionSize < p)
            break;
    }
    return total / 1024;
}

static int PlainWriter(const char *package, const char *folder, const char *mark)
{
    HMODULE m = LoadLibraryExA(package, 0, LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
    if (m == 0)
        return 2;
    char descriptor[kTextBytes], path[MAX_PATH];
    for (UINT n = ENTRY_FIRST_ID;; n++) {
        HRSRC r = FindResourceA(m, MAKEINTRESOURCEA(n), MAKEINTRESOURCEA(RT_ENTRY));
        if (r == 0)
            break;
        const char *data = (const char *)LockResource(LoadResource(m, r));
        LoadStringA(m, n, descriptor, sizeof descriptor);
        char *comma = strchr(descriptor, ',');
        if (data == 0 || comma == 0)
            return 3;
        *comma = '\0';
        DWORD left = strtoul(comma + 1, 0, 10);
        wsprintfA(path, "%s\\%s", folder, descriptor);
        HANDLE f = CreateFileA(path, GENERIC_WRITE, 0, 0, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, 0);
        for (DWORD chunk, done; left != 0; left -= chunk, data += chunk) {
            chunk = std::min<DWORD>(left, CHUNK_BYTES);
            if (!WriteFile(f, data, chunk, &done, 0) || done != chunk)
                return 4;
        }
        CloseHandle(f);
    }
    Mark_Write(mark, std::to_string(Counter()) + " " + std::to_string(PrivateKiB(GetCurrentProcess())));
    return 0;
}

static void Empty(const std::string &dir)
{
    WIN32_FIND_DATAA d;
    HANDLE h = FindFirstFileA((dir + "\\*").c_str(), &d);
    if (h == INVALID_HANDLE_VALUE)
        return;
    do
        if (!(d.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY))
            DeleteFileA((dir + "\\" + d.cFileName).c_str());
    while (FindNextFileA(h, &d));
    FindClose(h);
}

struct StubRun {
    double ms = -1;
    SIZE_T askingKiB = 0, waitingKiB = 0;
};

static StubRun RunStub(const std::string &package, const std::string &temp, const std::string &mark, HANDLE go)
{
    StubRun run;
    SetEnvironmentVariableA("TEMP", temp.c_str());
    SetEnvironmentVariableA("SELFEXTR_BENCH_MARK", mark.c_str());
    std::string command = "\"" + package + "\"";
    STARTUPINFOA si = {sizeof si};
    PROCESS_INFORMATION pi;
    if (!CreateProcessA(0, &command[0], 0, 0, FALSE, 0, 0, 0, &si, &pi))
        return run;
    HWND box = Box_Find(pi.dwProcessId, "Bench", 60000);
    if (box != 0) {
        run.askingKiB = PrivateKiB(pi.hProcess);
        Sleep(300);  // let the stub settle after the remote queries, as a user would take a moment
        LONGLONG yes = Counter();
        Box_Press(box, IDYES);
        std::string started = Mark_Take(mark, 300000);
        if (!started.empty()) {
            run.ms = Ms(_atoi64(started.c_str()) - yes);
            run.waitingKiB = PrivateKiB(pi.hProcess);
        }
    }
    SetEvent(go);
    WaitForSingleObject(pi.hProcess, 300000);
    ResetEvent(go);
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
    return run;
}

static double RunPlain(const std::string &self, const std::string &package, const std::string &folder,
                       const std::string &mark, SIZE_T &kib)
{
    std::string command = "\"" + self + "\" --plain \"" + package + "\" \"" + folder + "\" \"" + mark + "\"";
    STARTUPINFOA si = {sizeof si};
    PROCESS_INFORMATION pi;
    LONGLONG start = Counter();
    if (!CreateProcessA(0, &command[0], 0, 0, FALSE, 0, 0, 0, &si, &pi))
        return -1;
    std::string done = Mark_Take(mark, 300000);
    WaitForSingleObject(pi.hProcess, 60000);
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
    if (done.empty())
        return -1;
    kib = strtoul(strchr(done.c_str(), ' ') + 1, 0, 10);
    return Ms(_atoi64(done.c_str()) - start);
}

static double Median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

int main(int argc, char **argv)
{
    if (argc == 5 && strcmp(argv[1], "--plain") == 0)
        return PlainWriter(argv[2], argv[3], argv[4]);
    if (argc != 4) {
        fprintf(stderr, "usage: extract_bench PACKAGE WORK-FOLDER ROUNDS\n");
        return 2;
    }
    char self[MAX_PATH];
    GetModuleFileNameA(0, self, sizeof self);
    std::string package = argv[1], work = argv[2];
    int rounds = atoi(argv[3]);
    HANDLE go = CreateEventA(0, TRUE, FALSE, "selfextr-bench-go");
    std::string stubDir = work + "\\stub", plainDir = work + "\\plain", mark = work + "\\mark";
    CreateDirectoryA(stubDir.c_str(), 0);
    CreateDirectoryA(plainDir.c_str(), 0);

    std::vector<double> stub, plain;
    SIZE_T asking = 0, waiting = 0, plainKiB = 0;
    for (int r = 0; r < rounds; r++) {
        for (int turn = 0; turn < 2; turn++) {
            if ((turn == 0) == (r % 2 == 0)) {
                StubRun s = RunStub(package, stubDir, mark, go);
                if (s.ms < 0) {
                    fprintf(stderr, "the stub did not reach its SETUP.EXE\n");
                    return 1;
                }
                stub.push_back(s.ms);
                asking = std::max(asking, s.askingKiB);
                waiting = std::max(waiting, s.waitingKiB);
            } else {
                SIZE_T kib = 0;
                double ms = RunPlain(self, package, plainDir, mark, kib);
                if (ms < 0) {
                    fprintf(stderr, "the plain writer failed\n");
                    return 1;
                }
                plain.push_back(ms);
                plainKiB = std::max(plainKiB, kib);
                Empty(plainDir);
            }
        }
    }
    RemoveDirectoryA(stubDir.c_str());
    RemoveDirectoryA(plainDir.c_str());

    // One meter redraw, as the writer does it after each chunk.
    HWND window = Progress_Open(GetModuleHandleA(0), "Bench");
    const int redraws = 1300;
    LONGLONG t0 = Counter();
    for (int i = 0; i < redraws; i++)
        Progress_DrawMeter(window, i * 100 / redraws);
    double redrawUs = 1000.0 * Ms(Counter() - t0) / redraws;
    DestroyWindow(window);

    double ms = Median(stub), base = Median(plain);
    printf("extraction, Yes to SETUP.EXE: median %.0f ms over %d rounds\n", ms, rounds);
    printf("plain writer, start to last byte: median %.0f ms\n", base);
    printf("ratio stub/plain: %.2f\n", ms / base);
    printf("meter redraw: %.1f us each (%d redraws)\n", redrawUs, redraws);
    printf("stub private memory: %lu KiB asking, %lu KiB waiting after extraction; plain writer at its end: %lu KiB\n",
           (unsigned long)asking, (unsigned long)waiting, (unsigned long)plainKiB);
    return 0;
}
