// The runner's private folder under Wine: the security it asks for and what
// the folder reads back; the marker held while it lives; the sweep of other
// runners' folders, which takes only those whose runner is gone, never
// follows a link, and costs little when nothing is stale.
#include <gtest/gtest.h>
#include <windows.h>
#include <aclapi.h>
#include <sddl.h>

#include <algorithm>
#include <string>
#include <vector>

#include "runner.h"
#include "testproc.h"

// The runner's bounded text and its one message, without a box: a test that
// fails must not wait for a user.
static std::wstring g_failure;
uint32_t Text_Length(const WCHAR *text) { return (uint32_t)lstrlenW(text); }
void Text_Append(WCHAR *buffer, uint32_t capacity, const WCHAR *text)
{
    std::wstring joined = std::wstring(buffer) + text;
    lstrcpynW(buffer, joined.c_str(), (int)capacity);
}
void Fail_Show(RunnerState *, const WCHAR *what, const WCHAR *, DWORD) { g_failure = what; }
void Pump_Messages(void) {}

static std::wstring Wide(const std::string &s)
{
    return std::wstring(s.begin(), s.end());
}

static bool Exists(const std::wstring &path)
{
    return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

static void PutFile(const std::wstring &path)
{
    HANDLE h = CreateFileW(path.c_str(), GENERIC_WRITE, 0, 0, CREATE_NEW, 0, 0);
    ASSERT_NE(h, INVALID_HANDLE_VALUE) << "cannot create " << std::string(path.begin(), path.end());
    DWORD wrote;
    WriteFile(h, "x", 1, &wrote, 0);
    CloseHandle(h);
}

// A folder as a runner that died leaves it: its marker, and files tree-deep.
static std::wstring StaleFolder(const std::wstring &work, const wchar_t *name, int files)
{
    std::wstring dir = work + L"\\" + name;
    CreateDirectoryW(dir.c_str(), 0);
    PutFile(dir + L"\\" + name + L".runner");
    std::wstring sub = dir;
    for (int i = 0; i < files; i++) {
        if (i % 100 == 0) {
            sub = dir + L"\\d" + std::to_wstring(i / 100);
            CreateDirectoryW(sub.c_str(), 0);
        }
        PutFile(sub + L"\\f" + std::to_wstring(i) + L".bin");
    }
    return dir;
}

struct Runner {
    RunnerState rs = {};
    Runner(const std::string &work)
    {
        lstrcpynW(rs.workFolder, Wide(work).c_str(), MAX_PATH);
        rs.module = GetModuleHandleW(0);
    }
};

// The ACEs of a descriptor: each SID as text with its mask and flags.
static std::vector<std::string> Aces(PSECURITY_DESCRIPTOR sd, bool *isProtected)
{
    std::vector<std::string> out;
    SECURITY_DESCRIPTOR_CONTROL control = 0;
    DWORD revision;
    GetSecurityDescriptorControl(sd, &control, &revision);
    *isProtected = (control & SE_DACL_PROTECTED) != 0;
    BOOL present = FALSE, defaulted = FALSE;
    PACL dacl = 0;
    if (!GetSecurityDescriptorDacl(sd, &present, &dacl, &defaulted) || !present || dacl == 0)
        return out;
    for (DWORD i = 0; i < dacl->AceCount; i++) {
        ACCESS_ALLOWED_ACE *ace = 0;
        if (!GetAce(dacl, i, (void **)&ace))
            continue;
        char *sid = 0;
        ConvertSidToStringSidA(&ace->SidStart, &sid);
        char line[256];
        wsprintfA(line, "%u %s %08lx %02x", ace->Header.AceType, sid ? sid : "?", ace->Mask, ace->Header.AceFlags);
        LocalFree(sid);
        out.push_back(line);
    }
    return out;
}

static std::string UserSid()
{
    HANDLE token;
    OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token);
    union {
        TOKEN_USER user;
        BYTE bytes[sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE];
    } who;
    DWORD size;
    GetTokenInformation(token, TokenUser, &who, sizeof who, &size);
    CloseHandle(token);
    char *sid = 0;
    ConvertSidToStringSidA(who.user.User.Sid, &sid);
    std::string text = sid;
    LocalFree(sid);
    return text;
}

TEST(RunnerFolder, OnlyItsOwnerSystemAndAdministratorsMayEnter)
{
    // What the runner asks for, before any folder exists: a protected DACL,
    // full control for exactly three accounts, inherited by everything inside.
    bool isProtected = false;
    char fa[16];
    wsprintfA(fa, "%08lx", (unsigned long)FILE_ALL_ACCESS);
    const std::string inherit = "03";  // OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE
    std::vector<std::string> want = {"0 " + UserSid() + " " + fa + " " + inherit, std::string("0 S-1-5-18 ") + fa + " " + inherit,
                                     std::string("0 S-1-5-32-544 ") + fa + " " + inherit};
    PSECURITY_DESCRIPTOR asked = Folder_Descriptor();
    ASSERT_NE(asked, nullptr);
    EXPECT_EQ(Aces(asked, &isProtected), want) << "SDDL: " << std::string(Folder_Sddl(), Folder_Sddl() + lstrlenW(Folder_Sddl()));
    EXPECT_TRUE(isProtected);

    // What the folder made with it reads back.
    Runner r(FreshTempFolder("runner-dacl"));
    ASSERT_TRUE(Folder_Create(&r.rs)) << std::string(g_failure.begin(), g_failure.end());
    PSECURITY_DESCRIPTOR got = 0;
    ASSERT_EQ(GetNamedSecurityInfoW(r.rs.privateFolder, SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, 0, 0, 0, 0, &got),
              (DWORD)ERROR_SUCCESS);
    std::vector<std::string> read = Aces(got, &isProtected);
    LocalFree(got);
    if (GetProcAddress(GetModuleHandleA("ntdll.dll"), "wine_get_version") == 0) {
        EXPECT_EQ(read, want);
        EXPECT_TRUE(isProtected);
    } else {
        // Wine keeps of a folder's DACL what unix permissions hold: the
        // owner and SYSTEM, never Administrators nor the protected flag. What
        // it must not show is anyone else: a folder made without the
        // descriptor reads back with Everyone (S-1-1-0) allowed in.
        EXPECT_NE(std::find(read.begin(), read.end(), want[0]), read.end());
        for (const std::string &ace : read)
            EXPECT_NE(std::find(want.begin(), want.end(), ace), want.end()) << "an ACE for another account: " << ace;
    }
    Cleanup_PrivateFolder(&r.rs);
    EXPECT_FALSE(Exists(r.rs.privateFolder));
}

TEST(RunnerFolder, TheSweepTakesOnlyFoldersWhoseRunnerIsGone)
{
    std::string work = FreshTempFolder("runner-sweep");
    std::wstring w = Wide(work);
    // Made by a runner that still runs: its marker is held, as Folder_Create holds it.
    Runner live(work);
    ASSERT_TRUE(Folder_Create(&live.rs)) << std::string(g_failure.begin(), g_failure.end());
    PutFile(std::wstring(live.rs.privateFolder) + L"\\app.exe");
    // Another process's runner plays the same part with its own handle.
    std::wstring other = StaleFolder(w, L"sx-00000000000000aa", 3);
    HANDLE held = CreateFileW((other + L"\\sx-00000000000000aa.runner").c_str(), GENERIC_READ | GENERIC_WRITE,
                              FILE_SHARE_READ, 0, OPEN_EXISTING, 0, 0);
    ASSERT_NE(held, INVALID_HANDLE_VALUE);
    // Gone: a marker nobody holds, and a folder whose runner died before its marker.
    std::wstring stale = StaleFolder(w, L"sx-0123456789abcdef", 250);
    std::wstring bare = w + L"\\sx-fedcba9876543210";
    CreateDirectoryW(bare.c_str(), 0);
    // Not a runner's: other names, the stub's own files.
    std::wstring notOurs = w + L"\\sx-setup";
    CreateDirectoryW(notOurs.c_str(), 0);
    PutFile(w + L"\\SETUP.EXE");

    Runner sweeper(work);
    Folder_Sweep(&sweeper.rs);
    EXPECT_TRUE(Exists(std::wstring(live.rs.privateFolder) + L"\\app.exe"));
    EXPECT_TRUE(Exists(other + L"\\d0\\f0.bin"));
    EXPECT_FALSE(Exists(stale));
    EXPECT_FALSE(Exists(bare));
    EXPECT_TRUE(Exists(notOurs));
    EXPECT_TRUE(Exists(w + L"\\SETUP.EXE"));

    // Its runner gone, the other folder goes at the next start.
    CloseHandle(held);
    Folder_Sweep(&sweeper.rs);
    EXPECT_FALSE(Exists(other));
    EXPECT_TRUE(Exists(std::wstring(live.rs.privateFolder) + L"\\app.exe"));
    Cleanup_PrivateFolder(&live.rs);
    EXPECT_FALSE(Exists(live.rs.privateFolder));
}

TEST(RunnerFolder, TheSweepNeverFollowsALink)
{
    std::string work = FreshTempFolder("runner-link");
    std::wstring w = Wide(work);
    std::wstring outside = Wide(FreshTempFolder("runner-outside"));
    PutFile(outside + L"\\keep.txt");
    std::wstring stale = StaleFolder(w, L"sx-00000000000000bb", 2);
    // A link to a folder outside, inside a stale folder and as a stale folder's name.
    BOOL inside = CreateSymbolicLinkW((stale + L"\\out").c_str(), outside.c_str(), SYMBOLIC_LINK_FLAG_DIRECTORY);
    BOOL named = CreateSymbolicLinkW((w + L"\\sx-00000000000000cc").c_str(), outside.c_str(), SYMBOLIC_LINK_FLAG_DIRECTORY);
    if (!inside || !named)
        GTEST_SKIP() << "this system makes no symbolic links to folders (error " << GetLastError() << ")";
    ASSERT_NE(GetFileAttributesW((stale + L"\\out").c_str()) & FILE_ATTRIBUTE_REPARSE_POINT, 0u);

    Runner sweeper(work);
    Folder_Sweep(&sweeper.rs);
    EXPECT_TRUE(Exists(outside + L"\\keep.txt"));
    EXPECT_FALSE(Exists(stale));
}

TEST(RunnerFolder, WhatTheSweepCosts)
{
    // Reported, not judged: our machines differ in speed.
    std::string work = FreshTempFolder("runner-cost");
    Runner sweeper(work);
    LARGE_INTEGER f, t0, t1, t2;
    QueryPerformanceFrequency(&f);
    QueryPerformanceCounter(&t0);
    Folder_Sweep(&sweeper.rs);
    QueryPerformanceCounter(&t1);
    std::wstring stale = StaleFolder(Wide(work), L"sx-00000000000000dd", 1000);
    LARGE_INTEGER t1b;
    QueryPerformanceCounter(&t1b);
    Folder_Sweep(&sweeper.rs);
    QueryPerformanceCounter(&t2);
    double nothing = 1e3 * (t1.QuadPart - t0.QuadPart) / f.QuadPart, thousand = 1e3 * (t2.QuadPart - t1b.QuadPart) / f.QuadPart;
    printf("sweep with nothing stale: %.2f ms; with a stale folder of 1,000 files: %.1f ms%s\n", nothing, thousand,
           Exists(stale) ? " (the rest left for the next start)" : "");
    // A second start finishes whatever the bound left.
    Folder_Sweep(&sweeper.rs);
    Folder_Sweep(&sweeper.rs);
    EXPECT_FALSE(Exists(stale));
}
