// The finished stub run whole: the question answered, the files checked.
#include <gtest/gtest.h>
#include <windows.h>

#include <fstream>
#include <functional>
#include <string>
#include <thread>

#include "boxes.h"
#include "files.h"
#include "messages.h"
#include "selfextr_partner.h"
#include "testproc.h"

static std::string g_packages;

// Runs stub with TEMP set to temp, answering its question, then calls
// afterAnswer with the stub's process number while it runs; returns the exit code.
static DWORD RunStub(const std::string &stub, const std::string &temp, int button, BoxAnswer &answer,
                     const std::string &tail = "", const char *act = "post",
                     const std::function<void(DWORD pid)> &afterAnswer = nullptr)
{
    SetEnvironmentVariableA("TEMP", temp.c_str());
    SetEnvironmentVariableA("SELFEXTR_ACT", act);
    std::string command = "\"" + stub + "\"" + (tail.empty() ? "" : " " + tail);
    answer.title = "E2E Setup";
    answer.button = button;
    return Process_Run(command, nullptr, [&](DWORD pid) {
        Box_Answer(pid, answer, 30000);
        if (afterAnswer)
            afterAnswer(pid);
    });
}

// Runs stub, answering its question with button: it must have asked text,
// ended with code and left nothing in its TEMP.
static BoxAnswer ExpectAskedAndNothingLeft(const char *stub, int button, DWORD code, const char *text)
{
    std::string temp = FreshTempFolder("e2e-nothing");
    BoxAnswer answer;
    EXPECT_EQ(RunStub(g_packages + "\\" + stub, temp, button, answer), code);
    EXPECT_TRUE(answer.answered);
    EXPECT_EQ(answer.seenText, text);
    EXPECT_EQ(FilesIn(temp), 0);
    RemoveDirectoryA(temp.c_str());
    return answer;
}

TEST(EndToEnd, NoCreatesNothingAndExitsWithOne)
{
    BoxAnswer answer = ExpectAskedAndNothingLeft("nosetup.exe", IDNO, 1, "Install the end-to-end package?");
    EXPECT_TRUE(answer.hasYes);
    EXPECT_TRUE(answer.hasNo);
    EXPECT_FALSE(answer.hasIcon);
}

// The same package unsigned and signed with a throwaway certificate: a
// signature must not change what the stub does.
TEST(EndToEnd, YesWritesEveryFileStampedAndAFailedStartKeepsThem)
{
    for (const char *stub : {"nosetup.exe", "signed.exe"}) {
        SCOPED_TRACE(stub);
        std::string temp = FreshTempFolder("e2e-yes");
        BoxAnswer answer;
        // No SETUP.EXE in the package: the start fails, the stub ends with 0 and keeps the files.
        EXPECT_EQ(RunStub(g_packages + "\\" + stub, temp, IDYES, answer), 0u);
        EXPECT_TRUE(answer.answered);
        EXPECT_EQ(File_Read(temp + "\\ONE.TXT"), File_Read(g_packages + "\\one.txt"));
        EXPECT_EQ(File_Read(temp + "\\TWO.BIN"), File_Read(g_packages + "\\two.bin"));
        EXPECT_EQ(LocalDosStamp(temp + "\\ONE.TXT"), MAKELONG(0x2000, 0x2169));  // 9 November 1996, 04:00
        DeleteFileA((temp + "\\ONE.TXT").c_str());
        DeleteFileA((temp + "\\TWO.BIN").c_str());
        RemoveDirectoryA(temp.c_str());
    }
}

TEST(EndToEnd, APackageWithoutEntriesStillAsksAndGoesOn)
{
    // Nothing to write and no SETUP.EXE: the start fails and the stub ends with 0.
    ExpectAskedAndNothingLeft("empty.exe", IDYES, 0, "Install nothing?");
}

// ---- the whole run with a setup program -------------------------------

static std::string g_report;

static std::string Report(const std::string &act, const std::string &temp, DWORD &code, const std::string &tail = "",
                          const std::function<void(HWND stub)> &command = nullptr)
{
    DeleteFileA(g_report.c_str());
    SetEnvironmentVariableA("SELFEXTR_REPORT", g_report.c_str());
    BoxAnswer answer;
    code = RunStub(g_packages + "\\full.exe", temp, IDYES, answer, tail, act.c_str(), [&](DWORD pid) {
        if (!command)
            return;
        // The setup program has reported and ended; the test plays the partner.
        for (int i = 0; i < 600 && GetFileAttributesA(g_report.c_str()) == INVALID_FILE_ATTRIBUTES; i++)
            Sleep(100);
        Family family(pid);
        command(Family_WaitWindow(family, SELFEXTR_WINDOW_CLASS, 0, 60000));
    });
    return File_Read(g_report);
}

static bool Has(const std::string &text, const std::string &what) { return text.find(what) != std::string::npos; }

// Every file, {name in the work folder, source in the package folder}, seen by
// the setup program byte-exact (size and FNV-1a) and stamped 9 November 1996
// 04:00 local time.
static void ExpectReported(const std::string &report, std::initializer_list<std::pair<const char *, const char *>> files)
{
    FILETIME local, utc;
    DosDateTimeToFileTime(0x2169, 0x2000, &local);
    LocalFileTimeToFileTime(&local, &utc);
    char stamp[32];
    wsprintfA(stamp, " %08lx%08lx\n", utc.dwHighDateTime, utc.dwLowDateTime);
    for (auto [name, source] : files) {
        std::string data = File_Read(g_packages + "\\" + source);
        char expect[128];
        wsprintfA(expect, "file %s %lu %08x", name, (unsigned long)data.size(),
                  Fnv1a(reinterpret_cast<const unsigned char *>(data.data()), data.size()));
        EXPECT_TRUE(Has(report, std::string(expect) + stamp)) << expect << stamp << report;
    }
}

TEST(EndToEnd, SetupStartsInTheWorkFolderSeesStampedFilesAndTheCleanUpDeletesThem)
{
    std::string temp = FreshTempFolder("e2e-full");
    DWORD code = 99;
    std::string report = Report("post", temp, code);
    EXPECT_EQ(code, 0u);
    EXPECT_TRUE(Has(report, "self " + temp + "\\SETUP.EXE\n")) << report;
    ExpectReported(report, {{"SETUP.EXE", "setup.exe"}, {"DATA.BIN", "data.bin"}});
    EXPECT_EQ(FilesIn(temp), 0);
}

TEST(EndToEnd, SentCommandWithAnyHighWordAndOtherCommandsIgnored)
{
    std::string temp = FreshTempFolder("e2e-send");
    DWORD code = 99;
    int kept = -1;
    Report("none", temp, code, "", [&](HWND stub) {
        ASSERT_NE(stub, nullptr);
        SendMessageA(stub, WM_COMMAND, MAKEWPARAM(0x1234, 0), 0);  // another command: ignored
        kept = FilesIn(temp);
        SendMessageA(stub, WM_COMMAND, MAKEWPARAM(SELFEXTR_ID_CLEANUP, 7), 12345);
    });
    EXPECT_EQ(kept, 2);
    EXPECT_EQ(code, 0u);
    EXPECT_EQ(FilesIn(temp), 0);
    Report("none", temp, code, "", [&](HWND stub) { PostMessageA(stub, WM_COMMAND, MAKEWPARAM(SELFEXTR_ID_CLEANUP, 0xFFFF), -1); });
    EXPECT_EQ(code, 0u);
    EXPECT_EQ(FilesIn(temp), 0);
}

TEST(EndToEnd, CloseEndsTheWaitAndKeepsTheFiles)
{
    std::string temp = FreshTempFolder("e2e-close");
    DWORD code = 99;
    Report("none", temp, code, "", [&](HWND stub) { PostMessageA(stub, WM_CLOSE, 0, 0); });
    EXPECT_EQ(code, 0u);
    EXPECT_EQ(FilesIn(temp), 2);
}

TEST(EndToEnd, ATailIsStartedExactlyInsteadOfSetup)
{
    std::string temp = FreshTempFolder("e2e-tail");
    DWORD code = 99;
    std::string other = g_packages + "\\OTHER.EXE";
    std::string report = Report("post", temp, code, "\"" + other + "\" /X  two");
    EXPECT_EQ(code, 0u);
    EXPECT_TRUE(Has(report, "self " + other + "\n")) << report;
    EXPECT_TRUE(Has(report, "cmdline \"" + other + "\" /X  two\n")) << report;
}

TEST(EndToEnd, AFolderWithBlanksStartsSetupNotADecoy)
{
    std::string base = FreshTempFolder("e2e-blank");
    std::string temp = base + "\\John Smith";
    CreateDirectoryA(temp.c_str(), 0);
    // Were the command unquoted, Windows could start ...\John.exe instead.
    CopyFileA((g_packages + "\\OTHER.EXE").c_str(), (base + "\\John.exe").c_str(), FALSE);
    DWORD code = 99;
    std::string report = Report("post", temp, code);
    EXPECT_EQ(code, 0u);
    EXPECT_TRUE(Has(report, "self " + temp + "\\SETUP.EXE\n")) << report;
}

// ---- the partner header ------------------------------------------------

TEST(Partner, ASetupThatOnlyCallsThePartnerIsCleanedUp)
{
    std::string temp = FreshTempFolder("e2e-partner");
    BoxAnswer answer;
    LARGE_INTEGER f, yes, end;
    QueryPerformanceFrequency(&f);
    DWORD code = RunStub(g_packages + "\\partner.exe", temp, IDYES, answer, "", "", [&](DWORD) { QueryPerformanceCounter(&yes); });
    QueryPerformanceCounter(&end);
    EXPECT_TRUE(answer.answered);
    EXPECT_EQ(code, 0u);
    EXPECT_EQ(FilesIn(temp), 0);
    // Reported, not judged: the machines' speeds differ.
    RecordProperty("yes_to_end_ms", std::to_string((end.QuadPart - yes.QuadPart) * 1000 / f.QuadPart));
    printf("partner package: %lld ms from Yes to the stub's end\n", (end.QuadPart - yes.QuadPart) * 1000 / f.QuadPart);
}

TEST(Partner, ADriverStartedBySetupFindsTheStubThroughIt)
{
    std::string temp = FreshTempFolder("e2e-driver");
    SetEnvironmentVariableA("SELFEXTR_DRIVER", (g_packages + "\\OTHER.EXE").c_str());
    DeleteFileA((g_report + ".driver").c_str());
    DWORD code = 99;
    Report("driver", temp, code);
    EXPECT_EQ(code, 0u);
    EXPECT_TRUE(Has(File_Read(g_report + ".driver"), "self " + g_packages + "\\OTHER.EXE\n"));
    EXPECT_EQ(FilesIn(temp), 0);
}

// Two stubs at once in one TEMP, both waiting with their windows: each
// setup's request reaches only its own stub.
TEST(Partner, TwoStubsSharingTempAreEachCleanedUpOnlyByTheirOwnSetup)
{
    std::string temp = FreshTempFolder("e2e-twins");
    SetEnvironmentVariableA("TEMP", temp.c_str());
    SetEnvironmentVariableA("SELFEXTR_ACT", "wait");
    struct Twin {
        const char *name, *setup, *data;
        std::string go;
        HANDLE event;
        PROCESS_INFORMATION pi;
    } twins[2] = {{"a", "SETUPA.EXE", "A.DAT"}, {"b", "SETUPB.EXE", "B.DAT"}};
    for (Twin &t : twins) {
        t.go = "selfextr-e2e-go-" + std::string(t.name) + "-" + std::to_string(GetCurrentProcessId());
        t.event = CreateEventA(0, TRUE, FALSE, t.go.c_str());
        SetEnvironmentVariableA("SELFEXTR_GO", t.go.c_str());
        SetEnvironmentVariableA("SELFEXTR_REPORT", (temp + "-" + t.name + ".txt").c_str());
        ASSERT_TRUE(Process_Start("\"" + g_packages + "\\twin-" + t.name + ".exe\" " + temp + "\\" + t.setup, t.pi));
        BoxAnswer answer;
        answer.title = "E2E Setup";
        answer.button = IDYES;
        ASSERT_TRUE(Box_Answer(t.pi.dwProcessId, answer, 60000));
    }
    // Both wait now; the deadline only bounds the wait for their windows.
    for (int i = 0; i < 600 && !(SelfExtr_WindowOf(twins[0].pi.dwProcessId) && SelfExtr_WindowOf(twins[1].pi.dwProcessId)); i++)
        Sleep(100);
    ASSERT_NE(SelfExtr_WindowOf(twins[0].pi.dwProcessId), nullptr);
    ASSERT_NE(SelfExtr_WindowOf(twins[1].pi.dwProcessId), nullptr);

    // The first stub's setup asks first: a plain FindWindowA finds the newer
    // window, the second stub's, on top.
    SetEvent(twins[0].event);
    EXPECT_EQ(Process_Finish(twins[0].pi), 0u);
    EXPECT_EQ(GetFileAttributesA((temp + "\\A.DAT").c_str()), INVALID_FILE_ATTRIBUTES);
    EXPECT_EQ(File_Read(temp + "\\B.DAT"), File_Read(g_packages + "\\one.txt"));
    EXPECT_EQ(WaitForSingleObject(twins[1].pi.hProcess, 0), (DWORD)WAIT_TIMEOUT) << "twin B ended with A";

    SetEvent(twins[1].event);
    EXPECT_EQ(Process_Finish(twins[1].pi), 0u);
    EXPECT_EQ(FilesIn(temp), 0);
    for (Twin &t : twins)
        CloseHandle(t.event);
}

// In the suite FallbackFolder, which runs apart: there is one fallback folder
// for the whole Wine session (see CMakeLists.txt).
TEST(FallbackFolder, RemovedAfterTheStubsCleanUp)
{
    char windows[MAX_PATH];
    GetWindowsDirectoryA(windows, sizeof windows);
    std::string fallback = std::string(1, windows[0]) + ":\\~QVTEMP";
    DWORD code = 99;
    std::string report = Report("post", "", code);  // TEMP defined but empty
    EXPECT_EQ(code, 0u);
    EXPECT_TRUE(Has(report, "self " + fallback + "\\SETUP.EXE\n")) << report;
    EXPECT_EQ(GetFileAttributesA(fallback.c_str()), INVALID_FILE_ATTRIBUTES);
}

// Run only under a file-size limit of 64 KiB (see CMakeLists.txt): the third
// entry's write then fails with EFBIG after 65,536 bytes, a real short write.
TEST(DiskFull, BoxCleanUpAndExitCodeOne)
{
    std::string temp = FreshTempFolder("e2e-full-disk");
    SetEnvironmentVariableA("TEMP", temp.c_str());
    BoxAnswer question, error;
    question.title = "E2E Setup";
    question.button = IDYES;
    error.title = kTitleDiskFull;
    error.button = IDOK;
    DWORD code = Process_Run("\"" + g_packages + "\\diskfull.exe\"", nullptr, [&](DWORD pid) {
        EXPECT_TRUE(Box_Answer(pid, question, 30000));
        EXPECT_TRUE(Box_Answer(pid, error, 30000));
    });
    EXPECT_EQ(error.seenText, kTextDiskFull);
    EXPECT_TRUE(error.hasIcon);  // MB_ICONERROR
    EXPECT_FALSE(error.hasYes);
    EXPECT_EQ(code, 1u);
    EXPECT_EQ(FilesIn(temp), 0);
}

// About 100,000,000 bytes, far above the format's 32-bit percentage rule:
// every file byte-exact (size and FNV-1a, as SETUP.EXE saw it) and stamped,
// then the clean-up removes them all.
TEST(Large, AHundredMegabytePackageIsExtractedExactlyAndCleanedUp)
{
    std::string temp = FreshTempFolder("e2e-large");
    DeleteFileA(g_report.c_str());
    SetEnvironmentVariableA("SELFEXTR_REPORT", g_report.c_str());
    BoxAnswer answer;
    EXPECT_EQ(RunStub(g_packages + "\\large.exe", temp, IDYES, answer), 0u);
    ExpectReported(File_Read(g_report), {{"SETUP.EXE", "setup.exe"}, {"A.BIN", "large-a.bin"}, {"B.BIN", "large-b.bin"}});
    EXPECT_EQ(FilesIn(temp), 0);
}

int main(int argc, char **argv)
{
    testing::InitGoogleTest(&argc, argv);
    if (argc != 2) {
        fprintf(stderr, "usage: e2e_test PACKAGE-FOLDER\n");
        return 2;
    }
    g_packages = argv[1];
    g_report = FreshTempFolder("e2e-report") + "\\report.txt";
    return RUN_ALL_TESTS();
}
