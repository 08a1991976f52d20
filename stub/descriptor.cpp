// descriptor.cpp: names are used unchanged, sizes skip leading white space.
#include "descriptor.h"
#include "decimal.h"

bool Desc_Split(char *text, uint32_t *size)
{
    char *comma = text;
    while (*comma != '\0' && *comma != ',')
        comma++;
    if (*comma != ',')
        return false;
    *size = (uint32_t)Dec_Read(comma + 1);
    *comma = '\0';
    return true;
}
