// progress.h: the modeless progress window and its meter.
#pragma once
#include <windows.h>

#ifdef SELFEXTR_COUNTING
// Test builds only: how often the meter was drawn.
extern LONG g_countRedraw;
#endif

HWND Progress_Open(HINSTANCE module, const char *caption);
// Draws at once onto the meter control; without a window nothing is drawn.
void Progress_DrawMeter(HWND window, UINT percent);
void Progress_Centre(HWND window);
