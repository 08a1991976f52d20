// family.h: a process a test started and every process descended from it;
// windows are looked for only among theirs, so that tests sharing one Wine
// session never see, let alone press, each other's windows.
#pragma once
#include <windows.h>
#include <tlhelp32.h>

#include <functional>
#include <vector>

// PROCESS_QUERY_LIMITED_INFORMATION, which older headers name only for Vista on.
static const DWORD kFamilyQuery = SYNCHRONIZE | 0x1000;

struct FamilyMember {
    DWORD pid;
    ULONGLONG started;
    // Held for the family's life: while it is open the number cannot pass to
    // another process, so a parent number that names a member names it alone.
    HANDLE process;
};

struct Family {
    std::vector<FamilyMember> members;  // the root first, then in the order they were found

    // root must be a process the caller holds a handle to, so that its number
    // is still its own. A process whose parent ended before the family saw it
    // cannot be told from a stranger's child: make the family as soon as the
    // root has started and keep looking (every look updates it) while it
    // runs, so that each process in between is seen while it lives.
    explicit Family(DWORD root);
    ~Family()
    {
        for (FamilyMember &m : members)
            CloseHandle(m.process);
    }
    Family(const Family &) = delete;
    Family &operator=(const Family &) = delete;
};

inline HANDLE Family_Open(DWORD pid)
{
    HANDLE process = OpenProcess(kFamilyQuery | PROCESS_TERMINATE, FALSE, pid);
    return process != 0 ? process : OpenProcess(kFamilyQuery, FALSE, pid);
}

inline ULONGLONG Family_Started(HANDLE process)
{
    FILETIME created, ended, kernel, user;
    if (!GetProcessTimes(process, &created, &ended, &kernel, &user))
        return 0;
    return ((ULONGLONG)created.dwHighDateTime << 32) | created.dwLowDateTime;
}

inline Family::Family(DWORD root)
{
    HANDLE process = Family_Open(root);
    if (process != 0)
        members.push_back({root, Family_Started(process), process});
}

inline const FamilyMember *Family_Member(const Family &f, DWORD pid)
{
    for (const FamilyMember &m : f.members)
        if (m.pid == pid)
            return &m;
    return nullptr;
}

// Takes in every process started since by a member, and by those in turn;
// called on every look, since descendants start (and end) at any time.
inline void Family_Update(Family &f)
{
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot == INVALID_HANDLE_VALUE)
        return;
    std::vector<PROCESSENTRY32> all;
    PROCESSENTRY32 entry;
    entry.dwSize = sizeof entry;
    for (BOOL more = Process32First(snapshot, &entry); more; more = Process32Next(snapshot, &entry))
        all.push_back(entry);
    CloseHandle(snapshot);
    // A child may be listed before its parent: go round until nothing is added.
    for (bool added = true; added;) {
        added = false;
        for (const PROCESSENTRY32 &e : all) {
            const FamilyMember *parent = Family_Member(f, e.th32ParentProcessID);
            if (parent == nullptr || Family_Member(f, e.th32ProcessID) != nullptr)
                continue;
            const ULONGLONG parentStarted = parent->started;
            HANDLE process = Family_Open(e.th32ProcessID);
            if (process == 0)
                continue;  // ended already: it owns no window
            ULONGLONG started = Family_Started(process);
            // Started before the member: its parent was an earlier holder of the number.
            if (started < parentStarted) {
                CloseHandle(process);
                continue;
            }
            f.members.push_back({e.th32ProcessID, started, process});
            added = true;
        }
    }
}

// Whether the window belongs to a member, looking again for new members when
// its owner is not one yet.
inline bool Family_Owns(Family &f, HWND window)
{
    DWORD owner = 0;
    GetWindowThreadProcessId(window, &owner);
    if (owner == 0)
        return false;
    if (Family_Member(f, owner) == nullptr)
        Family_Update(f);
    return Family_Member(f, owner) != nullptr;
}

// Whether any member still runs.
inline bool Family_Alive(Family &f)
{
    Family_Update(f);
    for (const FamilyMember &m : f.members)
        if (WaitForSingleObject(m.process, 0) == WAIT_TIMEOUT)
            return true;
    return false;
}

// The first top-level window of the family with that class and title (either
// may be null, as for FindWindowEx) that accept, when given, takes; or 0.
inline HWND Family_FindWindow(Family &f, const char *cls, const char *title,
                              const std::function<bool(HWND)> &accept = nullptr)
{
    HWND window = 0;
    while ((window = FindWindowExA(0, window, cls, title)) != 0)
        if (Family_Owns(f, window) && (!accept || accept(window)))
            return window;
    return 0;
}

// Family_FindWindow, waiting up to timeoutMs; 0 when none came, or at once
// when the whole family has ended.
inline HWND Family_WaitWindow(Family &f, const char *cls, const char *title, DWORD timeoutMs,
                              const std::function<bool(HWND)> &accept = nullptr)
{
    const DWORD start = GetTickCount();
    for (;;) {
        bool alive = Family_Alive(f);
        if (HWND window = Family_FindWindow(f, cls, title, accept))
            return window;
        if (!alive || GetTickCount() - start >= timeoutMs)
            return 0;
        Sleep(50);
    }
}

// Ends every member still running, and whatever they start meanwhile.
inline void Family_Terminate(Family &f, UINT code)
{
    for (int round = 0; round < 10 && Family_Alive(f); round++)
        for (const FamilyMember &m : f.members)
            if (TerminateProcess(m.process, code))
                WaitForSingleObject(m.process, 5000);
}
