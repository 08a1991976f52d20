// state.h: the stub's process-wide state, and who writes each item. It lives
// until the process ends; the main routine's run state (run.h) holds the rest.
#pragma once
#include <windows.h>

#include "sizes.h"

// The environment as it was when the process started ("name=value\0...\0\0").
// Written once by Startup_SaveEnvironment (startup.cpp); read by WorkDir_Choose.
extern const char *g_startEnv;

// The folder that receives the entries, without a trailing backslash, and
// whether it is the stub's own fallback folder, which the clean-up removes.
// Written once by WorkDir_Choose (workdir.cpp); read by the writer, the
// clean-up and the launch.
extern char g_workDir[kTextBytes];
extern BOOL g_ownFolder;

// Every file the writer may have created, ended by the first empty slot.
// Filled by Register_Add and released by Register_CleanUp (register.cpp).
extern char *g_register[MAX_REGISTER];

// Private to their files: the probe's path copy (workdir.cpp), the register's
// count and its started flag (register.cpp), the lead-byte table (entry.cpp).
