// register.cpp: each deletion is tried at most 257 times, each path probed at most 256 times.
#include "register.h"
#include "workdir.h"

char *g_register[MAX_REGISTER];
static int g_registered = 0;

// A request that arrives while the clean-up pumps messages, or after it has
// ended, finds the blocks released and does nothing.
static BOOL g_cleanupStarted = FALSE;

BOOL Register_Add(const char *path)
{
    if (g_registered >= MAX_REGISTER)
        return FALSE;
    char *block = (char *)LocalAlloc(LMEM_ZEROINIT, (SIZE_T)lstrlenA(path) + 1);
    if (block == 0)
        return FALSE;
    lstrcpyA(block, path);
    g_register[g_registered++] = block;
    return TRUE;
}

void Register_Pump(void)
{
    MSG msg;
    while (PeekMessageA(&msg, 0, 0, 0, PM_REMOVE)) {
        TranslateMessage(&msg);
        DispatchMessageA(&msg);
    }
}

void Register_CleanUp(void)
{
    if (g_cleanupStarted)
        return;
    g_cleanupStarted = TRUE;
    for (int slot = 0; slot < MAX_REGISTER && g_register[slot] != 0; slot++) {
        char *path = g_register[slot];
        for (int attempts = 1; ; attempts++) {
            SELFEXTR_COUNT(g_countPump);
            Register_Pump();
            SELFEXTR_COUNT(g_countDelete);
            DeleteFileA(path);
            if (attempts > DELETE_TRIES)
                break;
            SELFEXTR_COUNT(g_countProbe);
            if (!WorkDir_PathExists(path))
                break;
        }
        LocalFree(path);
    }
    if (g_ownFolder)
        RemoveDirectoryA(g_workDir);
}
