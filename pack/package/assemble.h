// assemble.h: everything pack does before it writes: the payload compressed,
// the runner and its settings checked, the date and the stamp resolved once.
#pragma once
#include "package/package.h"

#include <map>
#include <optional>
#include <span>

namespace selfextr {

// One entry the stub writes: its descriptor, and a file of the request or the runner.
struct PlannedEntry {
    static constexpr size_t kRunner = size_t(-1);
    std::string descriptor;
    size_t file = kRunner;  // index into the request's files
    uint64_t size = 0;
};

// A pack request resolved and checked: everything laying it out needs, and
// nothing it must check again.
struct Assembly {
    PackRequest request;             // folders expanded, the payload compressed, the runner carried, the date given
    std::string dateFrom = "as given";  // where the date came from, for pack to tell
    uint32_t timestamp = 0;          // the image's TimeDateStamp
    std::string dateText, timeText;  // the date and time strings the stub reads
    std::vector<PlannedEntry> entries;  // in the stub's order: the files, then the runner
    uint64_t total = 0;              // the entries' bytes
    std::map<uint16_t, Translation> languages;  // each translation by its language id
    std::optional<std::vector<uint8_t>> version;  // the version resource
    RunnerSettingValues settings;    // with a payload: what the runner reads
    std::vector<std::string> notes;  // what pack tells besides (a program from the system folder)
    std::vector<std::string> warnings;
};

// Resolves the request once (folders expanded, the runner read, the payload
// compressed, its settings derived, the date and the stamp chosen from the
// environment given) and checks it whole. carriedRunner: the runner the tool
// carries, used unless request.runnerFile names one.
bool Package_Assemble(const PackRequest &request, std::span<const uint8_t> carriedRunner, const char *sourceDateEpoch,
                      Assembly &out, std::string &error);
// The checks of Package_Assemble on out.request as it stands (no folder, a
// date given, the payload and the runner already there): the plan filled in.
bool Package_Check(Assembly &out, std::string &error);
// The checked package laid out as resources, replacing an earlier package's.
void Package_Layout(const Assembly &assembly, ResTree &tree);

// Rewrites a freshly linked bare image in place the way pack writes every image
// (.rsrc read-only, its resources laid out by selfextr), stamped with
// SOURCE_DATE_EPOCH, so that two builds of one source give the same bytes.
// compactHeaders also drops the linker's DOS program and packs the headers
// into as few bytes as they need (Image_CompactHeaders).
bool Package_FinishBareImage(const std::filesystem::path &path, const char *sourceDateEpoch, bool compactHeaders,
                             std::string &error);

}  // namespace selfextr
