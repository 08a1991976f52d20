// listing_json.h: a listing as one JSON object, for list --json and verify --json.
#pragma once
#include "package/package.h"

namespace selfextr {

// The object's members (schema version 1; see docs/package-format.md):
//   schema, file, caption, prompt, stamp {local, date_string, time_string},
//   total, execution_level (absent without a manifest),
//   entries [{number, name, size, data_length, problem (absent when none)}],
//   problems [...], notes [...], ok (no problems).
std::string ListingJson_Format(const Listing &listing, const std::string &file);

}  // namespace selfextr
