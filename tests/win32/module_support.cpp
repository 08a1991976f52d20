// module_support.cpp: what the module tests share, and their main: the tests,
// or one child case (module_tests --child NAME ARGS) for what needs its own
// process (the start-up environment, the one-shot clean-up).
#include <gtest/gtest.h>
#include <windows.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>

#include "module_support.h"

// A message as the stub formats it for an entry.
std::string Formatted(const char *format, UINT number)
{
    char text[kTextBytes];
    wsprintfA(text, format, number);
    return text;
}

std::string g_self, g_packages, g_partnerChild;

bool Exists(const std::string &p) { return GetFileAttributesA(p.c_str()) != INVALID_FILE_ATTRIBUTES; }
void Put(const std::string &p, const std::string &text) { std::ofstream(p, std::ios::binary) << text; }
// A fresh folder, made the work folder.
std::string FreshWorkFolder(const std::string &tag)
{
    std::string dir = FreshTempFolder(tag);
    lstrcpyA(g_workDir, dir.c_str());
    return dir;
}

// A finished stub loaded as data, as the writer reads its own image.
HMODULE LoadPackage(const std::string &path)
{
    return LoadLibraryExA(path.c_str(), 0, LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
}

// The parent's environment without TEMP and TMP, plus extra ("NAME=value" strings).
std::string EnvBlock(std::initializer_list<std::string> extra)
{
    std::string block;
    char *env = GetEnvironmentStringsA();
    for (char *s = env; *s; s += strlen(s) + 1) {
        std::string name(s, strcspn(s, "="));
        if (_stricmp(name.c_str(), "TEMP") != 0 && _stricmp(name.c_str(), "TMP") != 0 && !name.empty())
            block += std::string(s) + '\0';
    }
    FreeEnvironmentStringsA(env);
    for (auto &e : extra)
        block += e + '\0';
    return block + '\0';
}

DWORD RunChild(const std::string &args, const std::string *env)
{
    return Process_Run("\"" + g_self + "\" --child " + args, env ? env->data() : nullptr);
}

std::string Fallback()
{
    char windows[MAX_PATH];
    GetWindowsDirectoryA(windows, sizeof windows);
    return std::string(1, windows[0]) + ":\\~QVTEMP";
}

COLORREF Pixel(HWND window, int x, int y)
{
    HDC dc = GetDC(window);
    COLORREF c = GetPixel(dc, x, y);
    ReleaseDC(window, dc);
    return c;
}

int main(int argc, char **argv)
{
    char self[MAX_PATH];
    GetModuleFileNameA(0, self, sizeof self);
    g_self = self;
    if (argc >= 3 && strcmp(argv[1], "--child") == 0) {
        std::string name = argv[2];
        if (name == "workdir" && argc == 4) return ChildWorkDir(argv[3]);
        if (name == "cleanup" && argc == 6) return ChildCleanUp(argv[3], argv[4], argv[5]);
        if (name == "fallback" && argc == 4) return ChildFallback(argv[3]);
        if (name == "writer" && argc == 7) return ChildWriter(argv[3], argv[4], argv[5], argv[6]);
        return 2;
    }
    testing::InitGoogleTest(&argc, argv);
    if (argc != 3) {
        fprintf(stderr, "usage: module_tests PACKAGE-FOLDER PARTNER-CHILD.exe\n");
        return 2;
    }
    g_packages = argv[1];
    g_partnerChild = argv[2];
    return RUN_ALL_TESTS();
}
