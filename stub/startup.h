// startup.h: what the start-up keeps for the rest of the run.
#pragma once

#include "state.h"

void Startup_SaveEnvironment(void);
void Startup_BuildLeadTable(unsigned char leadBytes[256]);
void Startup_HardenDllSearch(void);
