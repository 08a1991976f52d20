/* lookalike: a program that has what the stub's image has besides the package
 * marker, the progress dialog 2000 and a string in the block of the package
 * total (3000), and is no stub. It starts the command line it is given,
 * waits for it and ends with its exit code. */
#include <windows.h>

int WINAPI WinMain(HINSTANCE instance, HINSTANCE previous, LPSTR command, int show)
{
    STARTUPINFOA si;
    PROCESS_INFORMATION pi;
    DWORD code = 99;
    (void)instance;
    (void)previous;
    (void)show;
    ZeroMemory(&si, sizeof si);
    si.cb = sizeof si;
    if (!CreateProcessA(0, command, 0, 0, FALSE, 0, 0, 0, &si, &pi))
        return 98;
    WaitForSingleObject(pi.hProcess, INFINITE);
    GetExitCodeProcess(pi.hProcess, &code);
    CloseHandle(pi.hProcess);
    CloseHandle(pi.hThread);
    return (int)code;
}
