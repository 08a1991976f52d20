// names.h: file names as Windows holds and compares them.
#pragma once
#include <cstddef>
#include <string>

namespace selfextr {

constexpr size_t kMaxNameUnits = 255;  // UTF-16 units in one Windows file name

// Why a name cannot be written into the work folder, or empty when it can.
std::string Name_Problem(const std::string &name, bool allowNonAscii);
// Where a name goes: an entry's name (its descriptor splits at a comma), or a
// name in the payload, which the runner writes through UTF-16 calls.
enum class NameUse { kEntry, kPayload };
std::string Name_Problem(const std::string &name, NameUse use);
// A name as Windows compares it: upper-cased unit by unit.
std::u16string Name_Fold(const std::string &name);
// Whether a file name would leave the folder it is written into.
bool Name_LeavesFolder(const std::string &name);

}  // namespace selfextr
