// writer_test: the entry writer against finished stubs loaded as data.
#include <gtest/gtest.h>
#include <windows.h>

#include <cstdio>
#include <thread>
#include <string>

#include "module_support.h"

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
    EXPECT_EQ(File_Read(dir + "\\BIG.BIN"), data);

    g_countChunk = g_countRedraw = 0;
    EXPECT_EQ(Writer_Extract(&rs, 1001), kWriterNext);
    EXPECT_EQ(g_countRedraw, 0);
    EXPECT_TRUE(Exists(dir + "\\EMPTY.TXT"));
    EXPECT_EQ(File_Read(dir + "\\EMPTY.TXT"), "");
    EXPECT_EQ(Writer_Extract(&rs, 1002), kWriterNext);
    EXPECT_EQ(File_Read(dir + "\\ A.TXT"), "hello");
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
        "\\..\\..\\..\\stub\\selfextr-stub.exe\" 1000 6 NOCOMMA 1001 6 BIG.TXT,6 1002 6 OK.TXT,5 1004 6 LATE.TXT,5"
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
    EXPECT_EQ(File_Read(work + "\\OK.TXT"), "hello");
    EXPECT_EQ(Slots(), slots + 1);
    EXPECT_EQ(Writer_Extract(&rs, 1003), kWriterEnd);  // LATE.TXT after the gap is never reached
    FreeLibrary(package);
}

// Copies a finished stub with entry number's data moved outside every
// section, so that the platform's LoadResource finds no data for it.
static bool CopyWithLostData(const std::string &from, const std::string &to, WORD number)
{
    std::string b = File_Read(from);
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
    EXPECT_EQ(File_Read(dir + "\\ A.TXT"), "hello");
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
    EXPECT_EQ(File_Read(out), std::string("next 1|aborted 1|") + kTextDiskFull + "|0");
}

TEST(Writer, A261stEntryIsRefusedBeforeItsFileExists)
{
    std::string out = FreshTempFolder("full-out") + "\\result.txt";
    EXPECT_EQ(RunChild("writer full \"" + g_packages + "\" \"" + FreshTempFolder("full") + "\" \"" + out + "\""), 0u);
    // 260 files written, the next one refused with the box; the clean-up removed all.
    EXPECT_EQ(File_Read(out), std::string("260|aborted|") + kTextDiskFull + "|0");
}


// ---- child ---------------------------------------------------------------

static const char *ResultName(WriterResult r)
{
    return r == kWriterNext ? "next" : r == kWriterEnd ? "end" : "aborted";
}

int ChildWriter(const std::string &mode, const std::string &packages, std::string work, const char *out)
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
