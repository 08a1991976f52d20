// register.h: every file the stub may have created, and their removal.
#pragma once
#include <windows.h>

#include "counters.h"
#include "state.h"

// False when the register is full or the copy cannot be allocated: the caller
// must then not create the file.
BOOL Register_Add(const char *path);
void Register_CleanUp(void);
void Register_Pump(void);
