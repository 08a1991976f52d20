/* wineprobe.c: runs to completion only where 32-bit Windows programs run. */
#include <windows.h>

int main(void)
{
    return GetVersion() != 0 ? 0 : 1;
}
