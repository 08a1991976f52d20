// startup.cpp: the pieces of the start-up that tests share with the stub.
#include <windows.h>
#include "startup.h"

const char *g_startEnv = 0;

void Startup_SaveEnvironment(void)
{
    char *env = GetEnvironmentStringsA();
    if (env == 0)
        return;
    SIZE_T size = 0;
    while (env[size] != '\0' || env[size + 1] != '\0')
        size++;
    size += 2;
    char *copy = (char *)LocalAlloc(LMEM_FIXED, size);
    if (copy != 0) {
        for (SIZE_T i = 0; i < size; i++)
            copy[i] = env[i];
        g_startEnv = copy;
    }
    FreeEnvironmentStringsA(env);
}

void Startup_BuildLeadTable(unsigned char leadBytes[256])
{
    for (int i = 0; i < 256; i++)
        leadBytes[i] = 0;
    CPINFO info;
    if (!GetCPInfo(CP_ACP, &info))
        return;
    for (int r = 0; r + 1 < MAX_LEADBYTES && info.LeadByte[r] != 0; r += 2)
        for (int b = info.LeadByte[r]; b <= info.LeadByte[r + 1]; b++)
            leadBytes[b] = 1;
}

void Startup_HardenDllSearch(void)
{
    // Windows before 8 (without KB2533623) has no SetDefaultDllDirectories.
    typedef BOOL(WINAPI * SetDefaultDllDirectoriesFn)(DWORD);
    HMODULE kernel = GetModuleHandleA("KERNEL32.DLL");
    if (kernel == 0)
        return;
    SetDefaultDllDirectoriesFn setDirs =
        (SetDefaultDllDirectoriesFn)(void *)GetProcAddress(kernel, "SetDefaultDllDirectories");
    if (setDirs != 0)
        setDirs(0x00000800 /* LOAD_LIBRARY_SEARCH_SYSTEM32 */);
}
