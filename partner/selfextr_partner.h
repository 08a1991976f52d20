/* selfextr_partner.h: what a setup program needs to tell the selfextr stub
 * that started it that the extracted files are no longer needed.
 * Header-only, C and C++; KERNEL32 and USER32 only.
 *
 *   #include "selfextr_partner.h"
 *   int WINAPI WinMain(...)
 *   {
 *       SelfExtr_MarkIdle();   first thing: the stub's window appears at once
 *       ...the setup's work...
 *       SelfExtr_RequestCleanup(SELFEXTR_WAIT_WHILE_STUB_LIVES);   last act
 *       return 0;
 *   }
 *
 * The stub waits on a hidden top-level window of class SELFEXTR_WINDOW_CLASS,
 * which it creates only once its WinExec of the setup program has returned;
 * WM_COMMAND with SELFEXTR_ID_CLEANUP in the low word of wParam makes it
 * delete every file it wrote and end (selfextr_protocol.h). WinExec returns when the started program first waits for input, or
 * after 30 seconds. The request goes only to the window of the stub that
 * started this program (its parent, or an ancestor further up for a driver
 * that the setup program started), never to another stub's. See
 * docs/protocol.md.
 */
#ifndef SELFEXTR_PARTNER_H
#define SELFEXTR_PARTNER_H

#include <windows.h>
#include <tlhelp32.h>

#include "selfextr_protocol.h"

/* Wait as long as the stub that started this program may still create its
 * window; shorter bounds are raised to SELFEXTR_MIN_WAIT_MS, past WinExec's
 * own 30 seconds. */
#define SELFEXTR_WAIT_WHILE_STUB_LIVES INFINITE
#define SELFEXTR_MIN_WAIT_MS 60000
#define SELFEXTR_MAX_ANCESTORS 16
/* A whole Windows path (32,767 units and its terminator) with room for a prefix. */
#define SELFEXTR_PATH_UNITS (32768 + 8)

#ifdef __cplusplus
extern "C" {
#endif

/* One real wait on this thread's message queue, which is what ends the
 * WinExec of the stub that started this program. A single PeekMessage is not
 * enough under Wine. Call it first thing in a program that does not enter a
 * message loop at once (a console program, or one that works first). */
static __inline void SelfExtr_MarkIdle(void)
{
    MsgWaitForMultipleObjects(0, 0, FALSE, 1, QS_ALLINPUT);
}

typedef struct {
    DWORD pid;
    HANDLE process;  /* held, so that the number cannot pass to another process */
    int isStub;
} SelfExtr_Ancestor;

static __inline HANDLE SelfExtr_OpenProcess(DWORD pid)
{
    /* PROCESS_QUERY_LIMITED_INFORMATION where it exists (Vista on, and an
     * elevated stub from a program that is not); the full right on XP. */
    HANDLE process = OpenProcess(SYNCHRONIZE | 0x1000, FALSE, pid);
    return process != 0 ? process : OpenProcess(SYNCHRONIZE | PROCESS_QUERY_INFORMATION, FALSE, pid);
}

static __inline ULONGLONG SelfExtr_Started(HANDLE process)
{
    FILETIME created, ended, kernel, user;
    if (!GetProcessTimes(process, &created, &ended, &kernel, &user))
        return ~(ULONGLONG)0;
    return ((ULONGLONG)created.dwHighDateTime << 32) | created.dwLowDateTime;
}

/* The full path of process's image file in path (SELFEXTR_PATH_UNITS units),
 * any length and any characters, ready for CreateFileW or LoadLibraryExW: a
 * path of MAX_PATH units or more is given the "\\?\" prefix ("\\?\UNC\" for a
 * share), which lifts the 260-unit limit. Returns its length, 0 when it
 * cannot be read. */
static __inline DWORD SelfExtr_ImagePath(HANDLE process, WCHAR *path)
{
    typedef BOOL (WINAPI *QueryImageName)(HANDLE, DWORD, LPWSTR, PDWORD);
    QueryImageName query = (QueryImageName)(void (*)(void))GetProcAddress(GetModuleHandleA("kernel32.dll"),
                                                                           "QueryFullProcessImageNameW");
    /* Queried 8 units in, so that a prefix fits before it. */
    WCHAR *name = path + 8;
    DWORD units = SELFEXTR_PATH_UNITS - 8, at = 0, i;
    const char *prefix = "\\\\?\\";
    if (query == 0 || !query(process, 0, name, &units) || units == 0 || units >= SELFEXTR_PATH_UNITS - 8)
        return 0;
    if (units >= MAX_PATH && !(name[0] == L'\\' && name[1] == L'\\' && name[2] == L'?' && name[3] == L'\\')) {
        if (name[0] == L'\\' && name[1] == L'\\') {
            prefix = "\\\\?\\UNC";  /* \\server\share\... keeps one of its backslashes */
            name++;
            units--;
        }
        for (; *prefix != 0; prefix++)
            path[at++] = (WCHAR)*prefix;
    }
    /* Forward: the name always lies after where it is copied to. */
    for (i = 0; i <= units; i++)
        path[at + i] = name[i];
    return at + units;
}

/* Whether a module loaded as data carries the package marker (selfextr_protocol.h). */
static __inline int SelfExtr_HasPackageMarker(HMODULE image)
{
    static const char want[] = SELFEXTR_PACKAGE_MARKER;
    HRSRC found = FindResourceW(image, MAKEINTRESOURCEW(SELFEXTR_PACKAGE_MARKER_ID),
                                MAKEINTRESOURCEW(SELFEXTR_PACKAGE_MARKER_TYPE));
    HGLOBAL loaded = found != 0 ? LoadResource(image, found) : 0;
    const BYTE *have = loaded != 0 ? (const BYTE *)LockResource(loaded) : 0;
    DWORD i;
    if (have == 0 || SizeofResource(image, found) != sizeof want - 1)
        return 0;
    for (i = 0; i < sizeof want - 1; i++)
        if (have[i] != (BYTE)want[i])
            return 0;
    return 1;
}

/* Whether process runs a finished stub: an image that carries the package
 * marker. Any program may have a dialog 2000 or a string 3000. */
static __inline int SelfExtr_IsStubImage(HANDLE process)
{
    HANDLE heap = GetProcessHeap();
    WCHAR *path = (WCHAR *)HeapAlloc(heap, 0, SELFEXTR_PATH_UNITS * sizeof(WCHAR));
    HMODULE image = 0;
    int stub;
    if (path == 0)
        return 0;
    if (SelfExtr_ImagePath(process, path) != 0)
        image = LoadLibraryExW(path, 0, LOAD_LIBRARY_AS_DATAFILE);
    HeapFree(heap, 0, path);
    if (image == 0)
        return 0;
    stub = SelfExtr_HasPackageMarker(image);
    FreeLibrary(image);
    return stub;
}

/* The chain of living processes that started this one, nearest first, each
 * held by a handle; isStub is left 0. A parent number whose process started
 * after its child belongs to another process now, and ends the chain.
 * Returns how many were found. */
static __inline int SelfExtr_AncestorChain(SelfExtr_Ancestor chain[SELFEXTR_MAX_ANCESTORS])
{
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    DWORD pid = GetCurrentProcessId();
    ULONGLONG childStarted = SelfExtr_Started(GetCurrentProcess());
    int count = 0;
    if (snapshot == INVALID_HANDLE_VALUE)
        return 0;
    while (count < SELFEXTR_MAX_ANCESTORS) {
        PROCESSENTRY32 entry;
        DWORD parent = 0;
        HANDLE process;
        ULONGLONG started;
        entry.dwSize = sizeof entry;
        if (Process32First(snapshot, &entry)) {
            do {
                if (entry.th32ProcessID == pid) {
                    parent = entry.th32ParentProcessID;
                    break;
                }
            } while (Process32Next(snapshot, &entry));
        }
        if (parent == 0 || parent == pid)
            break;
        process = SelfExtr_OpenProcess(parent);
        if (process == 0)
            break;
        started = SelfExtr_Started(process);
        if (started > childStarted) {
            CloseHandle(process);
            break;
        }
        chain[count].pid = parent;
        chain[count].process = process;
        chain[count].isStub = 0;
        count++;
        pid = parent;
        childStarted = started;
    }
    CloseHandle(snapshot);
    return count;
}

/* The chain, and which of its processes run a finished stub. Returns how
 * many were found. */
static __inline int SelfExtr_Ancestors(SelfExtr_Ancestor chain[SELFEXTR_MAX_ANCESTORS])
{
    int count = SelfExtr_AncestorChain(chain), i;
    for (i = 0; i < count; i++)
        chain[i].isStub = SelfExtr_IsStubImage(chain[i].process);
    return count;
}

static __inline HWND SelfExtr_WindowOf(DWORD pid)
{
    HWND window = 0;
    while ((window = FindWindowExA(0, window, SELFEXTR_WINDOW_CLASS, 0)) != 0) {
        DWORD owner = 0;
        GetWindowThreadProcessId(window, &owner);
        if (owner == pid)
            return window;
    }
    return 0;
}

/* Finds the window of the stub that started this program, waiting for it
 * while that stub lives and at most timeoutMs (SELFEXTR_WAIT_WHILE_STUB_LIVES:
 * no bound; a bound below SELFEXTR_MIN_WAIT_MS is raised to it). The stub is
 * the nearest ancestor that owns such a window, or, while it has none yet,
 * the nearest ancestor whose image is a finished stub (it carries the
 * package marker); nothing past it is looked at. Returns 0 when no stub of this program's can create one any more. */
static __inline HWND SelfExtr_FindWindow(DWORD timeoutMs)
{
    SelfExtr_Ancestor chain[SELFEXTR_MAX_ANCESTORS];
    DWORD start = GetTickCount();
    HWND found = 0;
    int count, i;
    /* The ancestors are taken before this program becomes idle: a program
     * that starts a driver with WinExec may end as soon as the driver idles. */
    count = SelfExtr_Ancestors(chain);
    SelfExtr_MarkIdle();
    if (timeoutMs < SELFEXTR_MIN_WAIT_MS)
        timeoutMs = SELFEXTR_MIN_WAIT_MS;
    for (;;) {
        int alive = 0;
        for (i = 0; i < count && found == 0; i++) {
            int living = WaitForSingleObject(chain[i].process, 0) == WAIT_TIMEOUT;
            if (living)
                found = SelfExtr_WindowOf(chain[i].pid);
            alive |= living;
            if (found == 0 && living && chain[i].isStub)
                break;  /* our stub, still before its window */
        }
        if (found != 0 || !alive || (timeoutMs != INFINITE && GetTickCount() - start >= timeoutMs))
            break;
        /* A real wait on the queue, so that this program stays idle for input. */
        MsgWaitForMultipleObjects(0, 0, FALSE, 10, QS_ALLINPUT);
    }
    for (i = 0; i < count; i++)
        CloseHandle(chain[i].process);
    return found;
}

/* Posts the clean-up command to the window of this program's stub. Returns
 * nonzero when it was posted. Post it as the last act, then end at once: the
 * stub deletes every file it wrote, this program's own among them, and a file
 * whose program still runs cannot be deleted; its attempts are over within
 * about 100 ms. Never send the command: SendMessage returns only after the
 * clean-up, so the sender's own file would always stay. */
static __inline BOOL SelfExtr_RequestCleanup(DWORD timeoutMs)
{
    HWND window = SelfExtr_FindWindow(timeoutMs);
    return window != 0 && PostMessageA(window, WM_COMMAND, SELFEXTR_ID_CLEANUP, 0);
}

#ifdef __cplusplus
}
#endif

#endif
