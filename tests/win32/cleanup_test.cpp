// cleanup_test: the file register and its clean-up, counted through the test build's counters.
#include <gtest/gtest.h>
#include <windows.h>

#include <cstdio>
#include <string>

#include "module_support.h"

static std::string CleanUpIn(const std::string &mode, const std::string &dir)
{
    std::string out = FreshTempFolder("cu-out") + "\\result.txt";
    EXPECT_EQ(RunChild("cleanup " + mode + " \"" + dir + "\" \"" + out + "\""), 0u);
    return File_Read(out);
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

// In the suite FallbackFolder, which runs apart (see CMakeLists.txt).
TEST(FallbackFolder, OneThatExistedBeforeIsRemovedByTheCleanUp)
{
    CreateDirectoryA(Fallback().c_str(), 0);
    std::string out = FreshTempFolder("cu-fb") + "\\result.txt";
    std::string env = EnvBlock({"TEMP="});
    EXPECT_EQ(RunChild("fallback \"" + out + "\"", &env), 0u);
    EXPECT_EQ(File_Read(out), Fallback() + "|1|1 1 1");
    EXPECT_FALSE(Exists(Fallback()));
}


// ---- children --------------------------------------------------------------

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

int ChildCleanUp(const std::string &mode, const std::string &dir, const char *out)
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

int ChildFallback(const char *out)
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
