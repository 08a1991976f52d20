// cmdtail.cpp: strips the program name the way the run-time start-up does.
#include "cmdtail.h"

const char *Tail_Find(const char *line, const unsigned char leadBytes[256])
{
    const unsigned char *p = (const unsigned char *)line;
    if (*p == '"') {
        // An unclosed quote swallows the whole line.
        p++;
        while (*p != '\0' && *p != '"') {
            if (leadBytes[*p] && p[1] != '\0')
                p++;
            p++;
        }
        if (*p == '"')
            p++;
    } else {
        while (*p > ' ')
            p++;
    }
    while (*p != '\0' && *p <= ' ')
        p++;
    return (const char *)p;
}
