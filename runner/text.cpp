// text.cpp: bounded text, the one failure message, and the message pump.
#include "runner.h"

uint32_t Text_Length(const WCHAR *text)
{
    uint32_t n = 0;
    while (text[n] != 0)
        n++;
    return n;
}

void Text_Append(WCHAR *buffer, uint32_t capacity, const WCHAR *text)
{
    uint32_t n = Text_Length(buffer);
    while (*text != 0 && n + 1 < capacity)
        buffer[n++] = *text++;
    buffer[n] = 0;
}

void Text_AppendAscii(WCHAR *buffer, uint32_t capacity, const char *text)
{
    uint32_t n = Text_Length(buffer);
    while (*text != 0 && n + 1 < capacity)
        buffer[n++] = (uint8_t)*text++;
    buffer[n] = 0;
}

const char kSettingsDamaged[] = "The package's settings are damaged. Please download it again.";

enum { kMessageUnits = kPathChars + 1024 };
static WCHAR g_message[kMessageUnits];

void Fail_Show(RunnerState *rs, const char *what, const WCHAR *subject, DWORD error)
{
    WCHAR *message = InRegister(g_message);
    message[0] = 0;
    Text_AppendAscii(message, kMessageUnits, what);
    if (subject != 0) {
        Text_Append(message, kMessageUnits, L"\n\n");
        Text_Append(message, kMessageUnits, subject);
    }
    WCHAR reason[512];
    if (error != 0 && FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, 0, error, 0, reason, 512, 0) != 0) {
        Text_Append(message, kMessageUnits, L"\n\n");
        Text_Append(message, kMessageUnits, reason);
    }
    // The message stands alone: the progress window goes first.
    if (rs->progress != 0)
        DestroyWindow(rs->progress);
    rs->progress = 0;
    MessageBoxW(0, message, rs->caption[0] != 0 ? rs->caption : L"Setup", MB_OK | MB_ICONERROR);
}

void Pump_Messages(void)
{
    MSG msg;
    // No keyboard input to translate: the runner's windows take none.
    while (PeekMessageW(&msg, 0, 0, 0, PM_REMOVE))
        DispatchMessageW(&msg);
}
