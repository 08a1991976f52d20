// testproc.h: starts a program, lets the test act while it runs, returns its
// exit code; and reads what a program left in a folder.
#pragma once
#include <windows.h>

#include <functional>
#include <string>

// Starts command; false when it could not start. The caller closes both handles.
inline bool Process_Start(std::string command, PROCESS_INFORMATION &pi, const void *env = nullptr)
{
    STARTUPINFOA si = {sizeof si};
    return CreateProcessA(0, &command[0], 0, 0, FALSE, 0, const_cast<void *>(env), 0, &si, &pi) != 0;
}

// Waits up to timeoutMs for the process to end and closes its handles;
// returns its exit code, STILL_ACTIVE (259) if it did not end in time.
inline DWORD Process_Finish(PROCESS_INFORMATION &pi, DWORD timeoutMs = 120000)
{
    WaitForSingleObject(pi.hProcess, timeoutMs);
    DWORD code = 0xFFFFFFFE;
    GetExitCodeProcess(pi.hProcess, &code);
    CloseHandle(pi.hProcess);
    CloseHandle(pi.hThread);
    return code;
}

// Returns the exit code, 0xFFFFFFFF when the program could not start.
inline DWORD Process_Run(std::string command, const void *env = nullptr,
                         const std::function<void(DWORD pid)> &whileRunning = nullptr, DWORD timeoutMs = 120000)
{
    PROCESS_INFORMATION pi;
    if (!Process_Start(command, pi, env))
        return 0xFFFFFFFF;
    if (whileRunning)
        whileRunning(pi.dwProcessId);
    return Process_Finish(pi, timeoutMs);
}

// A file's last-write time as local MS-DOS words: MAKELONG(time, date).
inline DWORD LocalDosStamp(const std::string &path)
{
    HANDLE h = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, 0, OPEN_EXISTING, 0, 0);
    FILETIME utc = {}, local;
    GetFileTime(h, 0, 0, &utc);
    CloseHandle(h);
    FileTimeToLocalFileTime(&utc, &local);
    WORD date = 0, time = 0;
    FileTimeToDosDateTime(&local, &date, &time);
    return MAKELONG(time, date);
}

// A new, empty folder in the temporary folder, named after tag; the process
// number, the tick count and a count of calls keep it apart from any other.
inline std::string FreshTempFolder(const std::string &tag)
{
    static int made = 0;
    char temp[MAX_PATH];
    GetTempPathA(sizeof temp, temp);
    std::string dir = std::string(temp) + "sx-" + tag + "-" + std::to_string(GetCurrentProcessId()) + "-" +
                      std::to_string(GetTickCount()) + "-" + std::to_string(++made);
    CreateDirectoryA(dir.c_str(), 0);
    return dir;
}

// How many files and folders dir holds.
inline int FilesIn(const std::string &dir)
{
    WIN32_FIND_DATAA data;
    HANDLE h = FindFirstFileA((dir + "\\*").c_str(), &data);
    int n = 0;
    if (h == INVALID_HANDLE_VALUE)
        return 0;
    do
        n += data.cFileName[0] != '.';
    while (FindNextFileA(h, &data));
    FindClose(h);
    return n;
}
