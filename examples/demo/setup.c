/* setup.c: the example package's SETUP.EXE. Shows the files beside it with
 * their sizes and dates, and tells the stub to clean up when it is closed. */
#include <windows.h>
#include <stdio.h>

#include "selfextr_partner.h"

static void Fill(HWND list)
{
    char folder[MAX_PATH], pattern[MAX_PATH + 4], line[400];
    GetModuleFileNameA(0, folder, sizeof folder);
    *strrchr(folder, '\\') = '\0';
    snprintf(pattern, sizeof pattern, "%s\\*", folder);
    snprintf(line, sizeof line, "Extracted into %s:", folder);
    SendMessageA(list, LB_ADDSTRING, 0, (LPARAM)line);
    WIN32_FIND_DATAA data;
    HANDLE search = FindFirstFileA(pattern, &data);
    if (search == INVALID_HANDLE_VALUE)
        return;
    do {
        if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
            continue;
        FILETIME local;
        SYSTEMTIME t;
        FileTimeToLocalFileTime(&data.ftLastWriteTime, &local);
        FileTimeToSystemTime(&local, &t);
        snprintf(line, sizeof line, "%-14s %10lu  %04u-%02u-%02u %02u:%02u", data.cFileName, data.nFileSizeLow,
                 t.wYear, t.wMonth, t.wDay, t.wHour, t.wMinute);
        SendMessageA(list, LB_ADDSTRING, 0, (LPARAM)line);
    } while (FindNextFileA(search, &data));
    FindClose(search);
}

static LRESULT CALLBACK MainProc(HWND window, UINT msg, WPARAM wParam, LPARAM lParam)
{
    switch (msg) {
    case WM_CREATE: {
        HWND list = CreateWindowExA(WS_EX_CLIENTEDGE, "LISTBOX", 0, WS_CHILD | WS_VISIBLE | WS_VSCROLL,
                                    8, 8, 464, 200, window, (HMENU)1, 0, 0);
        SendMessageA(list, WM_SETFONT, (WPARAM)GetStockObject(ANSI_FIXED_FONT), 0);
        Fill(list);
        return 0;
    }
    case WM_DESTROY:
        SelfExtr_RequestCleanup(SELFEXTR_WAIT_WHILE_STUB_LIVES);
        PostQuitMessage(0);
        return 0;
    default:
        return DefWindowProcA(window, msg, wParam, lParam);
    }
}

int WINAPI WinMain(HINSTANCE instance, HINSTANCE previous, LPSTR command, int show)
{
    (void)previous;
    (void)command;
    WNDCLASSA wc = {0};
    wc.lpfnWndProc = MainProc;
    wc.hInstance = instance;
    wc.hCursor = LoadCursorA(0, IDC_ARROW);
    wc.hbrBackground = (HBRUSH)(COLOR_BTNFACE + 1);
    wc.lpszClassName = "SelfExtrDemoSetup";
    RegisterClassA(&wc);
    HWND window = CreateWindowExA(0, wc.lpszClassName, "Example Setup: the extracted files", WS_OVERLAPPEDWINDOW,
                                  CW_USEDEFAULT, CW_USEDEFAULT, 496, 260, 0, 0, instance, 0);
    ShowWindow(window, show);
    MSG msg;
    while (GetMessageA(&msg, 0, 0, 0) > 0) {
        TranslateMessage(&msg);
        DispatchMessageA(&msg);
    }
    return 0;
}
