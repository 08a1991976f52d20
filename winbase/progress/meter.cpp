// meter.cpp: the meter's geometry in signed 32-bit arithmetic, divisions
// truncating toward zero, products wrapping: the percentage times the width
// never traps, even for a control wider than any screen.
#include "meter.h"

static int32_t MulWrap(int32_t a, int32_t b)
{
    return (int32_t)((uint32_t)a * (uint32_t)b);
}

static MeterBox Shrunk(int32_t left, int32_t top, int32_t right, int32_t bottom)
{
    MeterBox box = { left + 1, top + 1, right - 1, bottom - 1 };
    return box;
}

void Meter_Layout(int32_t width, int32_t height, int32_t textCx, int32_t textCy,
                  uint32_t percent, MeterLayout *out)
{
    out->textX = (width - textCx) / 2;
    out->textY = (height - textCy) / 2;
    out->boundary = MulWrap((int32_t)percent, width) / 100;
    // The columns f - 1 to f + 1 stay as an earlier redraw left them.
    out->done = Shrunk(0, 0, out->boundary, height);
    out->rest = Shrunk(out->boundary + 1, 0, width, height);
}
