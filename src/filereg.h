// filereg.h: every file the stub may have created, and their removal.
#pragma once
#include <windows.h>

#include "sizes.h"

extern char *g_register[MAX_REGISTER];

// False when the register is full or the copy cannot be allocated: the caller
// must then not create the file.
BOOL Register_Add(const char *path);
void Register_CleanUp(void);
void Register_Pump(void);

#ifdef SELFEXTR_COUNTING
// Test builds only: how often the clean-up pumped, deleted and probed, how
// often the writer wrote a chunk, and how often the meter was drawn.
extern LONG g_countPump, g_countDelete, g_countProbe, g_countChunk, g_countRedraw;
#define SELFEXTR_COUNT(counter) ((counter)++)
#else
#define SELFEXTR_COUNT(counter) ((void)0)
#endif
