// partner_test: the partner header against this process playing the stub.
#include <gtest/gtest.h>
#include <windows.h>

#include <cstdio>
#include <string>

#include "module_support.h"

static LRESULT CALLBACK StubLikeProc(HWND w, UINT msg, WPARAM wp, LPARAM lp)
{
    if (msg == WM_COMMAND || msg == WM_TIMER)
        PostQuitMessage(msg == WM_COMMAND ? (int)LOWORD(wp) : -1);
    return DefWindowProcA(w, msg, wp, lp);
}

// This process plays the stub: it starts a program that uses the partner
// header, waits for it to be idle as WinExec does, and only then creates the
// window, which is what the partner must wait for and post to.
TEST(Partner, IsIdleAtOnceAndPostsToTheWindowOfTheProcessThatStartedIt)
{
    PROCESS_INFORMATION pi;
    ASSERT_TRUE(Process_Start("\"" + g_partnerChild + "\"", pi));
    // Were the partner not idle, this would end with WAIT_TIMEOUT.
    EXPECT_EQ(WaitForInputIdle(pi.hProcess, 60000), 0u);
    EXPECT_EQ(WaitForSingleObject(pi.hProcess, 0), (DWORD)WAIT_TIMEOUT) << "the partner gave up before the window came";
    WNDCLASSA wc = {};
    wc.lpfnWndProc = StubLikeProc;
    wc.lpszClassName = SELFEXTR_WINDOW_CLASS;
    ASSERT_TRUE(RegisterClassA(&wc));
    HWND window = CreateWindowExA(0, SELFEXTR_WINDOW_CLASS, 0, WS_OVERLAPPEDWINDOW, 0, 0, 0, 0, 0, 0, 0, 0);
    ASSERT_NE(window, nullptr);
    SetTimer(window, 1, 120000, 0);  // bounds the wait, nothing more
    MSG msg;
    while (GetMessageA(&msg, 0, 0, 0) > 0)
        DispatchMessageA(&msg);
    const int command = (int)msg.wParam;
    EXPECT_EQ(command, SELFEXTR_ID_CLEANUP);
    EXPECT_EQ(Process_Finish(pi), 0u);
    DestroyWindow(window);
    UnregisterClassA(SELFEXTR_WINDOW_CLASS, 0);
}

// A program with the stub's dialog 2000 and the package total's string block,
// but without the package marker, stands between this process (playing the
// stub, its window up) and the partner. It is no stub: the partner does not
// wait there for a window that never comes, and posts to this process's.
TEST(Partner, AProgramWithTheStubsResourcesButNoMarkerIsNoStub)
{
    WNDCLASSA wc = {};
    wc.lpfnWndProc = StubLikeProc;
    wc.lpszClassName = SELFEXTR_WINDOW_CLASS;
    ASSERT_TRUE(RegisterClassA(&wc));
    HWND window = CreateWindowExA(0, SELFEXTR_WINDOW_CLASS, 0, WS_OVERLAPPEDWINDOW, 0, 0, 0, 0, 0, 0, 0, 0);
    ASSERT_NE(window, nullptr);
    const std::string lookalike = g_partnerChild.substr(0, g_partnerChild.rfind('\\') + 1) + "lookalike.exe";
    PROCESS_INFORMATION pi;
    ASSERT_TRUE(Process_Start("\"" + lookalike + "\" \"" + g_partnerChild + "\"", pi));
    SetTimer(window, 1, 120000, 0);  // bounds the wait, nothing more
    MSG msg;
    while (GetMessageA(&msg, 0, 0, 0) > 0)
        DispatchMessageA(&msg);
    const bool posted = (int)msg.wParam == SELFEXTR_ID_CLEANUP;
    EXPECT_TRUE(posted) << "the partner waited for the lookalike's window";
    if (!posted) {
        Family family(pi.dwProcessId);
        Family_Terminate(family, 1);
    }
    // The lookalike ends with the partner's code: 0, posted.
    EXPECT_EQ(Process_Finish(pi), 0u);
    DestroyWindow(window);
    UnregisterClassA(SELFEXTR_WINDOW_CLASS, 0);
}
