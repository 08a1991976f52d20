// stringtable.h: string-table blocks, written whole and read as LoadStringA reads them.
#pragma once
#include "image/pe.h"
#include "src/sizes.h"

#include <map>
#include <optional>
#include <string>

namespace selfextr {

// Replaces the string-table blocks that hold these ids with blocks holding them.
void StringTable_Put(const std::map<uint16_t, std::u16string> &strings, ResTree &tree);
// The string a LoadStringA of the given capacity would give, or nullopt when missing.
std::optional<std::string> StringTable_Get(const ResTree &tree, uint16_t id, size_t capacity = kTextBytes);

}  // namespace selfextr
