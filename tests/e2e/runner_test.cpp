// The runner end to end: a finished stub whose SETUP.EXE is selfextr's runner,
// run under Wine with its question answered; what the command saw is read from
// its report, and TEMP must be empty afterwards.
#include <gtest/gtest.h>
#include <windows.h>
#include <tlhelp32.h>

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

// The process that started pid, or 0.
static DWORD ParentOf(DWORD pid)
{
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    PROCESSENTRY32 entry;
    entry.dwSize = sizeof entry;
    DWORD parent = 0;
    if (snapshot != INVALID_HANDLE_VALUE && Process32First(snapshot, &entry))
        do {
            if (entry.th32ProcessID == pid)
                parent = entry.th32ParentProcessID;
        } while (parent == 0 && Process32Next(snapshot, &entry));
    if (snapshot != INVALID_HANDLE_VALUE)
        CloseHandle(snapshot);
    return parent;
}

// A message box of the stub's runner (a child of the stub this test started,
// never another test's), titled like the package: an OK button, and no meter
// (the progress windows are dialogs of that title too).
static HWND FindBoxNotOf(DWORD stubPid, DWORD timeoutMs)
{
    for (DWORD waited = 0; waited < timeoutMs; waited += 50) {
        HWND box = 0;
        while ((box = FindWindowExA(0, box, "#32770", kCaption)) != 0) {
            DWORD owner = 0;
            GetWindowThreadProcessId(box, &owner);
            if (owner != stubPid && GetDlgItem(box, IDOK) != 0 && GetDlgItem(box, 200) == 0 && ParentOf(owner) == stubPid)
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

// A copy of package whose settings string id reads text (empty: none), made
// with the platform's own UpdateResource, as a damaged or foreign package
// would be: pack refuses to write such settings.
static bool Restring(const std::string &package, const std::string &copy, UINT id, const std::wstring &text)
{
    HMODULE image = LoadLibraryExA(package.c_str(), 0, LOAD_LIBRARY_AS_DATAFILE);
    HRSRC found = image != 0 ? FindResourceExW(image, (LPCWSTR)RT_STRING, MAKEINTRESOURCEW(id / 16 + 1), 0x0409) : 0;
    const WCHAR *p = found != 0 ? (const WCHAR *)LockResource(LoadResource(image, found)) : 0;
    if (p == 0)
        return false;
    std::vector<std::wstring> slots(16);
    for (int i = 0; i < 16; i++, p += 1 + *p)
        slots[i].assign(p + 1, *p);
    FreeLibrary(image);
    slots[id % 16] = text;
    std::vector<WCHAR> block;
    for (const std::wstring &s : slots) {
        block.push_back((WCHAR)s.size());
        block.insert(block.end(), s.begin(), s.end());
    }
    if (!CopyFileA(package.c_str(), copy.c_str(), FALSE))
        return false;
    HANDLE update = BeginUpdateResourceA(copy.c_str(), FALSE);
    return update != 0 &&
           UpdateResourceW(update, (LPCWSTR)RT_STRING, MAKEINTRESOURCEW(id / 16 + 1), 0x0409, block.data(), DWORD(block.size() * 2)) &&
           EndUpdateResourceA(update, FALSE);
}

// Each failure: one message, titled with the caption, saying what failed;
// then nothing of the package is left in TEMP.
TEST(Runner, AFailureShowsOneMessageThenLeavesNothing)
{
    // The package's settings as pack never writes them: the runner is their last check.
    const std::string planted = g_packages + "\\runner-planted.exe", made = FreshTempFolder("runner-made");
    ASSERT_TRUE(Restring(planted, made + "\\climbs.exe", 3002, L"..\\planted.exe"));
    ASSERT_TRUE(Restring(planted, made + "\\no-command.exe", 3002, L""));
    ASSERT_TRUE(Restring(planted, made + "\\long-command.exe", 3002, std::wstring(8192, L'a')));
    ASSERT_TRUE(Restring(planted, made + "\\no-payload.exe", 3001, L""));
    struct Case { std::string package; const char *says; bool plant; };
    const Case cases[] = {
        {g_packages + "\\runner-missing.exe", "neither in the package nor in the Windows system folder", false},
        {g_packages + "\\runner-damaged.exe", "damaged", false},
        // A program of the command's name beside the package is never started.
        {planted, "neither in the package nor in the Windows system folder", true},
        // Nor one reached by climbing out of the private folder.
        {made + "\\climbs.exe", "must name a program inside the package", true},
        {made + "\\no-command.exe", "The package holds no command for its setup program", false},
        {made + "\\no-payload.exe", "The package holds no command for its setup program", false},
        // Longer than the runner takes: refused, never cut without a word.
        {made + "\\long-command.exe", "The package's settings are damaged", false},
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
