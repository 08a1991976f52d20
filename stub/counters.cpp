// counters.cpp: the test builds' counters; nothing in the stub itself.
#include "counters.h"
#include "progress/progress.h"

#ifdef SELFEXTR_COUNTING
LONG g_countPump, g_countDelete, g_countProbe, g_countChunk, g_countRedraw;
#endif
