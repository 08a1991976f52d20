// counters.h: test builds only (SELFEXTR_COUNTING): how often the clean-up
// pumped, deleted and probed, the writer wrote a chunk (and the meter was
// drawn, which the progress window declares and these define).
#pragma once
#include <windows.h>

#ifdef SELFEXTR_COUNTING
extern LONG g_countPump, g_countDelete, g_countProbe, g_countChunk;  // g_countRedraw: progress/progress.h
#define SELFEXTR_COUNT(counter) ((counter)++)
#else
#define SELFEXTR_COUNT(counter) ((void)0)
#endif
