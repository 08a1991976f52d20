// startup.h: what the start-up keeps for the rest of the run.
#pragma once

// The environment as it was when the process started ("name=value\0...\0\0").
extern const char *g_startEnv;

void Startup_SaveEnvironment(void);
void Startup_BuildLeadTable(unsigned char leadBytes[256]);
void Startup_HardenDllSearch(void);
