// The runner end to end: a finished stub whose SETUP.EXE is selfextr's runner,
// run under Wine with its question answered; what the command saw is read from
// its report, and TEMP must be empty afterwards.
#include <gtest/gtest.h>
#include <windows.h>
#include <sddl.h>
#include <tlhelp32.h>

#include <algorithm>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "boxes.h"
#include "decoder/xz.h"
#include "family.h"
#include "files.h"
#include "hostile_payloads.h"
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

// A message box titled like the package, shown by a process the stub started
// (the runner), not by the stub itself: an OK button, and no meter (the
// progress windows are dialogs of that title too).
static HWND FindBoxNotOf(DWORD stubPid, DWORD timeoutMs)
{
    Family family(stubPid);
    return Family_WaitWindow(family, "#32770", kCaption, timeoutMs, [&](HWND box) {
        DWORD owner = 0;
        GetWindowThreadProcessId(box, &owner);
        return owner != stubPid && GetDlgItem(box, IDOK) != 0 && GetDlgItem(box, 200) == 0;
    });
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
            const unsigned long long time = ((unsigned long long)fd.ftLastWriteTime.dwHighDateTime << 32) | fd.ftLastWriteTime.dwLowDateTime;
            out.insert(std::string("time ") + utf8 + " " + std::to_string(time / 10000000));
        }
    } while (FindNextFileW(h, &fd));
    FindClose(h);
}

// The runner's bound on its decoding threads ("0": the main thread decodes
// every block itself, into one buffer), a contract with whoever sets it; ""
// leaves the machine's.
static const char kThreadsVariable[] = "SELFEXTR_RUNNER_THREADS";

struct TreeCase {
    const char *package;
    const char *threads;
};

// One block and several (whose files span their boundaries), each decoded on
// the main thread, by one worker (its two buffers used in turn) and by as
// many as the machine gives: the same tree every time.
class RunnerTree : public testing::TestWithParam<TreeCase> {};

TEST_P(RunnerTree, ExpandsTheTreeRunsTheCommandWaitsForAllItStartedAndLeavesNothing)
{
    // Named for this process: another run of the test beside it has its own.
    const std::string goName = "selfextr-runner-test-go-" + std::to_string(GetCurrentProcessId());
    HANDLE go = CreateEventA(0, TRUE, FALSE, goName.c_str());
    ASSERT_NE(go, nullptr);
    ResetEvent(go);
    SetEnvironmentVariableA("SELFEXTR_GO", goName.c_str());
    // The command also lists what lies beside the runner's own folder.
    SetEnvironmentVariableA("SELFEXTR_REPORT_ELEVATION", "1");
    PackageRun run;
    SetEnvironmentVariableA(kThreadsVariable, *GetParam().threads ? GetParam().threads : nullptr);
    const bool started = Start(GetParam().package, run, "runner-tree");
    SetEnvironmentVariableA(kThreadsVariable, nullptr);
    SetEnvironmentVariableA("SELFEXTR_REPORT_ELEVATION", nullptr);
    ASSERT_TRUE(started);
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
    // Its own folder, below the runner's: the marker lies beside it, out of the command's sight.
    EXPECT_EQ(cwd->substr(cwd->size() - 2), "\\x") << *cwd;
    EXPECT_TRUE(std::any_of(report.begin(), report.end(), [](const std::string &l) { return l.find("/quiet \"two words\"") != std::string::npos; }));
    // Every folder and file of the tree, byte for byte, each with its time, and
    // nothing else: the copies the payload stores once are files of their own.
    std::set<std::string> want, got;
    Expected(L"\\\\?\\" + std::wstring(g_tree.begin(), g_tree.end()), L"", want);
    for (const std::string &l : report)
        if (l.rfind("dir ", 0) == 0 || l.rfind("file ", 0) == 0 || l.rfind("time ", 0) == 0)
            got.insert(l);
    EXPECT_GT(want.size(), 1000u);
    EXPECT_EQ(got, want);
    // While the command ran, TEMP held the runner and its own folder and
    // nothing of the payload, which the runner reads in its stub's image.
    std::set<std::string> beside;
    for (const std::string &l : report)
        if (l.rfind("beside ", 0) == 0)
            beside.insert(l);
    EXPECT_EQ(beside.size(), 2u) << File_Read(run.report);
    EXPECT_TRUE(beside.count("beside SETUP.EXE")) << File_Read(run.report);
    EXPECT_EQ(std::count_if(beside.begin(), beside.end(), [](const std::string &l) { return l.rfind("beside sx-", 0) == 0; }), 1)
        << File_Read(run.report);
    EXPECT_EQ(FilesIn(run.temp), 0);
}

INSTANTIATE_TEST_SUITE_P(Runner, RunnerTree,
                         testing::Values(TreeCase{"runner-tree.exe", ""}, TreeCase{"runner-tree.exe", "0"},
                                         TreeCase{"runner-blocks.exe", ""}, TreeCase{"runner-blocks.exe", "1"},
                                         TreeCase{"runner-blocks.exe", "0"}),
                         [](const testing::TestParamInfo<TreeCase> &i) {
                             std::string name = i.param.package;
                             name = name.substr(7, name.size() - 11) + (*i.param.threads ? std::string("Threads") + i.param.threads : "");
                             return name;
                         });

// A copy of package whose last block's compressed data has one byte changed:
// the payload is the stream whose index, read by our decoder, tiles it.
static bool DamageLastBlock(const std::string &package, const std::string &copy)
{
    std::string bytes = File_Read(package);
    const std::string magic("\xFD" "7zXZ\0", 6);
    // The payload (RCDATA) lies before SETUP.EXE, whose decoder holds the same magic bytes.
    size_t at = bytes.find(magic);
    if (at == std::string::npos)
        return false;
    const uint8_t *s = (const uint8_t *)bytes.data() + at;
    for (size_t size = 32; at + size <= bytes.size(); size += 4) {
        selfextr::XzStreamInfo info;
        if (s[size - 2] != 'Y' || s[size - 1] != 'Z' || selfextr::Xz_Scan(s, size, &info, nullptr, 0) != selfextr::XZ_DONE)
            continue;
        std::vector<selfextr::XzBlockInfo> blocks(info.blocks);
        if (info.blocks < 3 || selfextr::Xz_Scan(s, size, &info, blocks.data(), info.blocks) != selfextr::XZ_DONE)
            return false;
        const selfextr::XzBlockInfo &last = blocks.back();
        bytes[at + last.offset + last.packedSize / 2] ^= 0x55;
        HANDLE f = CreateFileA(copy.c_str(), GENERIC_WRITE, 0, 0, CREATE_NEW, 0, 0);
        DWORD wrote = 0;
        bool ok = f != INVALID_HANDLE_VALUE && WriteFile(f, bytes.data(), (DWORD)bytes.size(), &wrote, 0) && wrote == bytes.size();
        if (f != INVALID_HANDLE_VALUE)
            CloseHandle(f);
        return ok;
    }
    return false;
}

// The last block damaged while the earlier blocks' files are created and
// written: one message, every thread stopped, every file closed (Windows
// would not delete an open one), so nothing is left in TEMP.
TEST(RunnerBlocks, ADamagedLaterBlockStopsEveryThreadWithOneMessageAndLeavesNothing)
{
    const std::string made = FreshTempFolder("runner-made") + "\\damaged-later.exe";
    ASSERT_TRUE(DamageLastBlock(g_packages + "\\runner-blocks.exe", made));
    for (const char *threads : {"", "1", "0"}) {
        SCOPED_TRACE(std::string("threads ") + threads);
        SetEnvironmentVariableA(kThreadsVariable, *threads ? threads : nullptr);
        PackageRun run;
        run.temp = FreshTempFolder("runner-later");
        run.report = FreshTempFolder("runner-later-report") + "\\report.txt";
        SetEnvironmentVariableA("TEMP", run.temp.c_str());
        SetEnvironmentVariableA("SELFEXTR_REPORT", run.report.c_str());
        bool started = Process_Start("\"" + made + "\"", run.pi);
        SetEnvironmentVariableA(kThreadsVariable, nullptr);
        ASSERT_TRUE(started);
        BoxAnswer answer;
        answer.title = kCaption;
        answer.button = IDYES;
        ASSERT_TRUE(Box_Answer(run.pi.dwProcessId, answer, 60000));
        HWND box = FindBoxNotOf(run.pi.dwProcessId, 60000);
        ASSERT_NE(box, nullptr);
        char text[1024] = "";
        GetDlgItemTextA(box, 0xFFFF, text, sizeof text);
        EXPECT_NE(std::string(text).find("damaged"), std::string::npos) << text;
        Box_Press(box, IDOK);
        // A second message would keep the runner, and so the stub, from ending.
        EXPECT_EQ(Process_Finish(run.pi, 60000), 0u);
        EXPECT_EQ(File_Read(run.report), "");
        EXPECT_EQ(FilesIn(run.temp), 0);
    }
}

// The outer package's command starts the inner package's stub, kept below a
// folder named データ, which the session's ANSI code page cannot hold, and
// waits for it. The inner runner reads the inner package's own settings (its
// command, its payload) from its own stub, not the outer one's, and tells its
// own stub to clean up; then the outer completes.
TEST(RunnerNested, APackageStartedByAPackageReadsItsOwnSettingsAndTellsItsOwnStub)
{
    // The grandchildren of both report commands go at once.
    const std::string goName = "selfextr-runner-nested-go-" + std::to_string(GetCurrentProcessId());
    HANDLE go = CreateEventA(0, TRUE, TRUE, goName.c_str());
    ASSERT_NE(go, nullptr);
    SetEvent(go);
    SetEnvironmentVariableA("SELFEXTR_GO", goName.c_str());
    const std::string innerTemp = FreshTempFolder("runner-inner");
    const std::string innerReport = FreshTempFolder("runner-inner-report") + "\\report.txt";
    SetEnvironmentVariableA("SELFEXTR_INNER_TEMP", innerTemp.c_str());
    SetEnvironmentVariableA("SELFEXTR_INNER_REPORT", innerReport.c_str());
    PackageRun run;
    ASSERT_TRUE(Start("runner-nested.exe", run, "runner-outer"));
    BoxAnswer inner;
    inner.title = "Inner Setup";
    inner.button = IDYES;
    EXPECT_TRUE(Box_Answer(run.pi.dwProcessId, inner, 120000)) << File_Read(run.report);
    EXPECT_EQ(Process_Finish(run.pi, 300000), 0u);
    CloseHandle(go);

    std::set<std::string> outer = Lines(File_Read(run.report)), seen = Lines(File_Read(innerReport));
    EXPECT_TRUE(outer.count("started exit 0")) << File_Read(run.report);
    // The inner command ran in a private folder of the inner stub's TEMP, from the inner payload.
    auto cwd = std::find_if(seen.begin(), seen.end(), [](const std::string &l) { return l.rfind("cwd ", 0) == 0; });
    ASSERT_NE(cwd, seen.end()) << File_Read(innerReport);
    EXPECT_EQ(cwd->find("cwd " + innerTemp + "\\sx-"), 0u) << *cwd;
    EXPECT_TRUE(std::any_of(seen.begin(), seen.end(), [](const std::string &l) { return l.rfind("file inner.txt ", 0) == 0; }))
        << File_Read(innerReport);
    EXPECT_TRUE(std::any_of(seen.begin(), seen.end(), [](const std::string &l) { return l.rfind("args ", 0) == 0 && l.find(" /inner") != std::string::npos; }))
        << File_Read(innerReport);
    // Both stubs were told: each deleted what it wrote.
    EXPECT_EQ(FilesIn(innerTemp), 0);
    EXPECT_EQ(FilesIn(run.temp), 0);
}

static bool Exists(const std::string &path)
{
    return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

// The runner's folder: the one that holds the command's folder and the marker.
static std::string Parent(const std::string &path)
{
    return path.substr(0, path.rfind('\\'));
}

// Whether folders here keep a protected DACL, which the sweep asks of a
// runner's folder before it takes one. Wine keeps none (it derives a folder's
// descriptor from the unix owner and mode): there the sweep takes nothing.
static bool KeepsProtectedDacl(const std::string &work)
{
    std::string probe = work + "\\descriptor-probe";
    SECURITY_ATTRIBUTES sa = {sizeof sa, nullptr, FALSE};
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorA("D:P(A;OICI;FA;;;WD)", SDDL_REVISION_1, &sa.lpSecurityDescriptor, 0))
        return false;
    CreateDirectoryA(probe.c_str(), &sa);
    LocalFree(sa.lpSecurityDescriptor);
    PSECURITY_DESCRIPTOR sd = 0;
    DWORD needed = 0;
    GetFileSecurityA(probe.c_str(), DACL_SECURITY_INFORMATION, 0, 0, &needed);
    std::vector<BYTE> bytes(needed + 1);
    sd = bytes.data();
    SECURITY_DESCRIPTOR_CONTROL control = 0;
    DWORD revision;
    bool keeps = GetFileSecurityA(probe.c_str(), DACL_SECURITY_INFORMATION, sd, (DWORD)bytes.size(), &needed) &&
                 GetSecurityDescriptorControl(sd, &control, &revision) && (control & SE_DACL_PROTECTED) != 0;
    RemoveDirectoryA(probe.c_str());
    return keeps;
}

// A tree the test itself removes, deepest first.
static void RemoveTree(const std::string &dir)
{
    WIN32_FIND_DATAA fd;
    HANDLE h = FindFirstFileA((dir + "\\*").c_str(), &fd);
    if (h != INVALID_HANDLE_VALUE) {
        do {
            std::string name = fd.cFileName, path = dir + "\\" + name;
            if (name == "." || name == "..")
                continue;
            SetFileAttributesA(path.c_str(), FILE_ATTRIBUTE_NORMAL);
            if (fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
                RemoveTree(path);
            else
                DeleteFileA(path.c_str());
        } while (FindNextFileA(h, &fd));
        FindClose(h);
    }
    RemoveDirectoryA(dir.c_str());
}

// runner-held.exe started in TEMP temp (a fresh one when empty), run until its
// command has ended and the grandchild it left waits for go.
struct HeldRun {
    PackageRun run;
    HANDLE go = 0;
    std::string folder;  // the private folder, as the command saw it
    bool Start(const char *tag, const std::string &temp = "")
    {
        const std::string goName = std::string("selfextr-runner-") + tag + "-" + std::to_string(GetCurrentProcessId());
        go = CreateEventA(0, TRUE, FALSE, goName.c_str());
        ResetEvent(go);
        SetEnvironmentVariableA("SELFEXTR_GO", goName.c_str());
        run.report = FreshTempFolder(std::string(tag) + "-report") + "\\report.txt";
        run.temp = temp.empty() ? FreshTempFolder(tag) : temp;
        SetEnvironmentVariableA("TEMP", run.temp.c_str());
        SetEnvironmentVariableA("SELFEXTR_REPORT", run.report.c_str());
        if (!Process_Start("\"" + g_packages + "\\runner-held.exe\"", run.pi))
            return false;
        BoxAnswer answer;
        answer.title = kCaption;
        answer.button = IDYES;
        if (!Box_Answer(run.pi.dwProcessId, answer, 60000))
            return false;
        for (DWORD waited = 0; File_Read(run.report).find("child done") == std::string::npos && waited < 120000; waited += 50)
            Sleep(50);
        for (const std::string &l : Lines(File_Read(run.report)))
            if (l.rfind("cwd ", 0) == 0)
                folder = l.substr(4);
        return !folder.empty();
    }
    ~HeldRun() { CloseHandle(go); }
};

TEST(Runner, AKilledRunIsSweptByTheNextStart)
{
    HeldRun killed;
    ASSERT_TRUE(killed.Start("runner-killed")) << File_Read(killed.run.report);
    {
        // The stub, the runner, the command and its grandchild, ended as a crash or the task manager ends them.
        Family family(killed.run.pi.dwProcessId);
        Family_Terminate(family, 9);
    }
    Process_Finish(killed.run.pi, 0);
    // The grandchild, whose parent had ended, is no longer one of the family: let it end.
    SetEvent(killed.go);
    for (DWORD waited = 0; File_Read(killed.run.report).find("grandchild done") == std::string::npos && waited < 120000; waited += 50)
        Sleep(50);
    ASSERT_TRUE(Exists(killed.folder + "\\data\\kept.txt"));

    const bool keeps = KeepsProtectedDacl(killed.run.temp);
    HeldRun next;
    ASSERT_TRUE(next.Start("runner-next", killed.run.temp)) << File_Read(next.run.report);
    if (keeps) {
        EXPECT_FALSE(Exists(Parent(killed.folder))) << FilesIn(killed.folder) << " entries left in " << killed.folder;
    } else {
        // No folder here shows itself a runner's: the sweep leaves it whole.
        EXPECT_TRUE(Exists(killed.folder + "\\data\\kept.txt"));
        RemoveTree(Parent(killed.folder));
    }
    SetEvent(next.go);
    EXPECT_EQ(Process_Finish(next.run.pi), 0u);
    EXPECT_EQ(FilesIn(killed.run.temp), 0);
}

TEST(Runner, TheEndOfTheSessionDeletesWhatItCan)
{
    HeldRun held;
    ASSERT_TRUE(held.Start("runner-session")) << File_Read(held.run.report);
    Family family(held.run.pi.dwProcessId);
    HWND session = Family_WaitWindow(family, "SelfExtrRunnerSession", 0, 60000);
    ASSERT_NE(session, nullptr);
    DWORD_PTR agreed = 0;
    ASSERT_TRUE(SendMessageTimeoutA(session, WM_QUERYENDSESSION, 0, 0, SMTO_BLOCK, 60000, &agreed));
    EXPECT_EQ(agreed, (DWORD_PTR)TRUE);
    DWORD_PTR ignored;
    ASSERT_TRUE(SendMessageTimeoutA(session, WM_ENDSESSION, TRUE, 0, SMTO_BLOCK, 60000, &ignored));
    // Whatever the waiting grandchild does not hold is gone, the marker too.
    EXPECT_FALSE(Exists(held.folder + "\\data\\kept.txt"));
    EXPECT_FALSE(Exists(Parent(held.folder) + "\\runner"));
    SetEvent(held.go);
    EXPECT_EQ(Process_Finish(held.run.pi), 0u);
    EXPECT_EQ(FilesIn(held.run.temp), 0);
}

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

// A copy of package whose payload, RCDATA 3, is renumbered 4 in its resource
// directory: settings that name a payload the image does not hold. (Wine's
// UpdateResource keeps a resource it is asked to delete, so the byte is set here.)
static bool WithoutPayload(const std::string &package, const std::string &copy)
{
    std::string b = File_Read(package);
    auto u16 = [&](size_t at) { return at + 2 <= b.size() ? uint32_t((uint8_t)b[at] | (uint8_t)b[at + 1] << 8) : 0u; };
    auto u32 = [&](size_t at) { return u16(at) | u16(at + 2) << 16; };
    // The entry of directory dir whose id is id: its offset, 0 when there is none.
    auto entry = [&](size_t dir, uint32_t id) -> size_t {
        for (uint32_t k = 0, n = u16(dir + 12) + u16(dir + 14); k < n; k++)
            if (u32(dir + 16 + 8 * k) == id)
                return dir + 16 + 8 * k;
        return 0;
    };
    const size_t pe = u32(0x3C), sections = pe + 24 + u16(pe + 20);
    const uint32_t rsrc = u32(pe + 24 + 96 + 2 * 8);  // PE32: data directory 2, the resources
    for (uint32_t i = 0; i < u16(pe + 6); i++) {
        const size_t s = sections + 40 * i;
        const uint32_t va = u32(s + 12), raw = u32(s + 20);
        if (rsrc < va || rsrc >= va + u32(s + 16))
            continue;
        const size_t root = raw + (rsrc - va), type = entry(root, 10);
        const size_t id = type != 0 ? entry(root + (u32(type + 4) & 0x7FFFFFFF), 3) : 0;
        if (id == 0)
            return false;
        b[id] = 4;
        HANDLE f = CreateFileA(copy.c_str(), GENERIC_WRITE, 0, 0, CREATE_ALWAYS, 0, 0);
        DWORD wrote = 0;
        const bool ok = f != INVALID_HANDLE_VALUE && WriteFile(f, b.data(), (DWORD)b.size(), &wrote, 0) && wrote == b.size();
        CloseHandle(f);
        return ok;
    }
    return false;
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
    ASSERT_TRUE(Restring(planted, made + "\\asinvoker.exe", 3003, L"asInvoker"));
    ASSERT_TRUE(WithoutPayload(planted, made + "\\no-payload-data.exe"));
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
        // An elevation the runner does not know: neither restarted for nor ignored.
        {made + "\\asinvoker.exe", "The package's settings are damaged", false},
        // Settings without the payload they name: the package is damaged.
        {made + "\\no-payload-data.exe", "damaged and cannot be installed. Please download it again.\n\n(the package holds no payload)", false},
        // A block larger than pack writes, however many threads the machine has.
        {g_packages + "\\runner-large-block.exe", "damaged and cannot be installed. Please download it again.\n\n(a block of the archive is larger than 64 MiB)", false},
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

// Payloads that pack never writes, the rows verify and extract are tested
// with (hostile_payloads.h): one message in the tool's words, the command
// never started, nothing left in TEMP.
TEST(RunnerHostile, EveryRowIsRefusedInTheToolsWordsAndLeavesNothing)
{
    for (const HostilePayload &p : kHostilePayloads) {
        SCOPED_TRACE(p.id);
        PackageRun run;
        ASSERT_TRUE(Start(("runner-hostile-" + std::string(p.id) + ".exe").c_str(), run, "runner-hostile"));
        HWND box = FindBoxNotOf(run.pi.dwProcessId, 60000);
        ASSERT_NE(box, nullptr);
        char text[4096] = "";
        GetDlgItemTextA(box, 0xFFFF, text, sizeof text);
        EXPECT_NE(std::string(text).find(p.runnerSays != 0 ? p.runnerSays : p.says), std::string::npos) << text;
        Box_Press(box, IDOK);
        EXPECT_EQ(Process_Finish(run.pi), 0u);
        EXPECT_EQ(File_Read(run.report), "");
        EXPECT_EQ(FilesIn(run.temp), 0);
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

// The token this test runs with, and its other half: an administrator's split
// token as Windows gives it, the full (elevated) one and the filtered one.
struct SplitToken {
    HANDLE full = 0, limited = 0;
    ~SplitToken()
    {
        if (full != 0)
            CloseHandle(full);
        if (limited != 0)
            CloseHandle(limited);
    }
};

// Wine starts its programs with the full token; its filtered half, as a
// limited user's programs run. Empty when this token is not the full half.
static bool Split(SplitToken &t, std::string &why)
{
    HANDLE own;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY | TOKEN_DUPLICATE | TOKEN_ASSIGN_PRIMARY, &own))
        return why = "cannot open this process's token", false;
    TOKEN_ELEVATION_TYPE type = TokenElevationTypeDefault;
    TOKEN_LINKED_TOKEN linked = {};
    DWORD size;
    bool ok = GetTokenInformation(own, TokenElevationType, &type, sizeof type, &size) && type == TokenElevationTypeFull &&
              GetTokenInformation(own, TokenLinkedToken, &linked, sizeof linked, &size) &&
              DuplicateTokenEx(linked.LinkedToken, MAXIMUM_ALLOWED, 0, SecurityImpersonation, TokenPrimary, &t.limited);
    if (linked.LinkedToken != 0)
        CloseHandle(linked.LinkedToken);
    if (!ok) {
        CloseHandle(own);
        return why = "this test runs with no administrator's full token (elevation type " + std::to_string(type) + ")", false;
    }
    t.full = own;
    return true;
}

// A package whose command asks for elevation in its manifest, started with
// either half of the token: below the level asked for, the runner restarts
// itself elevated before it writes anything, and the restart alone expands
// the payload and runs the command; at or above it, nothing restarts. Either
// way the command runs once, in the one private folder, and TEMP ends empty.
TEST(RunnerElevation, ARunnerBelowTheLevelAskedForRestartsItselfAndExpandsOnce)
{
    SplitToken tokens;
    std::string why;
    if (!Split(tokens, why))
        GTEST_SKIP() << why;
    const std::string goName = "selfextr-runner-elevation-" + std::to_string(GetCurrentProcessId());
    HANDLE go = CreateEventA(0, TRUE, TRUE, goName.c_str());
    ASSERT_NE(go, nullptr);
    SetEvent(go);  // the command's grandchild ends at once
    SetEnvironmentVariableA("SELFEXTR_GO", goName.c_str());
    SetEnvironmentVariableA("SELFEXTR_REPORT_ELEVATION", "1");
    struct Case {
        const char *package;
        bool limited;
        int runners;
    };
    const Case cases[] = {
        {"runner-admin.exe", true, 2},
        {"runner-highest.exe", true, 2},
        {"runner-admin.exe", false, 1},
        {"runner-highest.exe", false, 1},
        // A command that asks for nothing never restarts the runner.
        {"runner-held.exe", true, 1},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(std::string(c.package) + (c.limited ? " limited" : " full"));
        PackageRun run;
        run.temp = FreshTempFolder("runner-elevation");
        run.report = FreshTempFolder("runner-elevation-report") + "\\report.txt";
        SetEnvironmentVariableA("TEMP", run.temp.c_str());
        SetEnvironmentVariableA("SELFEXTR_REPORT", run.report.c_str());
        std::string line = "\"" + g_packages + "\\" + c.package + "\"";
        STARTUPINFOA si = {sizeof si};
        ASSERT_TRUE(CreateProcessAsUserA(c.limited ? tokens.limited : tokens.full, 0, &line[0], 0, 0, FALSE, 0, 0, 0, &si, &run.pi));
        BoxAnswer answer;
        answer.title = kCaption;
        answer.button = IDYES;
        ASSERT_TRUE(Box_Answer(run.pi.dwProcessId, answer, 60000));
        EXPECT_EQ(Process_Finish(run.pi), 0u);
        std::set<std::string> report = Lines(File_Read(run.report));
        EXPECT_TRUE(report.count("runners " + std::to_string(c.runners))) << File_Read(run.report);
        EXPECT_TRUE(report.count("file data\\kept.txt " + std::to_string(Fnv1a((const unsigned char *)"kept\r\n", 6, 2166136261u))))
            << File_Read(run.report);
        EXPECT_TRUE(report.count("grandchild done"));
        // One private folder beside the runner: the restart's own.
        EXPECT_EQ(std::count_if(report.begin(), report.end(), [](const std::string &l) { return l.rfind("beside sx-", 0) == 0 && l.find('.') == std::string::npos; }), 1)
            << File_Read(run.report);
        for (const std::string &l : report)
            if (l.rfind("elevated ", 0) == 0)
                printf("%s %s: the command's token: %s\n", c.package, c.limited ? "limited" : "full", l.c_str());
        EXPECT_EQ(FilesIn(run.temp), 0);
    }
    SetEnvironmentVariableA("SELFEXTR_REPORT_ELEVATION", nullptr);
    CloseHandle(go);
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
