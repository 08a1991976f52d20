// stamp_test: the package stamp as a file's last-write time.
#include <gtest/gtest.h>
#include <windows.h>

#include <cstdio>
#include <string>

#include "module_support.h"

TEST(Stamp, LastWriteTimeUsesTheOffsetInForceNow)
{
    std::string path = FreshTempFolder("stamp") + "\\f.txt";
    HFILE file = _lcreat(path.c_str(), 0);
    ASSERT_NE(file, HFILE_ERROR);
    const WORD date = (16 << 9) | (7 << 5) | 9, time = 0x2000;  // 9 July 1996, 04:00
    Stamp_Apply(file, date, time);
    _lclose(file);
    HANDLE h = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, 0, OPEN_EXISTING, 0, 0);
    FILETIME got;
    GetFileTime(h, 0, 0, &got);
    CloseHandle(h);
    // Expected: the local time less the bias in force at this moment, whatever July's was.
    TIME_ZONE_INFORMATION tz;
    DWORD mode = GetTimeZoneInformation(&tz);
    LONG bias = tz.Bias + (mode == TIME_ZONE_ID_DAYLIGHT ? tz.DaylightBias : tz.StandardBias);
    SYSTEMTIME local = {1996, 7, 0, 9, 4, 0, 0, 0};
    FILETIME localFt;
    SystemTimeToFileTime(&local, &localFt);
    ULARGE_INTEGER expect;
    expect.LowPart = localFt.dwLowDateTime;
    expect.HighPart = localFt.dwHighDateTime;
    expect.QuadPart += (ULONGLONG)(LONGLONG)bias * 60 * 10000000;
    EXPECT_EQ(got.dwLowDateTime, expect.LowPart);
    EXPECT_EQ(got.dwHighDateTime, expect.HighPart);
}
