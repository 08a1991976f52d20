// linger_setup: the SETUP.EXE of the hand-off measurement. Asks its stub for
// the clean-up (posted, or sent when SELFEXTR_LINGER_SEND is set), then keeps
// running SELFEXTR_LINGER_MS milliseconds before it ends.
#include <windows.h>

#include <cstdlib>

#include "selfextr_partner.h"

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int)
{
    char text[32] = "";
    GetEnvironmentVariableA("SELFEXTR_LINGER_MS", text, sizeof text);
    const DWORD linger = strtoul(text, 0, 10);
    const bool send = GetEnvironmentVariableA("SELFEXTR_LINGER_SEND", text, sizeof text) != 0;
    HWND stub = SelfExtr_FindWindow(SELFEXTR_WAIT_WHILE_STUB_LIVES);
    if (stub == 0)
        return 1;
    if (send)
        SendMessageA(stub, WM_COMMAND, SELFEXTR_ID_CLEANUP, 0);
    else
        PostMessageA(stub, WM_COMMAND, SELFEXTR_ID_CLEANUP, 0);
    Sleep(linger);
    return 0;
}
