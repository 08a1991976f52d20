// descriptor.h: "NAME,SIZE" split at its first comma.
#pragma once
#include <stdint.h>

// Cuts text at its first comma so that it holds NAME, and reads SIZE after the
// comma by the decimal rule. Returns false, leaving text as it was, when there is no comma.
bool Desc_Split(char *text, uint32_t *size);
