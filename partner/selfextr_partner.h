/* selfextr_partner.h: what a setup program needs to tell a selfextr stub that
 * the extracted files are no longer needed. Header-only, C and C++.
 *
 *   #include "selfextr_partner.h"
 *   ...as the last act of the setup program (or of a program it starts):
 *   SelfExtr_RequestCleanup(5000);
 *
 * The stub waits on a hidden top-level window of class "QVSELFEXTR", created
 * just after it started the setup program; WM_COMMAND with 0xABCD in the low
 * word of wParam makes it delete every file it wrote and end. See docs/protocol.md.
 */
#ifndef SELFEXTR_PARTNER_H
#define SELFEXTR_PARTNER_H

#include <windows.h>

#define SELFEXTR_WINDOW_CLASS "QVSELFEXTR"
#define SELFEXTR_ID_CLEANUP   0xABCD

#ifdef __cplusplus
extern "C" {
#endif

/* Finds the stub's window, waiting up to timeoutMs for it to appear. Returns
 * 0 if none came. The stub starts the setup program with WinExec, which
 * returns only once the started program waits for input (its first
 * GetMessage or PeekMessage) or after 30 seconds; the stub creates its
 * window after that. Peeking here marks this program as waiting for input. */
static __inline HWND SelfExtr_FindWindow(DWORD timeoutMs)
{
    DWORD start = GetTickCount();
    MSG msg;
    PeekMessageA(&msg, 0, 0, 0, PM_NOREMOVE);
    for (;;) {
        HWND window = FindWindowA(SELFEXTR_WINDOW_CLASS, 0);
        if (window != 0 || GetTickCount() - start >= timeoutMs)
            return window;
        Sleep(50);
    }
}

/* Posts the clean-up command. Returns nonzero when it was posted; a partner
 * that finds no window sends nothing. */
static __inline BOOL SelfExtr_RequestCleanup(DWORD timeoutMs)
{
    HWND window = SelfExtr_FindWindow(timeoutMs);
    return window != 0 && PostMessageA(window, WM_COMMAND, SELFEXTR_ID_CLEANUP, 0);
}

#ifdef __cplusplus
}
#endif

#endif
