// imports.h: the runner's most-called imports (five call sites or more),
// declared again without dllimport, so that each call goes to the linker's
// one-jump thunk: a 5-byte direct call instead of a 6-byte indirect one, and
// no base relocation at each call site (one for the thunk instead). Every
// source of the runner gets it first (-include); the stub is not built so.
#pragma once
#include <windows.h>

// GCC notes that the earlier dllimport is dropped: that is the point.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wattributes"
extern "C" {
BOOL WINAPI CloseHandle(HANDLE object);
DWORD WINAPI GetLastError(void);
FARPROC WINAPI GetProcAddress(HMODULE module, LPCSTR name);
BOOL WINAPI SetEvent(HANDLE event);
DWORD WINAPI GetTickCount(void);
HANDLE WINAPI CreateFileW(LPCWSTR name, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security, DWORD disposition,
                          DWORD flags, HANDLE templateFile);
BOOL WINAPI VirtualFree(LPVOID address, SIZE_T size, DWORD type);
DWORD WINAPI MsgWaitForMultipleObjects(DWORD count, const HANDLE *handles, BOOL all, DWORD milliseconds, DWORD wakeMask);
}
#pragma GCC diagnostic pop

// The handle GetCurrentProcess returns is a constant Windows documents,
// (HANDLE)-1: no call, and one import fewer.
#define GetCurrentProcess() ((HANDLE)(LONG_PTR)-1)
