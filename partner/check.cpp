// check.cpp: the partner header compiles as C++.
#include "selfextr_partner.h"

BOOL Check() { return SelfExtr_RequestCleanup(0); }
