/* show.c: the demo package's command. Shows the folder it runs in (the
 * runner's private folder) and every folder and file it sees there, with
 * sizes and dates; closing it ends the command, and the runner cleans up. */
#include <windows.h>
#include <stdio.h>

#define TITLE "selfextr Demo: the private folder"

static void Add(HWND list, const char *line) { SendMessageA(list, LB_ADDSTRING, 0, (LPARAM)line); }

/* Every entry below root\rel, folders before their contents, indented by depth. */
static void List(HWND list, const char *root, const char *rel, int depth)
{
    char pattern[MAX_PATH * 2], line[MAX_PATH * 2], sub[MAX_PATH * 2];
    snprintf(pattern, sizeof pattern, "%s%s\\*", root, rel);
    WIN32_FIND_DATAA data;
    HANDLE search = FindFirstFileA(pattern, &data);
    if (search == INVALID_HANDLE_VALUE)
        return;
    do {
        if (strcmp(data.cFileName, ".") == 0 || strcmp(data.cFileName, "..") == 0)
            continue;
        FILETIME local;
        SYSTEMTIME t;
        FileTimeToLocalFileTime(&data.ftLastWriteTime, &local);
        FileTimeToSystemTime(&local, &t);
        const int dir = (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
        char name[MAX_PATH + 2];
        snprintf(name, sizeof name, "%s%s", data.cFileName, dir ? "\\" : "");
        if (dir)
            snprintf(line, sizeof line, "  %*s%-*s %12s  %04u-%02u-%02u %02u:%02u", depth * 2, "", 30 - depth * 2, name,
                     "", t.wYear, t.wMonth, t.wDay, t.wHour, t.wMinute);
        else
            snprintf(line, sizeof line, "  %*s%-*s %12lu  %04u-%02u-%02u %02u:%02u", depth * 2, "", 30 - depth * 2, name,
                     data.nFileSizeLow, t.wYear, t.wMonth, t.wDay, t.wHour, t.wMinute);
        Add(list, line);
        if (dir) {
            snprintf(sub, sizeof sub, "%s\\%s", rel, data.cFileName);
            List(list, root, sub, depth + 1);
        }
    } while (FindNextFileA(search, &data));
    FindClose(search);
}

static void Fill(HWND list)
{
    char folder[MAX_PATH], program[MAX_PATH], line[MAX_PATH + 64];
    GetCurrentDirectoryA(sizeof folder, folder);
    GetModuleFileNameA(0, program, sizeof program);
    snprintf(line, sizeof line, "Running in %s", folder);
    Add(list, line);
    snprintf(line, sizeof line, "as %s", program);
    Add(list, line);
    Add(list, "");
    Add(list, "What it sees there:");
    List(list, folder, "", 0);
    Add(list, "");
    Add(list, "Close this window: the runner deletes the folder and tells the stub.");
}

static LRESULT CALLBACK MainProc(HWND window, UINT msg, WPARAM wParam, LPARAM lParam)
{
    switch (msg) {
    case WM_CREATE: {
        RECT r;
        GetClientRect(window, &r);
        HWND list = CreateWindowExA(WS_EX_CLIENTEDGE, "LISTBOX", 0, WS_CHILD | WS_VISIBLE | WS_VSCROLL | LBS_NOSEL,
                                    8, 8, r.right - 16, r.bottom - 16, window, (HMENU)1, 0, 0);
        SendMessageA(list, WM_SETFONT, (WPARAM)GetStockObject(ANSI_FIXED_FONT), 0);
        Fill(list);
        return 0;
    }
    case WM_DESTROY:
        /* No clean-up request of its own: the runner waits for this program
         * and everything it starts, then deletes the folder and tells the stub. */
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
    wc.lpszClassName = "SelfExtrDemoShow";
    RegisterClassA(&wc);
    HWND window = CreateWindowExA(0, wc.lpszClassName, TITLE, WS_OVERLAPPEDWINDOW, CW_USEDEFAULT, CW_USEDEFAULT, 600, 300,
                                  0, 0, instance, 0);
    ShowWindow(window, show);
    MSG msg;
    while (GetMessageA(&msg, 0, 0, 0) > 0) {
        TranslateMessage(&msg);
        DispatchMessageA(&msg);
    }
    return 0;
}
