// report_setup: a SETUP.EXE for the end-to-end tests. Writes what it saw to the
// file named by SELFEXTR_REPORT (its own path, command line, current folder,
// and every file beside it with size, FNV-1a hash and last-write time), then
// acts as SELFEXTR_ACT says:
//   post    request the clean-up as its last act, as a package's setup does
//   none    nothing: the test plays the partner
//   wait    wait for the event named by SELFEXTR_GO, then request the clean-up
//   driver  start SELFEXTR_DRIVER with SELFEXTR_ACT=drive and end at once
//   drive   (the driver) find the stub's window first, then report and post
#include <windows.h>

#include <cstdio>
#include <string>

#include "files.h"
#include "selfextr_partner.h"

static std::string Env(const char *name)
{
    char value[MAX_PATH] = "";
    GetEnvironmentVariableA(name, value, sizeof value);
    return value;
}

static bool Report(const std::string &report)
{
    char self[MAX_PATH], cwd[MAX_PATH];
    GetModuleFileNameA(0, self, sizeof self);
    GetCurrentDirectoryA(sizeof cwd, cwd);
    std::string folder(self, strrchr(self, '\\'));
    FILE *out = fopen(report.c_str(), "wb");
    if (!out)
        return false;
    fprintf(out, "self %s\ncmdline %s\ncwd %s\n", self, GetCommandLineA(), cwd);
    WIN32_FIND_DATAA d;
    HANDLE s = FindFirstFileA((folder + "\\*").c_str(), &d);
    if (s != INVALID_HANDLE_VALUE) {
        do {
            if (!(d.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY))
                fprintf(out, "file %s %lu %08x %08lx%08lx\n", d.cFileName, d.nFileSizeLow, File_Fnv1a(folder + "\\" + d.cFileName),
                        d.ftLastWriteTime.dwHighDateTime, d.ftLastWriteTime.dwLowDateTime);
        } while (FindNextFileA(s, &d));
        FindClose(s);
    }
    fclose(out);
    return true;
}

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int)
{
    const std::string act = Env("SELFEXTR_ACT");
    // The driver looks for its stub first, while the program that started it
    // still runs: the stub is found through that program.
    HWND stub = 0;
    if (act == "drive")
        stub = SelfExtr_FindWindow(SELFEXTR_WAIT_WHILE_STUB_LIVES);
    else
        SelfExtr_MarkIdle();
    if (!Report(Env("SELFEXTR_REPORT")))
        return 1;

    if (act == "post")
        return SelfExtr_RequestCleanup(SELFEXTR_WAIT_WHILE_STUB_LIVES) ? 0 : 3;
    if (act == "drive")
        return stub != 0 && PostMessageA(stub, WM_COMMAND, SELFEXTR_ID_CLEANUP, 0) ? 0 : 3;
    if (act == "wait") {
        HANDLE go = OpenEventA(SYNCHRONIZE, FALSE, Env("SELFEXTR_GO").c_str());
        if (go == 0 || WaitForSingleObject(go, 300000) != WAIT_OBJECT_0)
            return 4;
        return SelfExtr_RequestCleanup(SELFEXTR_WAIT_WHILE_STUB_LIVES) ? 0 : 3;
    }
    if (act == "driver") {
        SetEnvironmentVariableA("SELFEXTR_ACT", "drive");
        SetEnvironmentVariableA("SELFEXTR_REPORT", (Env("SELFEXTR_REPORT") + ".driver").c_str());
        // WinExec returns once the driver waits for input, by which time it
        // has taken note of its ancestors.
        return WinExec(("\"" + Env("SELFEXTR_DRIVER") + "\"").c_str(), SW_SHOWNORMAL) > 32 ? 0 : 5;
    }
    return 0;
}
