// workdir.h: the folder that receives the entries, and the path probe.
#pragma once
#include <windows.h>

#include "sizes.h"

extern char g_workDir[kTextBytes];  // without a trailing backslash
extern BOOL g_ownFolder;     // the fallback folder was chosen; the clean-up removes it

BOOL Path_Exists(const char *path);
void WorkDir_Choose(void);
