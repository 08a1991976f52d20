// assemble.h: everything pack does before it writes: the payload compressed,
// the runner and its settings checked, the date and the stamp resolved once.
#pragma once
#include "package/package.h"

#include <span>

namespace selfextr {

struct Assembly {
    PackRequest request;             // folders expanded, the payload compressed, the runner carried
    std::string dateFrom = "as given";  // where the date came from, for pack to tell
    uint32_t timestamp = 0;          // the image's TimeDateStamp
    std::vector<std::string> notes;  // what pack tells besides (a program from the system folder)
};

// carriedRunner: the runner the tool carries, used unless request.runnerFile names one.
bool Package_Assemble(const PackRequest &request, std::span<const uint8_t> carriedRunner, const char *sourceDateEpoch,
                      Assembly &out, std::string &error);

// Rewrites a freshly linked bare image in place the way pack writes every image
// (.rsrc read-only, its resources laid out by selfextr), stamped with
// SOURCE_DATE_EPOCH, so that two builds of one source give the same bytes.
bool Package_FinishBareImage(const std::filesystem::path &path, const char *sourceDateEpoch, std::string &error);

}  // namespace selfextr
