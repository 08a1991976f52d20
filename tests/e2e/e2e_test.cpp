// The finished stub run whole: the question answered, the files checked.
#include <gtest/gtest.h>
#include <windows.h>

#include <fstream>
#include <iterator>
#include <string>
#include <thread>

#include "boxes.h"

static std::string g_packages;

static std::string ReadFile(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

// A fresh, empty folder to serve as TEMP.
static std::string FreshFolder(const char *name)
{
    char temp[MAX_PATH];
    GetTempPathA(sizeof temp, temp);
    std::string dir = std::string(temp) + "selfextr-e2e-" + name + "-" + std::to_string(GetCurrentProcessId());
    CreateDirectoryA(dir.c_str(), 0);
    return dir;
}

static int FilesIn(const std::string &dir)
{
    WIN32_FIND_DATAA data;
    HANDLE h = FindFirstFileA((dir + "\\*").c_str(), &data);
    int n = 0;
    if (h == INVALID_HANDLE_VALUE)
        return 0;
    do
        n += data.cFileName[0] != '.';
    while (FindNextFileA(h, &data));
    FindClose(h);
    return n;
}

// Runs stub with TEMP set to temp, answering its question; returns the exit code.
static DWORD RunStub(const std::string &stub, const std::string &temp, int button, BoxAnswer &answer)
{
    SetEnvironmentVariableA("TEMP", temp.c_str());
    std::string command = "\"" + stub + "\"";
    STARTUPINFOA si = {sizeof si};
    PROCESS_INFORMATION pi;
    if (!CreateProcessA(0, &command[0], 0, 0, FALSE, 0, 0, 0, &si, &pi))
        return 0xFFFFFFFF;
    answer.title = "E2E Setup";
    answer.button = button;
    Box_Answer(pi.dwProcessId, answer, 30000);
    WaitForSingleObject(pi.hProcess, 60000);
    DWORD code = 0xFFFFFFFE;
    GetExitCodeProcess(pi.hProcess, &code);
    CloseHandle(pi.hProcess);
    CloseHandle(pi.hThread);
    return code;
}

TEST(EndToEnd, NoCreatesNothingAndExitsWithOne)
{
    std::string temp = FreshFolder("no");
    BoxAnswer answer;
    EXPECT_EQ(RunStub(g_packages + "\\nosetup.exe", temp, IDNO, answer), 1u);
    EXPECT_TRUE(answer.answered);
    EXPECT_EQ(answer.seenText, "Install the end-to-end package?");
    EXPECT_EQ(FilesIn(temp), 0);
    RemoveDirectoryA(temp.c_str());
}

TEST(EndToEnd, YesWritesEveryFileStampedAndAFailedStartKeepsThem)
{
    std::string temp = FreshFolder("yes");
    BoxAnswer answer;
    // No SETUP.EXE in the package: the start fails, the stub ends with 0 and keeps the files.
    EXPECT_EQ(RunStub(g_packages + "\\nosetup.exe", temp, IDYES, answer), 0u);
    EXPECT_TRUE(answer.answered);
    EXPECT_EQ(ReadFile(temp + "\\ONE.TXT"), ReadFile(g_packages + "\\one.txt"));
    EXPECT_EQ(ReadFile(temp + "\\TWO.BIN"), ReadFile(g_packages + "\\two.bin"));
    HANDLE f = CreateFileA((temp + "\\ONE.TXT").c_str(), GENERIC_READ, FILE_SHARE_READ, 0, OPEN_EXISTING, 0, 0);
    ASSERT_NE(f, INVALID_HANDLE_VALUE);
    FILETIME written, local;
    GetFileTime(f, 0, 0, &written);
    CloseHandle(f);
    FileTimeToLocalFileTime(&written, &local);
    WORD date, time;
    FileTimeToDosDateTime(&local, &date, &time);
    EXPECT_EQ(date, 0x2169);  // 9 November 1996
    EXPECT_EQ(time, 0x2000);  // 04:00
    DeleteFileA((temp + "\\ONE.TXT").c_str());
    DeleteFileA((temp + "\\TWO.BIN").c_str());
    RemoveDirectoryA(temp.c_str());
}

int main(int argc, char **argv)
{
    testing::InitGoogleTest(&argc, argv);
    if (argc != 2) {
        fprintf(stderr, "usage: e2e_test PACKAGE-FOLDER\n");
        return 2;
    }
    g_packages = argv[1];
    return RUN_ALL_TESTS();
}
