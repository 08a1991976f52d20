// testproc.h: starts a program, lets the test act while it runs, returns its exit code.
#pragma once
#include <windows.h>

#include <functional>
#include <string>

// Returns the exit code, 0xFFFFFFFF when the program could not start.
inline DWORD Process_Run(std::string command, const void *env = nullptr,
                         const std::function<void(DWORD pid)> &whileRunning = nullptr, DWORD timeoutMs = 120000)
{
    STARTUPINFOA si = {sizeof si};
    PROCESS_INFORMATION pi;
    if (!CreateProcessA(0, &command[0], 0, 0, FALSE, 0, const_cast<void *>(env), 0, &si, &pi))
        return 0xFFFFFFFF;
    if (whileRunning)
        whileRunning(pi.dwProcessId);
    WaitForSingleObject(pi.hProcess, timeoutMs);
    DWORD code = 0xFFFFFFFE;
    GetExitCodeProcess(pi.hProcess, &code);
    CloseHandle(pi.hProcess);
    CloseHandle(pi.hThread);
    return code;
}
