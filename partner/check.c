/* check.c: the partner header compiles as C. */
#include "selfextr_partner.h"

BOOL Check(void) { return SelfExtr_RequestCleanup(0); }
