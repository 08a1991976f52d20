// workdir_test: the work folder chosen from TEMP, TMP or the fallback, and the path probe.
#include <gtest/gtest.h>
#include <windows.h>

#include <cstdio>
#include <string>

#include "module_support.h"

static std::string ChooseWith(std::initializer_list<std::string> vars)
{
    std::string out = FreshTempFolder("wd-out") + "\\result.txt";
    std::string env = EnvBlock(vars);
    EXPECT_EQ(RunChild("workdir \"" + out + "\"", &env), 0u);
    return File_Read(out);
}

// In the suite FallbackFolder, which runs apart: there is one fallback folder
// for the whole Wine session (see CMakeLists.txt).
TEST(FallbackFolder, TempThenTmpThenTheFallback)
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


// ---- child ---------------------------------------------------------------

int ChildWorkDir(const char *out)
{
    Startup_SaveEnvironment();
    WorkDir_Choose();
    Put(out, std::string(g_workDir) + "|" + (g_ownFolder ? "1" : "0"));
    return 0;
}
