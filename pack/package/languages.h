// languages.h: BCP-47 tags as Windows language ids, and the order in which the
// platform's loader picks a string table's language for a user.
#pragma once
#include <cstdint>
#include <string>

namespace selfextr {

// "de" gives German with a neutral sublanguage (0x0007), which the loader
// finds for every German user (de-DE, de-AT, de-CH...); "pt-BR" gives that
// exact language (0x0416). False, with error, for a tag not in the table, and
// for en-US, the language of the package's default strings.
bool Language_Id(const std::string &tag, uint16_t &id, std::string &error);
// The tag of an id Language_Id gives, or "0xNNNN" for another.
std::string Language_Tag(uint16_t id);
// A language that no package's translations use, standing for a user whose
// language the package does not have.
constexpr uint16_t kLanguageAbsent = 0x0436;  // Afrikaans

}  // namespace selfextr
