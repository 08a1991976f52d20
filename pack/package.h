// package.h: a package as the stub reads it, and its place in the resource tree.
#pragma once
#include "pe.h"
#include "../res/selfextr.h"
#include "../src/sizes.h"

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace selfextr {

constexpr uint16_t kRtString = 6, kRtDialog = 5, kRtVersion = 16, kRtManifest = 24, kRtEntry = RT_ENTRY;
constexpr uint16_t kManifestId = 1;  // the manifest the loader reads for a program
constexpr uint16_t kStringCaption = STRING_CAPTION, kStringPrompt = STRING_PROMPT, kStringDate = STRING_DATE,
                   kStringTime = STRING_TIME, kStringTotal = STRING_TOTAL, kEntryFirst = ENTRY_FIRST_ID,
                   kDialogProgress = IDD_PROGRESS;
constexpr uint16_t kLangEnUs = 0x0409;
constexpr uint32_t kMaxEntries = MAX_REGISTER;  // the stub registers every file it writes
// The format's own limit: bytes * 100 still fits in 32 bits, the percentage
// arithmetic a stub of the format may use. Ours does not wrap above it.
constexpr uint32_t kFormatTotal = 42949672;
// The largest package pack writes: what our stub is shown to extract exactly
// under Wine on every kind of machine we test on (1,048,576,000 bytes of
// entries where Wine runs under emulation, 2,044,723,200 where it runs
// natively), less a margin.
constexpr uint64_t kMaxPackageBytes = 1000000000;
constexpr size_t kMaxNameUnits = 255;  // UTF-16 units in one Windows file name

struct PackFile {
    std::filesystem::path source;
    std::string name;  // the name written into the work folder
};

struct VersionRecord {
    std::string product, version, company, description, copyright;
};

struct PackRequest {
    std::string caption, prompt;
    std::string date;  // ISO, 2026-12-08; empty: SOURCE_DATE_EPOCH
    std::string time;  // H:MM; empty: 0:00
    std::vector<PackFile> files;
    std::optional<VersionRecord> version;
    bool allowNonAscii = false;
    std::string executionLevel;  // asInvoker, highestAvailable or requireAdministrator; empty: no manifest
};

// The execution levels an application manifest may request.
bool ExecutionLevel_Known(const std::string &level);
// The application manifest written for a level: the level and the supported systems.
std::string Manifest_Xml(const std::string &level);

// Checks the request and builds the package's resources (file data referenced,
// not read). Warnings are added to warnings; an error leaves the tree untouched.
bool Package_Build(const PackRequest &request, const char *sourceDateEpoch, ResTree &tree,
                   std::vector<std::string> &warnings, std::string &error);

// The finished image's TimeDateStamp: SOURCE_DATE_EPOCH when it is set, else
// the package's date and time read as UTC; never the clock.
bool Package_Timestamp(const PackRequest &request, const char *sourceDateEpoch, uint32_t &stamp, std::string &error);

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
    std::vector<ListedEntry> entries;      // those the stub extracts, in order
    std::vector<std::string> problems;     // each a line for list and a failure for verify
    std::vector<std::string> notes;        // shown by list and verify, never a failure
};
Listing Package_List(const ResTree &tree);

// The fields of the stub's date and time words.
struct StampParts {
    unsigned year, month, day, hour, minute;
};
StampParts Stamp_Parts(uint16_t dateWord, uint16_t timeWord);

// Replaces the string-table blocks that hold these ids with blocks holding them.
void Package_PutStrings(const std::map<uint16_t, std::u16string> &strings, ResTree &tree);

// The string a LoadStringA of the given capacity would give, or nullopt when missing.
std::optional<std::string> Package_String(const ResTree &tree, uint16_t id, size_t capacity = kTextBytes);

// Whether a file name would leave the folder it is written into.
bool Name_LeavesFolder(const std::string &name);

// "2026-12-08" to "12-08-126": the year field n satisfies (n + 48) mod 128 = year - 1980.
bool Date_Encode(const std::string &iso, std::string &out, std::string &error);
// "4:00" or "04:00" to "4:00": the stub reads a single hour digit.
bool Time_Encode(const std::string &hm, std::string &out, std::string &error);
// The date of a SOURCE_DATE_EPOCH value, in ISO form.
bool Date_FromEpoch(const char *epoch, std::string &iso, std::string &error);
// Why a name cannot be written into the work folder, or empty when it can.
std::string Name_Problem(const std::string &name, bool allowNonAscii);
// A name as Windows compares it: upper-cased unit by unit.
std::u16string Name_Fold(const std::string &name);

}  // namespace selfextr
