// listing_text.h: a listing as list and verify print it, and package text as a terminal may show it.
#pragma once
#include "package/package.h"

#include <iosfwd>
#include <string>

namespace selfextr {

// Text from a package with control characters and bidirectional marks escaped.
std::string Shown(const std::string &text);
// A name quoted and escaped where it would not read as one word.
std::string Quoted(const std::string &name);
// What list (verifyOnly false) or verify prints of a listing of file:
// problems go to err for verify, to out for list.
void ListingText_Write(const Listing &listing, const std::string &file, bool verifyOnly, std::ostream &out, std::ostream &err);

}  // namespace selfextr
