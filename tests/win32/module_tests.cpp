// module_tests: the stub's modules against the real API, under Wine.
// Cases that need their own process (the start-up environment, the one-shot
// clean-up) run this program again as a child: module_tests --child NAME ARGS.
#include <gtest/gtest.h>
#include <windows.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>

#include "register.h"
#include "messages.h"
#include "selfextr_protocol.h"
#include "progress/progress.h"
#include "run.h"
#include "selfextr.h"
#include "startup.h"
#include "testproc.h"
#include "boxes.h"
#include "workdir.h"

// A message as the stub formats it for an entry.
static std::string Formatted(const char *format, UINT number)
{
    char text[kTextBytes];
    wsprintfA(text, format, number);
    return text;
}

static std::string g_self, g_packages;

static bool Exists(const std::string &p) { return GetFileAttributesA(p.c_str()) != INVALID_FILE_ATTRIBUTES; }
static void Put(const std::string &p, const std::string &text) { std::ofstream(p, std::ios::binary) << text; }
static std::string Get(const std::string &p)
{
    std::ifstream in(p, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

// A fresh folder, made the work folder.
static std::string FreshWorkFolder(const std::string &tag)
{
    std::string dir = FreshTempFolder(tag);
    lstrcpyA(g_workDir, dir.c_str());
    return dir;
}

// A finished stub loaded as data, as the writer reads its own image.
static HMODULE LoadPackage(const std::string &path)
{
    return LoadLibraryExA(path.c_str(), 0, LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
}

// The parent's environment without TEMP and TMP, plus extra ("NAME=value" strings).
static std::string EnvBlock(std::initializer_list<std::string> extra)
{
    std::string block;
    char *env = GetEnvironmentStringsA();
    for (char *s = env; *s; s += strlen(s) + 1) {
        std::string name(s, strcspn(s, "="));
        if (_stricmp(name.c_str(), "TEMP") != 0 && _stricmp(name.c_str(), "TMP") != 0 && !name.empty())
            block += std::string(s) + '\0';
    }
    FreeEnvironmentStringsA(env);
    for (auto &e : extra)
        block += e + '\0';
    return block + '\0';
}

static DWORD RunChild(const std::string &args, const std::string *env = nullptr)
{
    return Process_Run("\"" + g_self + "\" --child " + args, env ? env->data() : nullptr);
}

static std::string Fallback()
{
    char windows[MAX_PATH];
    GetWindowsDirectoryA(windows, sizeof windows);
    return std::string(1, windows[0]) + ":\\~QVTEMP";
}

// ---- work folder -------------------------------------------------------

static std::string ChooseWith(std::initializer_list<std::string> vars)
{
    std::string out = FreshTempFolder("wd-out") + "\\result.txt";
    std::string env = EnvBlock(vars);
    EXPECT_EQ(RunChild("workdir \"" + out + "\"", &env), 0u);
    return Get(out);
}

TEST(WorkFolder, TempThenTmpThenFallback)
{
    std::string a = FreshTempFolder("wd-a"), b = FreshTempFolder("wd-b");
    EXPECT_EQ(ChooseWith({"TEMP=" + a + "\\"}), a + "|0");
    EXPECT_EQ(ChooseWith({"TMP=" + b}), b + "|0");
    EXPECT_EQ(ChooseWith({"temp=" + a}), a + "|0");
    EXPECT_EQ(ChooseWith({"TEMP=" + a + "\\missing", "TMP=" + b}), Fallback() + "|1");
    EXPECT_EQ(ChooseWith({"TEMP=", "TMP=" + b}), Fallback() + "|1");
    EXPECT_EQ(ChooseWith({"TEMPDIR=" + a}), Fallback() + "|1");
    // Too long for the folder buffer: unusable, never cut short.
    EXPECT_EQ(ChooseWith({"TEMP=" + a + "\\" + std::string(280, 'x')}), Fallback() + "|1");
    EXPECT_TRUE(Exists(Fallback()));
    RemoveDirectoryA(Fallback().c_str());
}

TEST(PathProbe, FilesFoldersWildcardsAndTheEmptyPath)
{
    std::string dir = FreshTempFolder("probe");
    Put(dir + "\\file.txt", "x");
    EXPECT_TRUE(WorkDir_PathExists(dir.c_str()));
    EXPECT_TRUE(WorkDir_PathExists((dir + "\\").c_str()));
    EXPECT_TRUE(WorkDir_PathExists((dir + "\\file.txt").c_str()));
    EXPECT_TRUE(WorkDir_PathExists((dir + "\\*.txt").c_str()));
    EXPECT_TRUE(WorkDir_PathExists((dir + "\\f?le.txt").c_str()));
    EXPECT_FALSE(WorkDir_PathExists((dir + "\\*.bin").c_str()));
    EXPECT_FALSE(WorkDir_PathExists((dir + "\\missing").c_str()));
    EXPECT_FALSE(WorkDir_PathExists(""));
    EXPECT_FALSE(WorkDir_PathExists("\\"));
    EXPECT_FALSE(WorkDir_PathExists((dir + "\\" + std::string(300, 'y')).c_str()));
    HCURSOR before = GetCursor();
    WorkDir_PathExists(dir.c_str());
    EXPECT_EQ(GetCursor(), before);
}

// ---- stamp -------------------------------------------------------------

TEST(Stamp, LastWriteTimeUsesTheOffsetInForceNow)
{
    std::string path = FreshTempFolder("stamp") + "\\f.txt";
    HFILE file = _lcreat(path.c_str(), 0);
    ASSERT_NE(file, HFILE_ERROR);
    const WORD date = (16 << 9) | (7 << 5) | 9, time = 0x2000;  // 9 July 1996, 04:00
    Stamp_Apply(file, date, time);
    _lclose(file);
    HANDLE h = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, 0, OPEN_EXISTING, 0, 0);
    FILETIME got;
    GetFileTime(h, 0, 0, &got);
    CloseHandle(h);
    // Expected: the local time less the bias in force at this moment, whatever July's was.
    TIME_ZONE_INFORMATION tz;
    DWORD mode = GetTimeZoneInformation(&tz);
    LONG bias = tz.Bias + (mode == TIME_ZONE_ID_DAYLIGHT ? tz.DaylightBias : tz.StandardBias);
    SYSTEMTIME local = {1996, 7, 0, 9, 4, 0, 0, 0};
    FILETIME localFt;
    SystemTimeToFileTime(&local, &localFt);
    ULARGE_INTEGER expect;
    expect.LowPart = localFt.dwLowDateTime;
    expect.HighPart = localFt.dwHighDateTime;
    expect.QuadPart += (ULONGLONG)(LONGLONG)bias * 60 * 10000000;
    EXPECT_EQ(got.dwLowDateTime, expect.LowPart);
    EXPECT_EQ(got.dwHighDateTime, expect.HighPart);
}

// ---- register and clean-up ---------------------------------------------

static std::string CleanUpIn(const std::string &mode, const std::string &dir)
{
    std::string out = FreshTempFolder("cu-out") + "\\result.txt";
    EXPECT_EQ(RunChild("cleanup " + mode + " \"" + dir + "\" \"" + out + "\""), 0u);
    return Get(out);
}

TEST(CleanUp, ThreeDeletableFilesAndTheOwnFolder)
{
    std::string dir = FreshTempFolder("cu3");
    for (const char *n : {"a", "b", "c"})
        Put(dir + "\\" + n, n);
    EXPECT_EQ(CleanUpIn("plain", dir), "3 3 3");  // pumps, deletions, probes
    EXPECT_FALSE(Exists(dir));
}

TEST(CleanUp, AFileHeldOpenStaysAfterExactly257Attempts)
{
    std::string dir = FreshTempFolder("cuheld");
    for (const char *n : {"a", "b", "c"})
        Put(dir + "\\" + n, n);
    HANDLE held = CreateFileA((dir + "\\b").c_str(), GENERIC_READ, FILE_SHARE_READ, 0, OPEN_EXISTING, 0, 0);
    ASSERT_NE(held, INVALID_HANDLE_VALUE);
    EXPECT_EQ(CleanUpIn("plain", dir), "259 259 258");  // 1 + 257 + 1 deletions, 1 + 256 + 1 probes
    EXPECT_FALSE(Exists(dir + "\\a"));
    EXPECT_TRUE(Exists(dir + "\\b"));
    EXPECT_FALSE(Exists(dir + "\\c"));
    CloseHandle(held);
    DeleteFileA((dir + "\\b").c_str());
    RemoveDirectoryA(dir.c_str());
}

TEST(CleanUp, AFileReleasedDuringTheAttemptsIsDeletedAtTheNextOne)
{
    std::string dir = FreshTempFolder("curel");
    for (const char *n : {"a", "b", "c"})
        Put(dir + "\\" + n, n);
    // b is released by a message posted at its third failed attempt, which the
    // pump before the fourth dispatches: a and c once each, b four times.
    EXPECT_EQ(CleanUpIn("release", dir), "6 6 6");
    EXPECT_FALSE(Exists(dir));
}

TEST(CleanUp, EmptyRegisterOnlyRemovesTheFolderAndASecondRequestDoesNothing)
{
    std::string dir = FreshTempFolder("cuempty");
    EXPECT_EQ(CleanUpIn("empty", dir), "0 0 0");
    EXPECT_FALSE(Exists(dir));
    std::string again = FreshTempFolder("cuagain");
    Put(again + "\\a", "a");
    EXPECT_EQ(CleanUpIn("twice", again), "1 1 1");
    EXPECT_FALSE(Exists(again));
}

TEST(CleanUp, AFallbackFolderThatExistedBeforeIsRemoved)
{
    CreateDirectoryA(Fallback().c_str(), 0);
    std::string out = FreshTempFolder("cu-fb") + "\\result.txt";
    std::string env = EnvBlock({"TEMP="});
    EXPECT_EQ(RunChild("fallback \"" + out + "\"", &env), 0u);
    EXPECT_EQ(Get(out), Fallback() + "|1|1 1 1");
    EXPECT_FALSE(Exists(Fallback()));
}

// ---- progress window ---------------------------------------------------

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

static COLORREF Pixel(HWND meter, int x, int y)
{
    HDC dc = GetDC(meter);
    COLORREF c = GetPixel(dc, x, y);
    ReleaseDC(meter, dc);
    return c;
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

// Saves the progress window at 42% as a BMP in SELFEXTR_ARTEFACTS, captured
// from the screen as a person would see it.
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
    HDC screen = GetDC(0), memory = CreateCompatibleDC(screen);
    HBITMAP shot = CreateDIBSection(screen, &bi, DIB_RGB_COLORS, &bits, 0, 0);
    HGDIOBJ old = SelectObject(memory, shot);
    ASSERT_TRUE(BitBlt(memory, 0, 0, cx, cy, screen, r.left, r.top, SRCCOPY));
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
    ReleaseDC(0, screen);
    DestroyWindow(w);
}

// ---- entry writer ------------------------------------------------------

// Slots of the register in use.
static int Slots()
{
    int n = 0;
    while (n < MAX_REGISTER && g_register[n] != nullptr)
        n++;
    return n;
}


TEST(Writer, ChunksRedrawsStampAndReplacement)
{
    HMODULE package = LoadPackage(g_packages + "\\writer.exe");
    ASSERT_NE(package, nullptr);
    std::string dir = FreshWorkFolder("writer");
    Put(dir + "\\BIG.BIN", "an older file of the same name");
    RunState rs = {};
    rs.module = package;
    rs.total = 70005;
    rs.stampDate = 0x2169;
    rs.stampTime = 0x2000;
    rs.progress = Progress_Open(GetModuleHandleA(0), "Writer");

    g_countChunk = g_countRedraw = 0;
    EXPECT_EQ(Writer_Extract(&rs, 1000), kWriterNext);
    EXPECT_EQ(g_countChunk, 3);  // 32,760 + 32,760 + 4,480
    EXPECT_EQ(g_countRedraw, 3);
    HRSRC found = FindResourceA(package, MAKEINTRESOURCEA(1000), MAKEINTRESOURCEA(RT_ENTRY));
    std::string data((const char *)LockResource(LoadResource(package, found)), SizeofResource(package, found));
    EXPECT_EQ(Get(dir + "\\BIG.BIN"), data);

    g_countChunk = g_countRedraw = 0;
    EXPECT_EQ(Writer_Extract(&rs, 1001), kWriterNext);
    EXPECT_EQ(g_countRedraw, 0);
    EXPECT_TRUE(Exists(dir + "\\EMPTY.TXT"));
    EXPECT_EQ(Get(dir + "\\EMPTY.TXT"), "");
    EXPECT_EQ(Writer_Extract(&rs, 1002), kWriterNext);
    EXPECT_EQ(Get(dir + "\\ A.TXT"), "hello");
    EXPECT_EQ(Writer_Extract(&rs, 1003), kWriterEnd);
    EXPECT_EQ(rs.written, rs.total);

    for (const char *n : {"\\BIG.BIN", "\\EMPTY.TXT", "\\ A.TXT"})
        EXPECT_EQ(LocalDosStamp(dir + n), MAKELONG(0x2000, 0x2169)) << n;
    EXPECT_EQ(Slots(), 3);
    DestroyWindow(rs.progress);
    FreeLibrary(package);
}

// Runs Writer_Extract while another thread answers the box it must show.
static WriterResult ExtractAnswering(RunState *rs, UINT number, const std::string &title, std::string &seen)
{
    BoxAnswer answer;
    answer.title = title;
    answer.button = IDOK;
    std::thread answerer([&] { Box_Answer(GetCurrentProcessId(), answer, 30000); });
    WriterResult result = Writer_Extract(rs, number);
    answerer.join();
    seen = answer.seenText;
    return result;
}

TEST(Writer, BadDescriptorsAreReportedAndSkippedWithoutASlotAndAGapEndsThePackage)
{
    // A package no packer of ours would write, made by the platform's UpdateResourceA.
    std::string dir = FreshTempFolder("crafted"), crafted = dir + "\\crafted.exe", hello = "@" + g_packages + "\\hello.txt";
    std::string command = "\"" + g_packages + "\\..\\updres.exe\" \"" + crafted + "\" \"" + g_packages +
        "\\..\\..\\..\\src\\selfextr-stub.exe\" 1000 6 NOCOMMA 1001 6 BIG.TXT,6 1002 6 OK.TXT,5 1004 6 LATE.TXT,5"
        " 1000 32 \"" + hello + "\" 1001 32 \"" + hello + "\" 1002 32 \"" + hello + "\" 1004 32 \"" + hello + "\"";
    ASSERT_EQ(Process_Run(command), 0u);
    HMODULE package = LoadPackage(crafted);
    ASSERT_NE(package, nullptr);
    std::string work = FreshWorkFolder("crafted-out");
    RunState rs = {};
    rs.module = package;
    rs.total = 5;
    const int slots = Slots();
    std::string seen;
    EXPECT_EQ(ExtractAnswering(&rs, 1000, kTitleEntryFailed, seen), kWriterNext);  // no comma
    EXPECT_EQ(seen, Formatted(kTextLoadFailed, 1000));
    EXPECT_EQ(ExtractAnswering(&rs, 1001, kTitleEntryFailed, seen), kWriterNext);  // 6 bytes claimed, 5 held
    EXPECT_EQ(seen, Formatted(kTextLoadFailed, 1001));
    EXPECT_EQ(Slots(), slots);
    EXPECT_FALSE(Exists(work + "\\NOCOMMA"));
    EXPECT_FALSE(Exists(work + "\\BIG.TXT"));
    EXPECT_EQ(Writer_Extract(&rs, 1002), kWriterNext);
    EXPECT_EQ(Get(work + "\\OK.TXT"), "hello");
    EXPECT_EQ(Slots(), slots + 1);
    EXPECT_EQ(Writer_Extract(&rs, 1003), kWriterEnd);  // LATE.TXT after the gap is never reached
    FreeLibrary(package);
}

// Copies a finished stub with entry number's data moved outside every
// section, so that the platform's LoadResource finds no data for it.
static bool CopyWithLostData(const std::string &from, const std::string &to, WORD number)
{
    std::string b = Get(from);
    auto u16 = [&](size_t at) { WORD v; memcpy(&v, &b[at], 2); return v; };
    auto u32 = [&](size_t at) { DWORD v; memcpy(&v, &b[at], 4); return v; };
    const DWORD pe = u32(0x3C), sections = pe + 24 + u16(pe + 20), rsrc = u32(pe + 24 + 96 + 2 * 8);
    size_t root = 0;
    for (WORD i = 0; i < u16(pe + 6); i++) {
        const size_t h = sections + 40 * i;
        if (rsrc >= u32(h + 12) && rsrc < u32(h + 12) + u32(h + 16))
            root = rsrc - u32(h + 12) + u32(h + 20);
    }
    // The subdirectory (or data entry) under id in the directory at dir.
    auto child = [&](size_t dir, DWORD id) -> size_t {
        for (int k = 0; k < u16(dir + 12) + u16(dir + 14); k++)
            if (u32(dir + 16 + 8 * k) == id)
                return root + (u32(dir + 16 + 8 * k + 4) & 0x7FFFFFFF);
        return 0;
    };
    size_t names = root ? child(root, RT_ENTRY) : 0, langs = names ? child(names, number) : 0;
    if (langs == 0)
        return false;
    const DWORD nowhere = 0x7FFF0000;
    memcpy(&b[root + (u32(langs + 16 + 4) & 0x7FFFFFFF)], &nowhere, 4);
    Put(to, b);
    return true;
}

TEST(Writer, AnEntryThatCannotBeLoadedIsReportedAndSkippedWithoutASlot)
{
    std::string dir = FreshTempFolder("lost"), copy = dir + "\\lost.exe";
    ASSERT_TRUE(CopyWithLostData(g_packages + "\\writer.exe", copy, 1002));
    // As a plain data file, where the platform checks where resource data lies.
    HMODULE package = LoadLibraryExA(copy.c_str(), 0, LOAD_LIBRARY_AS_DATAFILE);
    ASSERT_NE(package, nullptr);
    HRSRC found = FindResourceA(package, MAKEINTRESOURCEA(1002), MAKEINTRESOURCEA(RT_ENTRY));
    ASSERT_NE(found, nullptr);
    ASSERT_EQ(LoadResource(package, found), nullptr);  // the platform's own verdict
    std::string work = FreshWorkFolder("lost-out");
    RunState rs = {};
    rs.module = package;
    rs.total = 5;
    const int slots = Slots();
    std::string seen;
    EXPECT_EQ(ExtractAnswering(&rs, 1002, kTitleEntryFailed, seen), kWriterNext);
    EXPECT_EQ(seen, Formatted(kTextLoadFailed, 1002));
    EXPECT_EQ(Slots(), slots);
    EXPECT_EQ(FilesIn(work), 0);
    EXPECT_EQ(rs.written, 0u);
    FreeLibrary(package);
}

// Whether the meter's last column inside the frame has the bar's colour.
static bool MeterIsFull(HWND progress)
{
    HWND meter = GetDlgItem(progress, IDC_METER);
    RECT c;
    GetClientRect(meter, &c);
    return Pixel(meter, c.right - 2, 1) == GetSysColor(COLOR_HIGHLIGHT);
}

TEST(Writer, ATotalOfZeroShowsAFullMeterWithoutDividing)
{
    HMODULE package = LoadPackage(g_packages + "\\writer.exe");
    ASSERT_NE(package, nullptr);
    std::string dir = FreshWorkFolder("total0");
    RunState rs = {};
    rs.module = package;
    rs.progress = Progress_Open(GetModuleHandleA(0), "Total 0");
    EXPECT_EQ(Writer_Extract(&rs, 1002), kWriterNext);
    EXPECT_EQ(Get(dir + "\\ A.TXT"), "hello");
    EXPECT_TRUE(MeterIsFull(rs.progress));
    DestroyWindow(rs.progress);
    FreeLibrary(package);
}

// A package far above 42,949,672 bytes: the last chunk of its last entry
// draws a full meter, as bytes * 100 would no longer fit in 32 bits.
TEST(Writer, TheLastChunkOfALargePackageShowsAFullMeter)
{
    HMODULE package = LoadPackage(g_packages + "\\writer.exe");
    ASSERT_NE(package, nullptr);
    FreshWorkFolder("large");
    RunState rs = {};
    rs.module = package;
    rs.total = 1000000000;
    rs.written = rs.total - 70000;  // BIG.BIN, entry 1000, is the rest
    rs.progress = Progress_Open(GetModuleHandleA(0), "Large");
    EXPECT_EQ(Writer_Extract(&rs, 1000), kWriterNext);
    EXPECT_EQ(rs.written, rs.total);
    EXPECT_TRUE(MeterIsFull(rs.progress));
    DestroyWindow(rs.progress);
    FreeLibrary(package);
}

// These end in the clean-up, which runs once per process: each runs in a child.
TEST(Writer, APathTooLongForTheWorkFolderIsAFailedCreation)
{
    std::string out = FreshTempFolder("long-out") + "\\result.txt";
    EXPECT_EQ(RunChild("writer long \"" + g_packages + "\" \"" + FreshTempFolder("long") + "\" \"" + out + "\""), 0u);
    // SIZE 0: skipped quietly; SIZE 5: the full-disk box and the clean-up.
    // Neither took a slot, and no file under a cut-down name exists.
    EXPECT_EQ(Get(out), std::string("next 1|aborted 1|") + kTextDiskFull + "|0");
}

TEST(Writer, A261stEntryIsRefusedBeforeItsFileExists)
{
    std::string out = FreshTempFolder("full-out") + "\\result.txt";
    EXPECT_EQ(RunChild("writer full \"" + g_packages + "\" \"" + FreshTempFolder("full") + "\" \"" + out + "\""), 0u);
    // 260 files written, the next one refused with the box; the clean-up removed all.
    EXPECT_EQ(Get(out), std::string("260|aborted|") + kTextDiskFull + "|0");
}

// ---- partner -------------------------------------------------------------

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
    ASSERT_TRUE(Process_Start("\"" + g_packages + "\\..\\partner_child.exe\"", pi));
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

// ---- children ----------------------------------------------------------

static int ChildWorkDir(const char *out)
{
    Startup_SaveEnvironment();
    WorkDir_Choose();
    Put(out, std::string(g_workDir) + "|" + (g_ownFolder ? "1" : "0"));
    return 0;
}

enum { WM_RELEASE = WM_APP, kReleaseAtAttempt = 3 };
static HANDLE g_held;
static std::string g_heldPath;
static int g_heldAttempts;
static HWND g_releaser;
static BOOL(WINAPI *g_realDelete)(LPCSTR);

// Each deletion attempt of the held file is counted; the third one posts the
// release, so that it happens at a known pump whatever the machine's speed.
static BOOL WINAPI CountingDelete(LPCSTR path)
{
    if (g_heldPath == path && ++g_heldAttempts == kReleaseAtAttempt)
        PostMessageA(g_releaser, WM_RELEASE, 0, 0);
    return g_realDelete(path);
}

// Points this program's import of name from dll at hook; returns the original.
static void *HookImport(const char *dll, const char *name, void *hook)
{
    BYTE *base = (BYTE *)GetModuleHandleA(0);
    const auto *nt = (const IMAGE_NT_HEADERS *)(base + ((const IMAGE_DOS_HEADER *)base)->e_lfanew);
    const IMAGE_DATA_DIRECTORY &imports = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    void *real = (void *)GetProcAddress(GetModuleHandleA(dll), name);
    for (auto *d = (IMAGE_IMPORT_DESCRIPTOR *)(base + imports.VirtualAddress); d->Name != 0; d++)
        for (auto *t = (IMAGE_THUNK_DATA *)(base + d->FirstThunk); t->u1.Function != 0; t++)
            if ((void *)t->u1.Function == real) {
                DWORD old;
                VirtualProtect(&t->u1.Function, sizeof t->u1.Function, PAGE_READWRITE, &old);
                t->u1.Function = (DWORD_PTR)hook;
                VirtualProtect(&t->u1.Function, sizeof t->u1.Function, old, &old);
                return real;
            }
    return nullptr;
}

static LRESULT CALLBACK ReleaseProc(HWND w, UINT msg, WPARAM wp, LPARAM lp)
{
    if (msg == WM_RELEASE)
        CloseHandle(g_held);
    if (msg == WM_USER)
        Register_CleanUp();  // a request arriving while the clean-up pumps
    return DefWindowProcA(w, msg, wp, lp);
}

static int ChildCleanUp(const std::string &mode, const std::string &dir, const char *out)
{
    lstrcpyA(g_workDir, dir.c_str());
    g_ownFolder = TRUE;
    if (mode != "empty")
        for (const char *n : {"a", "b", "c"})
            if (Exists(dir + "\\" + n))
                Register_Add((dir + "\\" + n).c_str());
    WNDCLASSA wc = {};
    wc.lpfnWndProc = ReleaseProc;
    wc.lpszClassName = "CleanUpTest";
    RegisterClassA(&wc);
    HWND w = CreateWindowA("CleanUpTest", 0, 0, 0, 0, 0, 0, HWND_MESSAGE, 0, 0, 0);
    if (mode == "release") {
        g_heldPath = dir + "\\b";
        g_held = CreateFileA(g_heldPath.c_str(), GENERIC_READ, FILE_SHARE_READ, 0, OPEN_EXISTING, 0, 0);
        g_releaser = w;
        g_realDelete = (BOOL(WINAPI *)(LPCSTR))HookImport("kernel32.dll", "DeleteFileA", (void *)CountingDelete);
        if (g_held == INVALID_HANDLE_VALUE || g_realDelete == nullptr)
            return 3;
    }
    if (mode == "twice")
        PostMessageA(w, WM_USER, 0, 0);
    Register_CleanUp();
    if (mode == "twice")
        Register_CleanUp();
    char text[64];
    wsprintfA(text, "%ld %ld %ld", g_countPump, g_countDelete, g_countProbe);
    Put(out, text);
    return 0;
}

static int ChildFallback(const char *out)
{
    Startup_SaveEnvironment();
    WorkDir_Choose();
    std::string file = std::string(g_workDir) + "\\a";
    Put(file, "a");
    Register_Add(file.c_str());
    Register_CleanUp();
    char text[64];
    wsprintfA(text, "|%d|%ld %ld %ld", g_ownFolder, g_countPump, g_countDelete, g_countProbe);
    Put(out, std::string(g_workDir) + text);
    return 0;
}

static const char *ResultName(WriterResult r)
{
    return r == kWriterNext ? "next" : r == kWriterEnd ? "end" : "aborted";
}

static int ChildWriter(const std::string &mode, const std::string &packages, std::string work, const char *out)
{
    RunState rs = {};
    std::string seen, result;
    if (mode == "long") {
        // A work folder of 150 bytes or more and names of 120: every path is
        // longer than 259 bytes, while a cut-down one would still fit.
        while (work.size() < 150) {
            work += "\\" + std::string(20, 'd');
            CreateDirectoryA(work.c_str(), 0);
        }
        lstrcpyA(g_workDir, work.c_str());
        Put(work + "\\registered", "x");  // shows that the clean-up ran
        Register_Add((work + "\\registered").c_str());
        rs.module = LoadPackage(packages + "\\long.exe");
        rs.total = 5;
        result = std::string(ResultName(Writer_Extract(&rs, 1000))) + " " + std::to_string(Slots());
        WriterResult r = ExtractAnswering(&rs, 1001, kTitleDiskFull, seen);
        result += std::string("|") + ResultName(r) + " " + std::to_string(Slots());
    } else if (mode == "full") {
        lstrcpyA(g_workDir, work.c_str());
        rs.module = LoadPackage(packages + "\\full.exe");
        rs.total = 260 * 5 + 5;
        for (UINT n = 1000; n < 1260; n++)
            if (Writer_Extract(&rs, n) != kWriterNext)
                return 3;
        result = std::to_string(FilesIn(work));
        // The register is full; one more entry, here taken from another package.
        rs.module = LoadPackage(packages + "\\writer.exe");
        result += std::string("|") + ResultName(ExtractAnswering(&rs, 1002, kTitleDiskFull, seen));
    } else {
        return 2;
    }
    Put(out, result + "|" + seen + "|" + std::to_string(FilesIn(work)));
    return 0;
}

int main(int argc, char **argv)
{
    char self[MAX_PATH];
    GetModuleFileNameA(0, self, sizeof self);
    g_self = self;
    if (argc >= 3 && strcmp(argv[1], "--child") == 0) {
        std::string name = argv[2];
        if (name == "workdir" && argc == 4) return ChildWorkDir(argv[3]);
        if (name == "cleanup" && argc == 6) return ChildCleanUp(argv[3], argv[4], argv[5]);
        if (name == "fallback" && argc == 4) return ChildFallback(argv[3]);
        if (name == "writer" && argc == 7) return ChildWriter(argv[3], argv[4], argv[5], argv[6]);
        return 2;
    }
    testing::InitGoogleTest(&argc, argv);
    if (argc != 2) {
        fprintf(stderr, "usage: module_tests PACKAGE-FOLDER\n");
        return 2;
    }
    g_packages = argv[1];
    return RUN_ALL_TESTS();
}
