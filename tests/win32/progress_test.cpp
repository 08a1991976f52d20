// progress_test: the progress window and its meter, pixel by pixel.
#include <gtest/gtest.h>
#include <windows.h>

#include <cstdio>
#include <fstream>
#include <string>

#include "module_support.h"

TEST(Progress, CentredTopmostWithCaptionAndText)
{
    HWND w = Progress_Open(GetModuleHandleA(0), "Progress Caption");
    ASSERT_NE(w, nullptr);
    RECT r;
    GetWindowRect(w, &r);
    EXPECT_EQ(r.left, (GetSystemMetrics(SM_CXFULLSCREEN) - (r.right - r.left)) / 2);
    EXPECT_EQ(r.top, (GetSystemMetrics(SM_CYFULLSCREEN) - (r.bottom - r.top)) / 2);
    EXPECT_TRUE(GetWindowLongA(w, GWL_EXSTYLE) & WS_EX_TOPMOST);
    EXPECT_FALSE(GetWindowLongA(w, GWL_STYLE) & WS_SYSMENU);
    char text[64];
    GetWindowTextA(w, text, sizeof text);
    EXPECT_STREQ(text, "Progress Caption");
    GetWindowTextA(GetWindow(w, GW_CHILD), text, sizeof text);
    EXPECT_STREQ(text, "Extracting Files...");
    DestroyWindow(w);
}

TEST(Progress, MeterPixelsFollowThePercentageAndTheSystemColours)
{
    HWND w = Progress_Open(GetModuleHandleA(0), "Meter");
    ASSERT_NE(w, nullptr);
    HWND meter = GetDlgItem(w, IDC_METER);
    RECT c;
    GetClientRect(meter, &c);
    const int W = c.right, H = c.bottom;
    Progress_DrawMeter(w, 42);
    const int f = 42 * W / 100;
    EXPECT_EQ(Pixel(meter, 0, H / 2), RGB(0, 0, 0));
    EXPECT_EQ(Pixel(meter, W - 1, 0), RGB(0, 0, 0));
    for (int x = 1; x <= f - 2; x++)
        ASSERT_EQ(Pixel(meter, x, 1), GetSysColor(COLOR_HIGHLIGHT)) << x;
    for (int x = f + 2; x <= W - 2; x++)
        ASSERT_EQ(Pixel(meter, x, 1), GetSysColor(COLOR_WINDOW)) << x;

    // At 50% the text crosses the boundary: both text colours appear.
    Progress_DrawMeter(w, 50);
    bool highlightText = false, windowText = false;
    for (int y = 2; y < H - 2; y++)
        for (int x = 2; x < W - 2; x++) {
            COLORREF p = Pixel(meter, x, y);
            highlightText |= x < W / 2 - 1 && p == GetSysColor(COLOR_HIGHLIGHTTEXT);
            windowText |= x > W / 2 + 1 && p == GetSysColor(COLOR_WINDOWTEXT);
        }
    EXPECT_TRUE(highlightText);
    EXPECT_TRUE(windowText);

    int element = COLOR_HIGHLIGHT;
    COLORREF old = GetSysColor(COLOR_HIGHLIGHT), red = RGB(255, 0, 0);
    ASSERT_TRUE(SetSysColors(1, &element, &red));
    Progress_DrawMeter(w, 42);
    EXPECT_EQ(Pixel(meter, 1, 1), red);
    SetSysColors(1, &element, &old);
    Progress_DrawMeter(0, 42);  // no window: nothing is drawn, nothing crashes
    DestroyWindow(w);
}

// Saves the progress window at 42% as a BMP in SELFEXTR_ARTEFACTS, as the
// screen shows it: copied from the window's own surface (frame and caption
// included), so that no other test's window lying over it comes into the picture.
TEST(Progress, ScreenshotAt42)
{
    char dir[MAX_PATH];
    if (!GetEnvironmentVariableA("SELFEXTR_ARTEFACTS", dir, sizeof dir))
        GTEST_SKIP() << "SELFEXTR_ARTEFACTS is not set";
    HWND w = Progress_Open(GetModuleHandleA(0), "selfextr Example");
    ASSERT_NE(w, nullptr);
    MSG msg;
    while (PeekMessageA(&msg, 0, 0, 0, PM_REMOVE))
        DispatchMessageA(&msg);  // the controls' first paint, which the bar must follow
    Progress_DrawMeter(w, 42);
    // Wine copies a window's drawing to the X screen when its thread next
    // looks at its queue; the stub's own drawing needs no such step on Windows.
    PeekMessageA(&msg, 0, 0, 0, PM_NOREMOVE);
    Sleep(200);
    PeekMessageA(&msg, 0, 0, 0, PM_NOREMOVE);
    RECT r;
    GetWindowRect(w, &r);
    const int cx = r.right - r.left, cy = r.bottom - r.top;
    BITMAPINFO bi = {};
    bi.bmiHeader.biSize = sizeof bi.bmiHeader;
    bi.bmiHeader.biWidth = cx;
    bi.bmiHeader.biHeight = cy;
    bi.bmiHeader.biPlanes = 1;
    bi.bmiHeader.biBitCount = 24;
    void *bits = nullptr;
    HDC window = GetWindowDC(w), memory = CreateCompatibleDC(window);
    HBITMAP shot = CreateDIBSection(window, &bi, DIB_RGB_COLORS, &bits, 0, 0);
    HGDIOBJ old = SelectObject(memory, shot);
    ASSERT_TRUE(BitBlt(memory, 0, 0, cx, cy, window, 0, 0, SRCCOPY));
    SelectObject(memory, old);
    const DWORD stride = (cx * 3 + 3) & ~3u, size = stride * cy;
    BITMAPFILEHEADER fh = {0x4D42, sizeof fh + sizeof bi.bmiHeader + size, 0, 0, sizeof fh + sizeof bi.bmiHeader};
    std::ofstream out(std::string(dir) + "\\progress-42.bmp", std::ios::binary);
    out.write((const char *)&fh, sizeof fh);
    out.write((const char *)&bi.bmiHeader, sizeof bi.bmiHeader);
    out.write((const char *)bits, size);
    EXPECT_TRUE(out.good());
    DeleteObject(shot);
    DeleteDC(memory);
    ReleaseDC(w, window);
    DestroyWindow(w);
}
