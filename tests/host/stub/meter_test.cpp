// Where the meter's text, boundary and two coloured parts fall.
#include <gtest/gtest.h>

#include "progress/meter.h"

TEST(MeterGeometry, BoundaryAndPartsAcrossPercentagesAndWidths)
{
    for (int32_t w : {1, 100, 283, 284, 1000}) {
        for (uint32_t p : {0u, 1u, 42u, 99u, 100u}) {
            MeterLayout m;
            Meter_Layout(w, 24, 30, 13, p, &m);
            int32_t f = int32_t(p) * w / 100;
            EXPECT_EQ(m.boundary, f) << w << " " << p;
            EXPECT_EQ(m.textX, (w - 30) / 2);
            EXPECT_EQ(m.textY, (24 - 13) / 2);
            // Done: columns 1 .. f-2; rest: f+2 .. W-2; rows 1 .. H-2.
            EXPECT_EQ(m.done.left, 1);
            EXPECT_EQ(m.done.right, f - 1);
            EXPECT_EQ(m.rest.left, f + 2);
            EXPECT_EQ(m.rest.right, w - 1);
            EXPECT_EQ(m.done.top, 1);
            EXPECT_EQ(m.done.bottom, 23);
            EXPECT_EQ(m.rest.top, 1);
            EXPECT_EQ(m.rest.bottom, 23);
        }
    }
}

TEST(MeterGeometry, EmptyPartsAtTheEnds)
{
    MeterLayout m;
    Meter_Layout(283, 24, 20, 13, 0, &m);
    EXPECT_EQ(m.done.left, 1);
    EXPECT_EQ(m.done.right, -1);  // right of its left edge: paints nothing
    EXPECT_EQ(m.rest.left, 2);    // column 1 is left alone by the rest
    Meter_Layout(283, 24, 20, 13, 100, &m);
    EXPECT_EQ(m.rest.left, 285);
    EXPECT_EQ(m.rest.right, 282);
    EXPECT_EQ(m.done.right, 282);
}

TEST(MeterGeometry, TextOriginTruncatesTowardZero)
{
    MeterLayout m;
    Meter_Layout(10, 5, 31, 20, 50, &m);  // text wider and taller than the control
    EXPECT_EQ(m.textX, -10);              // -21 / 2
    EXPECT_EQ(m.textY, -7);               // -15 / 2
    // A percentage past 100 (an invalid total) wraps in 32 bits like the stub's arithmetic.
    Meter_Layout(1000, 24, 20, 13, 0x80000000u, &m);
    EXPECT_EQ(m.boundary, 0);
}
