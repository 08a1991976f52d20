// workdir.h: the folder that receives the entries, and the path probe.
#pragma once
#include <windows.h>

#include "state.h"

BOOL WorkDir_PathExists(const char *path);
void WorkDir_Choose(void);
