// envlookup.cpp: the run-time's getenv matching rule.
#include "envlookup.h"

static unsigned char FoldCase(unsigned char c)
{
    return (c >= 'a' && c <= 'z') ? (unsigned char)(c - 'a' + 'A') : c;
}

const char *Env_Find(const char *block, const char *name)
{
    if (block == 0)
        return 0;
    for (const char *s = block; *s != '\0'; ) {
        const char *a = s;
        const char *b = name;
        while (*b != '\0' && FoldCase((unsigned char)*a) == FoldCase((unsigned char)*b)) {
            a++;
            b++;
        }
        if (*b == '\0' && *a == '=')
            return a + 1;
        while (*s != '\0')
            s++;
        s++;
    }
    return 0;
}
