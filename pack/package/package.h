// package.h: a package as the stub reads it, and its place in the resource tree.
#pragma once
#include "package/appmanifest.h"
#include "package/dates.h"
#include "package/languages.h"
#include "package/names.h"
#include "package/payload.h"
#include "package/runner_settings.h"
#include "image/pe.h"
#include "package/stringtable.h"
#include "base/text.h"
#include "package/version.h"
#include "res/selfextr.h"
#include "stub/sizes.h"

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace selfextr {

constexpr uint16_t kRtEntry = RT_ENTRY;
constexpr uint16_t kStringCaption = STRING_CAPTION, kStringPrompt = STRING_PROMPT, kStringDate = STRING_DATE,
                   kStringTime = STRING_TIME, kStringTotal = STRING_TOTAL, kEntryFirst = ENTRY_FIRST_ID,
                   kDialogProgress = IDD_PROGRESS;
// The package marker that tells a finished stub from any other program.
constexpr uint16_t kRtPackageMarker = SELFEXTR_PACKAGE_MARKER_TYPE, kPackageMarkerId = SELFEXTR_PACKAGE_MARKER_ID;
constexpr std::string_view kPackageMarker = SELFEXTR_PACKAGE_MARKER;
// The payload, which the runner reads from the stub's image and the stub never writes.
constexpr uint16_t kRtPayload = RUNNER_PAYLOAD_TYPE, kPayloadId = RUNNER_PAYLOAD_ID;
constexpr uint32_t kMaxEntries = MAX_REGISTER;  // the stub registers every file it writes

// The format's own limit: bytes * 100 still fits in 32 bits, the percentage
// arithmetic a stub of the format may use. Ours does not wrap above it.
constexpr uint32_t kFormatTotal = 42949672;
// The entry the stub runs by default, as names are compared (Name_Fold).
constexpr std::u16string_view kSetupName = u"" SETUP_NAME;

// The largest package pack writes: what our stub is shown to extract exactly
// under Wine on every kind of machine we test on (1,048,576,000 bytes of
// entries where Wine runs under emulation, 2,044,723,200 where it runs
// natively), less a margin.
constexpr uint64_t kMaxPackageBytes = 1000000000;

// The end of every message that refuses a package above kMaxPackageBytes.
inline std::string Package_MaxBytesText()
{
    return Text_Thousands(kMaxPackageBytes) + " bytes, the most a selfextr stub is shown to extract";
}

struct PackFile {
    std::filesystem::path source;
    std::string name;     // the name written into the work folder
    bool folder = false;  // source is a folder: each regular file in it, by the byte order of the names
};

// A caption and prompt in one more language.
struct Translation {
    std::string tag;  // BCP-47: de, pt-BR
    std::string caption, prompt;
};

struct PackRequest {
    std::string caption, prompt;
    std::string date;  // ISO, 2026-12-08; empty: Package_DefaultDate
    std::string time;  // H:MM; empty: 0:00
    std::vector<PackFile> files;
    std::optional<VersionRecord> version;
    bool allowNonAscii = false;
    std::string executionLevel;  // asInvoker, highestAvailable or requireAdministrator; empty: no manifest
    std::filesystem::path payloadDir;           // a folder tree packed as one .tar.xz entry; empty: none
    PayloadOptions payloadOptions;
    std::shared_ptr<const Payload> payload;     // payloadDir, compressed (Command_Pack makes it)
    std::vector<Translation> translations;      // besides the default caption and prompt (en-US)
    std::string run;                            // the command the runner starts; needs a payload
    std::filesystem::path runnerFile;           // the runner carried as SETUP.EXE; empty: the tool's own
    std::shared_ptr<const std::vector<uint8_t>> runner;  // the runner's bytes, carried unchanged (Package_Assemble reads them)
};

// The files of the request in package order, each folder replaced by its
// regular files in the byte order of their names; a subfolder, a link, a
// special file or an empty folder is refused.
bool Package_ExpandFolders(const std::vector<PackFile> &inputs, std::vector<PackFile> &files, std::string &error);

// The release date when none is given: SOURCE_DATE_EPOCH's (a UTC date) when
// it is set, else the local date of the newest modification time among the
// files and the payload's files and folders. from says which, for pack to tell.
bool Package_DefaultDate(const std::vector<PackFile> &files, const Payload *payload, const char *sourceDateEpoch,
                         std::string &iso, std::string &from, std::string &error);

// Everything the stub will see of a package, decoded by the stub's own rules.
struct ListedEntry {
    uint32_t number = 0;
    std::string descriptor;       // as LoadStringA gives it (cut to kTextBytes - 1 bytes)
    std::string name;
    uint32_t size = 0;
    const ResData *data = nullptr;
    std::string problem;          // why it is not written as listed; empty when it is
};
struct Listing {
    std::string caption, prompt, dateText, timeText, totalText;
    uint16_t dateWord = 0, timeWord = 0;
    uint32_t total = 0;
    std::string executionLevel;            // from the application manifest; empty when there is none
    bool marked = false;                   // it carries the package marker, by which setup programs and the runner find it
    std::vector<ListedEntry> entries;      // those the stub extracts, in order
    std::vector<std::string> problems;     // each a line for list and a failure for verify
    std::vector<std::string> notes;        // shown by list and verify, never a failure
    // The payload, decoded with the runner's decoder; items only when asked for.
    struct ListedPayload {
        std::string name;
        const ResData *data = nullptr;
        PayloadSummary summary;
        std::vector<PayloadItem> items;
        std::vector<std::string> filePaths;  // every file's path, for the runner's command
        std::span<const uint8_t> bytes;      // as the runner reads it
        bool asEntry = false;                // the earlier layout: an entry the stub writes, named by string 3001
        bool intact = false;                 // decoded whole, every check verified
    };
    std::optional<ListedPayload> payload;
    // Each translation of the caption and the prompt, as a user of that language reads them.
    struct ListedLanguage {
        uint16_t id = 0;
        std::string tag, caption, prompt;
    };
    std::vector<ListedLanguage> languages;
    // The runner's settings, as it will read them.
    struct ListedRun {
        RunnerSettingValues settings;  // as stored; "" when absent
        RunnerProgram program;
    };
    std::optional<ListedRun> run;
    // Whether the stub and the runner (absent without one) carry a signature: a certificate table.
    bool stubSigned = false;
    std::optional<bool> runnerSigned;
};
// withPayloadItems: keep every folder and file of the payload (list); the
// payload is decoded and checked either way.
Listing Package_List(const ResTree &tree, bool withPayloadItems = false);
// Package_List, and whether the image itself carries a signature.
Listing Package_ListImage(const Image &image, bool withPayloadItems = false);
// A payload's tree written into dir as the runner writes it: folders named
// as Windows names them (a later "A/x" goes into the "a" made first), each
// file with its time; all of it or, on a failure, none of it.
bool Package_ExtractPayload(std::span<const uint8_t> payload, const std::filesystem::path &dir, PayloadSummary &summary,
                            std::string &error);
// The note for a package above the format's 32-bit percentage rule.
std::string Package_FormatNote(uint64_t total);

}  // namespace selfextr
