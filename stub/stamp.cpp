// stamp.cpp: the package stamp, built once and given to every written file.
#include "run.h"
#include "stampwords.h"
#include "../res/selfextr.h"

void Stamp_Build(HINSTANCE module, WORD *date, WORD *time)
{
    // Zero-filled before each load: a string shorter than its layout then
    // reads as zeros past its end instead of as stale bytes.
    char text[kTextBytes] = {};
    // The time word is built before the date word, in the same buffer.
    LoadStringA(module, STRING_TIME, text, sizeof text);
    *time = Stamp_TimeWord(text);
    for (char &c : text)
        c = '\0';
    LoadStringA(module, STRING_DATE, text, sizeof text);
    *date = Stamp_DateWord(text);
}

void Stamp_Apply(HFILE file, WORD date, WORD time)
{
    FILETIME local;
    FILETIME utc;
    DosDateTimeToFileTime(date, time, &local);
    // Uses the offset in force now, whatever season the stamped date is in.
    LocalFileTimeToFileTime(&local, &utc);
    SetFileTime((HANDLE)(INT_PTR)file, 0, 0, &utc);
}
