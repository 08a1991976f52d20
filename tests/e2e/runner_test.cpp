// The runner end to end: a finished stub whose SETUP.EXE is selfextr's runner,
// run under Wine with its question answered; what the command saw is read from
// its report, and TEMP must be empty afterwards.
#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "boxes.h"
#include "files.h"
#include "testproc.h"

static std::string g_packages, g_tree;
static const char kCaption[] = "Runner Setup";

static std::set<std::string> Lines(const std::string &text)
{
    std::set<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        lines.insert(line);
    return lines;
}

// A message box titled like the package but not the stub's own question:
// an OK button, and no meter (the progress windows are dialogs of that title too).
static HWND FindBoxNotOf(DWORD stubPid, DWORD timeoutMs)
{
    for (DWORD waited = 0; waited < timeoutMs; waited += 50) {
        HWND box = 0;
        while ((box = FindWindowExA(0, box, "#32770", kCaption)) != 0) {
            DWORD owner = 0;
            GetWindowThreadProcessId(box, &owner);
            if (owner != stubPid && GetDlgItem(box, IDOK) != 0 && GetDlgItem(box, 200) == 0)
                return box;
        }
        Sleep(50);
    }
    return 0;
}

struct PackageRun {
    std::string temp, report;
    PROCESS_INFORMATION pi;
};

// Starts a package with TEMP and the report set, and answers Yes.
static bool Start(const char *package, PackageRun &run, const char *tag)
{
    run.temp = FreshTempFolder(tag);
    run.report = FreshTempFolder(std::string(tag) + "-report") + "\\report.txt";
    SetEnvironmentVariableA("TEMP", run.temp.c_str());
    SetEnvironmentVariableA("SELFEXTR_REPORT", run.report.c_str());
    if (!Process_Start("\"" + g_packages + "\\" + package + "\"", run.pi))
        return false;
    BoxAnswer answer;
    answer.title = kCaption;
    answer.button = IDYES;
    return Box_Answer(run.pi.dwProcessId, answer, 60000);
}

// Every folder and file below root as report_command lists them.
static void Expected(const std::wstring &root, const std::wstring &rel, std::set<std::string> &out)
{
    WIN32_FIND_DATAW fd;
    HANDLE h = FindFirstFileW((root + rel + L"\\*").c_str(), &fd);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    do {
        std::wstring name = fd.cFileName;
        if (name == L"." || name == L"..")
            continue;
        std::wstring path = rel + L"\\" + name;
        char utf8[4096];
        int n = WideCharToMultiByte(CP_UTF8, 0, path.c_str() + 1, -1, utf8, sizeof utf8, 0, 0);
        ASSERT_GT(n, 0);
        if (fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
            out.insert(std::string("dir ") + utf8);
            Expected(root, path, out);
        } else {
            HANDLE f = CreateFileW((root + path).c_str(), GENERIC_READ, FILE_SHARE_READ, 0, OPEN_EXISTING, 0, 0);
            unsigned hash = 2166136261u;
            unsigned char block[65536];
            DWORD got;
            while (ReadFile(f, block, sizeof block, &got, 0) && got != 0)
                hash = Fnv1a(block, got, hash);
            CloseHandle(f);
            out.insert(std::string("file ") + utf8 + " " + std::to_string(hash));
        }
    } while (FindNextFileW(h, &fd));
    FindClose(h);
}

// One block decoded on this thread, and several blocks on several cores.
class RunnerTree : public testing::TestWithParam<const char *> {};

TEST_P(RunnerTree, ExpandsTheTreeRunsTheCommandWaitsForAllItStartedAndLeavesNothing)
{
    HANDLE go = CreateEventW(0, TRUE, FALSE, L"selfextr-runner-test-go");
    ASSERT_NE(go, nullptr);
    ResetEvent(go);
    PackageRun run;
    ASSERT_TRUE(Start(GetParam(), run, "runner-tree"));
    // The command has ended once it says so; its grandchild waits for go.
    DWORD waited = 0;
    while (File_Read(run.report).find("child done") == std::string::npos && waited < 120000)
        Sleep(50), waited += 50;
    ASSERT_NE(File_Read(run.report).find("child done"), std::string::npos) << File_Read(run.report);
    // The runner waits for the grandchild, so the stub has not been told to clean up.
    EXPECT_EQ(WaitForSingleObject(run.pi.hProcess, 0), (DWORD)WAIT_TIMEOUT);
    SetEvent(go);
    EXPECT_EQ(Process_Finish(run.pi), 0u);
    CloseHandle(go);

    std::set<std::string> report = Lines(File_Read(run.report));
    EXPECT_TRUE(report.count("grandchild done"));
    // It ran in a private folder inside TEMP, with its arguments.
    auto cwd = std::find_if(report.begin(), report.end(), [](const std::string &l) { return l.rfind("cwd ", 0) == 0; });
    ASSERT_NE(cwd, report.end());
    EXPECT_EQ(cwd->find("cwd " + run.temp + "\\sx-"), 0u) << *cwd;
    EXPECT_TRUE(std::any_of(report.begin(), report.end(), [](const std::string &l) { return l.find("/quiet \"two words\"") != std::string::npos; }));
    // Every folder and file of the tree, byte for byte, and nothing else.
    std::set<std::string> want, got;
    Expected(L"\\\\?\\" + std::wstring(g_tree.begin(), g_tree.end()), L"", want);
    for (const std::string &l : report)
        if (l.rfind("dir ", 0) == 0 || l.rfind("file ", 0) == 0)
            got.insert(l);
    EXPECT_GT(want.size(), 1000u);
    EXPECT_EQ(got, want);
    EXPECT_EQ(FilesIn(run.temp), 0);
}

INSTANTIATE_TEST_SUITE_P(Runner, RunnerTree, testing::Values("runner-tree.exe", "runner-blocks.exe"));

TEST(Runner, ABatchFileRunsThroughTheCommandProcessorInThePrivateFolder)
{
    PackageRun run;
    ASSERT_TRUE(Start("runner-bat.exe", run, "runner-bat"));
    EXPECT_EQ(Process_Finish(run.pi), 0u);
    std::string report = File_Read(run.report);
    EXPECT_EQ(report.find(run.temp + "\\sx-"), 0u) << report;
    EXPECT_EQ(FilesIn(run.temp), 0);
}

// Each failure: one message, titled with the caption, saying what failed;
// then nothing of the package is left in TEMP.
TEST(Runner, AFailureShowsOneMessageThenLeavesNothing)
{
    struct Case { const char *package, *says; bool plant; };
    const Case cases[] = {
        {"runner-missing.exe", "neither in the package nor in the Windows system folder", false},
        {"runner-damaged.exe", "damaged", false},
        // A program of the command's name beside the package is never started.
        {"runner-planted.exe", "neither in the package nor in the Windows system folder", true},
        // Nor one reached by climbing out of the private folder.
        {"runner-climbs.exe", "must name a program inside the package", true},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.package);
        PackageRun run;
        std::string temp = FreshTempFolder("runner-fail");
        if (c.plant)
            ASSERT_TRUE(CopyFileA((g_packages + "\\report.exe").c_str(), (temp + "\\planted.exe").c_str(), FALSE));
        run.temp = temp;
        run.report = FreshTempFolder("runner-fail-report") + "\\report.txt";
        SetEnvironmentVariableA("TEMP", temp.c_str());
        SetEnvironmentVariableA("SELFEXTR_REPORT", run.report.c_str());
        ASSERT_TRUE(Process_Start("\"" + c.package + "\"", run.pi));
        BoxAnswer answer;
        answer.title = kCaption;
        answer.button = IDYES;
        ASSERT_TRUE(Box_Answer(run.pi.dwProcessId, answer, 60000));
        HWND box = FindBoxNotOf(run.pi.dwProcessId, 60000);
        ASSERT_NE(box, nullptr);
        char text[1024] = "";
        GetDlgItemTextA(box, 0xFFFF, text, sizeof text);
        EXPECT_NE(std::string(text).find(c.says), std::string::npos) << text;
        Box_Press(box, IDOK);
        EXPECT_EQ(Process_Finish(run.pi), 0u);
        EXPECT_EQ(File_Read(run.report), "");
        if (c.plant)
            DeleteFileA((temp + "\\planted.exe").c_str());
        EXPECT_EQ(FilesIn(temp), 0);
    }
}

// Run by hand, without the stub whose strings hold its settings: one message,
// a failure code, nothing written.
TEST(Runner, WithoutItsStubTheRunnerSaysSoAndEnds)
{
    std::string temp = FreshTempFolder("runner-alone");
    SetEnvironmentVariableA("TEMP", temp.c_str());
    PROCESS_INFORMATION pi;
    ASSERT_TRUE(Process_Start("\"" + g_packages + "\\bare-runner.exe\"", pi));
    HWND box = Box_Find(pi.dwProcessId, "Setup", 60000);
    ASSERT_NE(box, nullptr);
    char text[1024] = "";
    GetDlgItemTextA(box, 0xFFFF, text, sizeof text);
    EXPECT_NE(std::string(text).find("runs only when the package starts it"), std::string::npos) << text;
    Box_Press(box, IDOK);
    EXPECT_EQ(Process_Finish(pi), 1u);
    EXPECT_EQ(FilesIn(temp), 0);
}

// Files stop growing at 64 KiB (the test's ulimit): the runner's write fails.
TEST(RunnerDiskFull, AFailedWriteSaysWhyAndLeavesNothing)
{
    PackageRun run;
    ASSERT_TRUE(Start("runner-diskfull.exe", run, "runner-full"));
    HWND box = FindBoxNotOf(run.pi.dwProcessId, 60000);
    ASSERT_NE(box, nullptr);
    char text[1024] = "";
    GetDlgItemTextA(box, 0xFFFF, text, sizeof text);
    EXPECT_NE(std::string(text).find("Cannot write the file"), std::string::npos) << text;
    Box_Press(box, IDOK);
    EXPECT_EQ(Process_Finish(run.pi), 0u);
    EXPECT_EQ(FilesIn(run.temp), 0);
}

int main(int argc, char **argv)
{
    testing::InitGoogleTest(&argc, argv);
    if (argc < 3) {
        fprintf(stderr, "usage: runner_test PACKAGES TREE\n");
        return 2;
    }
    g_packages = argv[1];
    g_tree = argv[2];
    return RUN_ALL_TESTS();
}
