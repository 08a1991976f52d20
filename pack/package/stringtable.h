// stringtable.h: string-table blocks, written whole and read as LoadStringA reads them.
#pragma once
#include "image/pe.h"
#include "stub/sizes.h"

#include <map>
#include <optional>
#include <string>

namespace selfextr {

// Replaces the string-table blocks that hold these ids with blocks holding them.
// in the language lang.
void StringTable_Put(const std::map<uint16_t, std::u16string> &strings, ResTree &tree, uint16_t lang = kLangEnUs);
// The string a LoadStringA of the given capacity would give, or nullopt when missing.
// user: the UI language of the user it is read for (0: none in particular).
std::optional<std::string> StringTable_Get(const ResTree &tree, uint16_t id, size_t capacity = kTextBytes, uint16_t user = 0);

}  // namespace selfextr
