// cmdtail.h: the command tail, the command line less the program's own name.
#pragma once

// leadBytes[b] is non-zero when b is a double-byte lead byte of the ANSI code page.
const char *Tail_Find(const char *line, const unsigned char leadBytes[256]);
