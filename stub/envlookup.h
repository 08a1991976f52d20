// envlookup.h: getenv over a saved environment block.
#pragma once

// block: "name=value\0...\0\0". Returns the value of the first string whose
// name matches without regard to case, or 0 when the variable is not defined.
const char *Env_Find(const char *block, const char *name);
