// progress.cpp: no message loop runs while entries are written, so the meter
// is drawn straight onto the control after every chunk, never from WM_PAINT.
#include "progress.h"
#include "meter.h"
#include "selfextr.h"

static BOOL OnInitDialog(HWND dialog, LPARAM caption)
{
    SetWindowTextA(dialog, (const char *)caption);
    Progress_Centre(dialog);
    return TRUE;
}

static BOOL OnSysColorChange(HWND dialog)
{
    InvalidateRect(dialog, 0, TRUE);
    return TRUE;
}

static INT_PTR CALLBACK ProgressProc(HWND dialog, UINT msg, WPARAM, LPARAM lParam)
{
    switch (msg) {
    case WM_INITDIALOG:     return OnInitDialog(dialog, lParam);
    case WM_SYSCOLORCHANGE: return OnSysColorChange(dialog);
    default:                return FALSE;
    }
}

void Progress_Centre(HWND window)
{
    RECT box;
    GetWindowRect(window, &box);
    int w = box.right - box.left;
    int h = box.bottom - box.top;
    int x, y;
    HWND parent = GetParent(window);
    if (parent != 0) {
        RECT p;
        GetWindowRect(parent, &p);
        x = p.left + ((p.right - p.left) - w) / 2;
        y = p.top + ((p.bottom - p.top) - h) / 2;
    } else {
        x = (GetSystemMetrics(SM_CXFULLSCREEN) - w) / 2;
        y = (GetSystemMetrics(SM_CYFULLSCREEN) - h) / 2;
    }
    SetWindowPos(window, HWND_TOPMOST, x, y, 0, 0, SWP_NOSIZE | SWP_FRAMECHANGED | SWP_SHOWWINDOW);
    UpdateWindow(window);
}

HWND Progress_Open(HINSTANCE module, const char *caption)
{
    return CreateDialogParamA(module, MAKEINTRESOURCEA(IDD_PROGRESS), 0, ProgressProc, (LPARAM)caption);
}

// Each part takes the user's own system colours at every redraw, so that a
// high-contrast scheme shows; a change of scheme only invalidates the window,
// and the next chunk's redraw paints the meter in the new colours.
static void FillPart(HDC dc, int x, int y, const MeterBox &box, int background, int foreground,
                     const char *text, int length)
{
    RECT r = { box.left, box.top, box.right, box.bottom };
    SetBkColor(dc, GetSysColor(background));
    SetTextColor(dc, GetSysColor(foreground));
    ExtTextOutA(dc, x, y, ETO_OPAQUE | ETO_CLIPPED, &r, text, (UINT)length, 0);
}

void Progress_DrawMeter(HWND window, UINT percent)
{
    // A null window would make GetDC give the whole screen.
    if (window == 0)
        return;
    HWND meter = GetDlgItem(window, IDC_METER);
    if (meter == 0)
        return;
    HDC dc = GetDC(meter);
    if (dc == 0)
        return;
#ifdef SELFEXTR_COUNTING
    g_countRedraw++;
#endif
    RECT client;
    GetClientRect(meter, &client);
    FrameRect(dc, &client, (HBRUSH)GetStockObject(BLACK_BRUSH));

    char text[16];
    int length = wsprintfA(text, "%u%%", percent);
    SIZE extent;
    GetTextExtentPointA(dc, text, length, &extent);
    MeterLayout layout;
    Meter_Layout(client.right, client.bottom, extent.cx, extent.cy, percent, &layout);

    SetBkMode(dc, TRANSPARENT);
    FillPart(dc, layout.textX, layout.textY, layout.done, COLOR_HIGHLIGHT, COLOR_HIGHLIGHTTEXT, text, length);
    FillPart(dc, layout.textX, layout.textY, layout.rest, COLOR_WINDOW, COLOR_WINDOWTEXT, text, length);
    ReleaseDC(meter, dc);
}
