// stampwords.cpp: "H:MM" and "MM-DD-YY" read at fixed positions.
#include "stampwords.h"
#include "decimal.h"

uint16_t Stamp_TimeWord(char text[kTextBytes])
{
    text[1] = '\0';  // exactly one hour digit
    uint32_t hours = (uint32_t)Dec_Read(text);
    uint32_t minutes = (uint32_t)Dec_Read(text + 2);
    return (uint16_t)(((hours & 0x1F) << 11) | ((minutes & 0x3F) << 5));
}

uint16_t Stamp_DateWord(char text[kTextBytes])
{
    text[2] = '\0';
    text[5] = '\0';
    uint32_t month = (uint32_t)Dec_Read(text);
    uint32_t day = (uint32_t)Dec_Read(text + 3);
    uint32_t year = (uint32_t)Dec_Read(text + 6);
    // The two-digit year counts from 1980 + 48 - 100, so 96 is 1996 and 00 is 2028.
    return (uint16_t)((((year + 48) & 0x7F) << 9) | ((month & 0x0F) << 5) | (day & 0x1F));
}
