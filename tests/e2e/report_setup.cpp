// report_setup: a SETUP.EXE for the end-to-end tests. Writes what it saw to the
// file named by SELFEXTR_REPORT (its own path, command line, current folder,
// and every file beside it with size, FNV-1a hash and last-write time), then
// posts the clean-up command when SELFEXTR_ACT is "post".
#include <windows.h>

#include <cstdio>
#include <string>

#include "selfextr_partner.h"

static unsigned Fnv(const std::string &path)
{
    unsigned h = 2166136261u;
    FILE *f = fopen(path.c_str(), "rb");
    if (!f)
        return 0;
    for (int c; (c = fgetc(f)) != EOF;)
        h = (h ^ unsigned(c)) * 16777619u;
    fclose(f);
    return h;
}

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int)
{
    // Like any GUI program, touch the message queue at once: the stub's
    // WinExec returns when its child first waits for input.
    MSG msg;
    PeekMessageA(&msg, 0, 0, 0, PM_NOREMOVE);
    char report[MAX_PATH] = "", act[32] = "", self[MAX_PATH], cwd[MAX_PATH];
    GetEnvironmentVariableA("SELFEXTR_REPORT", report, sizeof report);
    GetEnvironmentVariableA("SELFEXTR_ACT", act, sizeof act);
    GetModuleFileNameA(0, self, sizeof self);
    GetCurrentDirectoryA(sizeof cwd, cwd);
    std::string folder(self, strrchr(self, '\\'));
    FILE *out = fopen(report, "wb");
    if (!out)
        return 1;
    fprintf(out, "self %s\ncmdline %s\ncwd %s\n", self, GetCommandLineA(), cwd);
    WIN32_FIND_DATAA d;
    HANDLE s = FindFirstFileA((folder + "\\*").c_str(), &d);
    if (s != INVALID_HANDLE_VALUE) {
        do {
            if (!(d.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY))
                fprintf(out, "file %s %lu %08x %08lx%08lx\n", d.cFileName, d.nFileSizeLow, Fnv(folder + "\\" + d.cFileName),
                        d.ftLastWriteTime.dwHighDateTime, d.ftLastWriteTime.dwLowDateTime);
        } while (FindNextFileA(s, &d));
        FindClose(s);
    }
    fclose(out);

    // "none" leaves the command to the test; "post" is what a package's own
    // setup does as its last act.
    if (std::string(act) == "post")
        SelfExtr_RequestCleanup(60000);
    return 0;
}
