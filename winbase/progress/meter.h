// meter.h: where the meter's text and its two parts go.
#pragma once
#include <stdint.h>

struct MeterBox {
    int32_t left, top, right, bottom;
};

struct MeterLayout {
    int32_t textX, textY;  // origin of the "%u%%" text
    int32_t boundary;      // f = p * W / 100
    MeterBox done;         // highlight part, already shrunk by one pixel
    MeterBox rest;         // window-colour part, already shrunk by one pixel
};

// width, height: the control's client size; textCx, textCy: the text's extent.
void Meter_Layout(int32_t width, int32_t height, int32_t textCx, int32_t textCy,
                  uint32_t percent, MeterLayout *out);
