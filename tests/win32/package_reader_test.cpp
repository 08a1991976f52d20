// A finished stub read by the platform loader, as the stub reads itself, for
// selfextr's writer and for the platform's own UpdateResourceA alike.
#include <gtest/gtest.h>
#include <windows.h>

#include <string>

#include "selfextr.h"
#include "testproc.h"

static const char *g_packed;
static const char *g_updres;
static const char *g_stub;

static void ExpectPackage(const char *path)
{
    SetLastError(0xdeadbeef);
    HMODULE module = LoadLibraryExA(path, 0, LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
    ASSERT_NE(module, nullptr) << path << ": " << GetLastError();
    char text[260];
    struct { UINT id; const char *value; } strings[] = {
        {STRING_CAPTION, "Reader Test"}, {STRING_PROMPT, "Read me?"}, {STRING_DATE, "11-09-96"},
        {STRING_TIME, "4:00"}, {STRING_TOTAL, "10"}, {ENTRY_FIRST_ID, "SETUP.EXE,5"}, {ENTRY_FIRST_ID + 1, " A.TXT,5"}};
    for (auto &s : strings) {
        ASSERT_GT(LoadStringA(module, s.id, text, sizeof text), 0) << path << " string " << s.id;
        EXPECT_STREQ(text, s.value) << path << " string " << s.id;
    }
    const char *bytes[] = {"setup", "hello"};
    for (UINT n = 0; n < 2; n++) {
        HRSRC found = FindResourceA(module, MAKEINTRESOURCEA(ENTRY_FIRST_ID + n), MAKEINTRESOURCEA(RT_ENTRY));
        ASSERT_NE(found, nullptr) << path << " entry " << n;
        EXPECT_EQ(SizeofResource(module, found), 5u);
        const char *data = (const char *)LockResource(LoadResource(module, found));
        ASSERT_NE(data, nullptr);
        EXPECT_EQ(std::string(data, 5), bytes[n]);
    }
    EXPECT_EQ(FindResourceA(module, MAKEINTRESOURCEA(ENTRY_FIRST_ID + 2), MAKEINTRESOURCEA(RT_ENTRY)), nullptr);
    EXPECT_NE(FindResourceA(module, MAKEINTRESOURCEA(IDD_PROGRESS), RT_DIALOG), nullptr);
    FreeLibrary(module);
}

TEST(PackageReader, SelfextrWriter)
{
    ExpectPackage(g_packed);
}

TEST(PackageReader, PlatformWriter)
{
    char temp[MAX_PATH], out[MAX_PATH], setup[MAX_PATH], a[MAX_PATH];
    GetTempPathA(sizeof temp, temp);
    wsprintfA(out, "%supdres-%lu.exe", temp, GetCurrentProcessId());
    std::string dir(g_packed);
    dir = dir.substr(0, dir.find_last_of("\\/") + 1);
    wsprintfA(setup, "@%ssetup.bin", dir.c_str());
    wsprintfA(a, "@%sa.txt", dir.c_str());
    std::string stub = g_stub;
    std::string command = std::string("\"") + g_updres + "\" \"" + out + "\" \"" + stub +
        "\" 100 6 \"Reader Test\" 101 6 \"Read me?\" 102 6 11-09-96 103 6 4:00 3000 6 10"
        " 1000 6 SETUP.EXE,5 1001 6 \" A.TXT,5\" 1000 32 \"" + setup + "\" 1001 32 \"" + a + "\"";
    DWORD code = Process_Run(command);
    ASSERT_EQ(code, 0u);
    ExpectPackage(out);
    DeleteFileA(out);
}

// The application manifest that --execution-level writes is one the
// platform's own activation-context parser takes, from the image's resource 1.
TEST(PackageReader, TheExecutionLevelManifestIsReadByThePlatform)
{
    HMODULE module = LoadLibraryExA(g_packed, 0, LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
    ASSERT_NE(module, nullptr);
    HRSRC found = FindResourceA(module, MAKEINTRESOURCEA(1), MAKEINTRESOURCEA(24));
    ASSERT_NE(found, nullptr);
    std::string xml((const char *)LockResource(LoadResource(module, found)), SizeofResource(module, found));
    EXPECT_NE(xml.find("level=\"requireAdministrator\""), std::string::npos) << xml;
    FreeLibrary(module);

    ACTCTXA context = {sizeof context};
    context.dwFlags = ACTCTX_FLAG_RESOURCE_NAME_VALID;
    context.lpSource = g_packed;
    context.lpResourceName = MAKEINTRESOURCEA(1);
    SetLastError(0xdeadbeef);
    HANDLE parsed = CreateActCtxA(&context);
    EXPECT_NE(parsed, INVALID_HANDLE_VALUE) << GetLastError();
    if (parsed != INVALID_HANDLE_VALUE)
        ReleaseActCtx(parsed);

    // The bare stub carries none: without the option a finished stub has none either.
    module = LoadLibraryExA(g_stub, 0, LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
    ASSERT_NE(module, nullptr);
    EXPECT_EQ(FindResourceA(module, MAKEINTRESOURCEA(1), MAKEINTRESOURCEA(24)), nullptr);
    FreeLibrary(module);
}

int main(int argc, char **argv)
{
    testing::InitGoogleTest(&argc, argv);
    if (argc != 4) {
        fprintf(stderr, "usage: package_reader_test PACKED.exe UPDRES.exe STUB.exe\n");
        return 2;
    }
    g_packed = argv[1];
    g_updres = argv[2];
    g_stub = argv[3];
    return RUN_ALL_TESTS();
}
