// package_build.cpp: a pack request checked and turned into the package's resources.
#include "package/package.h"
#include "base/input.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <sys/stat.h>
#include <set>

namespace selfextr {

std::string Package_FormatNote(uint64_t total)
{
    return "the package holds " + Text_Thousands(total) + " bytes, more than the " + Text_Thousands(kFormatTotal) +
           " of the format's 32-bit percentage rule: a selfextr stub extracts it, a stub that follows that rule shows a wrong percentage";
}

bool Package_DefaultDate(const std::vector<PackFile> &files, const Payload *payload, const char *sourceDateEpoch,
                         std::string &iso, std::string &from, std::string &error)
{
    if (sourceDateEpoch != nullptr && *sourceDateEpoch != '\0') {
        from = "from SOURCE_DATE_EPOCH, a UTC date";
        return Date_FromEpoch(sourceDateEpoch, iso, error);
    }
    const PackFile *newest = nullptr;
    struct stat newestStat = {};
    for (const PackFile &f : files) {
        struct stat st;
        if (stat(f.source.string().c_str(), &st) != 0)
            return error = "cannot read " + f.source.string() + ": " + std::strerror(errno), false;
        if (newest == nullptr || st.st_mtime > newestStat.st_mtime)
            newest = &f, newestStat = st;
    }
    std::filesystem::path newestPath = newest != nullptr ? newest->source : std::filesystem::path();
    time_t when = newestStat.st_mtime;
    if (payload != nullptr && !payload->newest.empty() && (newest == nullptr || payload->newestTime > when))
        newestPath = payload->newest, when = time_t(payload->newestTime);
    if (newestPath.empty())
        return error = "no date: give one (2026-12-08), set SOURCE_DATE_EPOCH, or pack a file to take it from", false;
    // The day the newest input was last changed, where pack runs.
    std::tm local = {};
#ifdef _WIN32
    if (localtime_s(&local, &when) != 0)
#else
    if (localtime_r(&when, &local) == nullptr)
#endif
        return error = "cannot read the modification time of " + newestPath.string(), false;
    char text[32];
    snprintf(text, sizeof text, "%04d-%02d-%02d", local.tm_year + 1900, local.tm_mon + 1, local.tm_mday);
    iso = text;
    from = "the newest modification time among the inputs (" + newestPath.string() + "), a local date";
    std::string encoded;
    if (!Date_Encode(iso, encoded, error))
        return error = "no date: the newest input, " + newestPath.string() + ", was changed on " + iso +
                       ", which cannot be stamped; give one (--date) or set SOURCE_DATE_EPOCH", false;
    return true;
}

bool Package_ExpandFolders(const std::vector<PackFile> &inputs, std::vector<PackFile> &files, std::string &error)
{
    files.clear();
    for (const PackFile &input : inputs) {
        if (!input.folder) {
            files.push_back(input);
            continue;
        }
        const std::string where = "folder \"" + input.source.string() + "\"";
        std::error_code ec;
        auto status = std::filesystem::symlink_status(input.source, ec);
        if (ec)
            return error = where + " cannot be read: " + ec.message(), false;
        if (!std::filesystem::is_directory(status))
            return error = where + " is not a folder", false;
        std::vector<std::string> names;
        for (std::filesystem::directory_iterator it(input.source, ec), end; !ec && it != end; it.increment(ec)) {
            const std::string name = it->path().filename().string();
            auto type = it->symlink_status(ec).type();
            if (ec)
                break;
            // The package is flat, and only a regular file says what reading it gives.
            if (type == std::filesystem::file_type::directory)
                return error = where + " holds the folder \"" + name + "\": a package is flat, the stub creates no folders", false;
            if (type == std::filesystem::file_type::symlink)
                return error = where + " holds the symbolic link \"" + name + "\": only regular files are packed", false;
            if (type != std::filesystem::file_type::regular)
                return error = where + " holds \"" + name + "\", which is not a regular file", false;
            names.push_back(name);
        }
        if (ec)
            return error = where + " cannot be read: " + ec.message(), false;
        if (names.empty())
            return error = where + " holds no files", false;
        // Byte order, the same on every machine whatever its locale or file system.
        std::sort(names.begin(), names.end());
        for (const std::string &name : names)
            files.push_back({input.source / name, name, false});
    }
    return true;
}

bool Package_Build(const PackRequest &request, const char *sourceDateEpoch, ResTree &tree,
                   std::vector<std::string> &warnings, std::string &error)
{
    std::u16string caption = Text_Utf16(request.caption), prompt = Text_Utf16(request.prompt);
    // An empty string is a missing one: the question would have no title or no text.
    if (caption.empty())
        return error = "no caption: give one (the title of the question and the progress window)", false;
    if (prompt.empty())
        return error = "no prompt: give the question the stub asks", false;
    if (Text_AnsiBytes(caption) > kCaptionBytes - 1)
        return error = "caption \"" + request.caption + "\" is longer than " + std::to_string(kCaptionBytes - 1) + " bytes", false;
    if (Text_AnsiBytes(prompt) > kTextBytes - 1)
        return error = "prompt is longer than " + std::to_string(kTextBytes - 1) + " bytes", false;

    std::string iso = request.date, date, time;
    if (iso.empty()) {
        if (sourceDateEpoch == nullptr || *sourceDateEpoch == '\0')
            return error = "no date: give one (2026-12-08) or set SOURCE_DATE_EPOCH", false;
        if (!Date_FromEpoch(sourceDateEpoch, iso, error))
            return false;
    }
    if (!Date_Encode(iso, date, error) || !Date_EncodeTime(request.time.empty() ? "0:00" : request.time, time, error))
        return false;

    std::vector<PackFile> files;
    if (!Package_ExpandFolders(request.files, files, error))
        return false;
    if (files.size() > kMaxEntries)
        return error = std::to_string(files.size()) + " files: a package holds at most " + std::to_string(kMaxEntries), false;
    std::set<std::u16string> seen;
    uint64_t total = 0;
    std::vector<std::pair<std::string, uint64_t>> descriptors;
    bool hasSetup = false;
    for (const PackFile &f : files) {
        if (std::string why = Name_Problem(f.name, request.allowNonAscii); !why.empty())
            return error = "file name \"" + f.name + "\" " + why, false;
        std::u16string folded = Name_Fold(f.name);
        if (!seen.insert(folded).second)
            return error = "file name \"" + f.name + "\" is given twice (names are compared ignoring case)", false;
        hasSetup |= folded == kSetupName;
        // Only a regular file has a size that says what reading it gives.
        InputFile in;
        if (!Input_Open(f.source, in, error))
            return false;
        uint64_t size = in.size;
        // A file the file system does not size (such as those of /proc) says
        // 0 bytes and holds more, or fails to read: its size would be a lie.
        if (size == 0) {
            InputNext next = Input_Peek(in, error);
            if (next == InputNext::kFailed)
                return false;
            if (next == InputNext::kMore)
                return error = "file \"" + f.source.string() + "\" reports 0 bytes but holds more (a file whose size is not known)", false;
        }
        std::string descriptor = f.name + "," + std::to_string(size);
        if (Text_AnsiBytes(Text_Utf16(descriptor)) > kTextBytes - 1)
            return error = "descriptor of \"" + f.name + "\" is longer than " + std::to_string(kTextBytes - 1) + " bytes", false;
        total += size;
        // Sizes come from the file system: a sparse file of any size is
        // refused here without being read.
        if (total > kMaxPackageBytes)
            return error = "the files add up to more than " + Package_MaxBytesText() + " (at \"" + f.source.string() + "\")", false;
        descriptors.emplace_back(descriptor, size);
    }
    if (request.runner) {
        if (hasSetup)
            return error = "a file of the package is named SETUP.EXE, but --run makes selfextr's runner the SETUP.EXE: rename the file", false;
        seen.insert(std::u16string(kSetupName));
        hasSetup = true;
        total += request.runner->size();
        descriptors.emplace_back(SETUP_NAME "," + std::to_string(request.runner->size()), request.runner->size());
    }
    if (request.payload) {
        const Payload &p = *request.payload;
        if (!seen.insert(Name_Fold(p.name)).second)
            return error = "file name \"" + p.name + "\" is the payload's own", false;
        if (descriptors.size() + 1 > kMaxEntries)
            return error = std::to_string(descriptors.size() + 1) + " entries with the payload: a package holds at most " +
                           std::to_string(kMaxEntries), false;
        total += p.bytes.size();
        if (total > kMaxPackageBytes)
            return error = "the files and the payload add up to more than " + Package_MaxBytesText(), false;
        descriptors.emplace_back(p.name + "," + std::to_string(p.bytes.size()), p.bytes.size());
    }
    if (total > kFormatTotal)
        warnings.push_back(Package_FormatNote(total));
    if (!hasSetup)
        warnings.push_back("no file is named SETUP.EXE: give the stub a command line, or it starts nothing");

    if (!request.executionLevel.empty() && !AppManifest_Known(request.executionLevel))
        return error = "execution level \"" + request.executionLevel +
                       "\" is not one of asInvoker, highestAvailable and requireAdministrator", false;

    // Each translation: its own caption and prompt, within the stub's limits.
    std::map<uint16_t, const Translation *> languages;
    for (const Translation &t : request.translations) {
        uint16_t id;
        if (!Language_Id(t.tag, id, error))
            return false;
        if (!languages.emplace(id, &t).second)
            return error = "language \"" + t.tag + "\" is given twice", false;
        std::u16string c = Text_Utf16(t.caption), q = Text_Utf16(t.prompt);
        if (c.empty() || q.empty())
            return error = "language \"" + t.tag + "\" needs both a caption and a prompt", false;
        if (Text_AnsiBytes(c) > kCaptionBytes - 1)
            return error = "language \"" + t.tag + "\": caption is longer than " + std::to_string(kCaptionBytes - 1) + " bytes", false;
        if (Text_AnsiBytes(q) > kTextBytes - 1)
            return error = "language \"" + t.tag + "\": prompt is longer than " + std::to_string(kTextBytes - 1) + " bytes", false;
    }

    std::optional<std::vector<uint8_t>> version;
    if (request.version) {
        uint16_t parts[4];
        if (!Version_Parse(request.version->version, parts))
            return error = "version \"" + request.version->version + "\" is not of the form 1.2.3.4", false;
        version = Version_Bytes(*request.version, parts);
    }

    // Packing again replaces the whole package: strings, entries and version go.
    tree.erase(ResKey::Id(kRtString));
    tree.erase(ResKey::Id(kRtEntry));
    tree.erase(ResKey::Id(kRtVersion));
    // The manifest is the package's too: without a level the stub carries none.
    if (auto manifests = tree.find(ResKey::Id(kRtManifest)); manifests != tree.end()) {
        manifests->second.erase(ResKey::Id(kManifestId));
        if (manifests->second.empty())
            tree.erase(manifests);
    }

    std::map<uint16_t, std::u16string> strings = {{kStringCaption, caption}, {kStringPrompt, prompt},
        {kStringDate, Text_Utf16(date)}, {kStringTime, Text_Utf16(time)}, {kStringTotal, Text_Utf16(std::to_string(total))}};
    for (size_t n = 0; n < descriptors.size(); n++) {
        uint16_t id = uint16_t(kEntryFirst + n);
        strings[id] = Text_Utf16(descriptors[n].first);
        auto &bytes = tree[ResKey::Id(kRtEntry)][ResKey::Id(id)][kLangEnUs].bytes;
        // The files, then the runner, then the payload.
        if (n < files.size())
            bytes = FileBytes{files[n].source, descriptors[n].second};
        else if (request.runner && n == files.size())
            bytes = *request.runner;
        else
            bytes = request.payload->bytes;
    }
    if (request.payload)
        RunnerSettings_Put(request.run, request.payload->name, request.runElevation, strings);
    StringTable_Put(strings, tree);
    // The caption, the question, the date and the time share one block, which
    // the platform loads whole in the user's language: each translation's
    // block holds the same date and time. Every other block is the default's,
    // found for any user after the user's own language (package-format.md).
    for (const auto &[id, t] : languages)
        StringTable_Put({{kStringCaption, Text_Utf16(t->caption)}, {kStringPrompt, Text_Utf16(t->prompt)},
                         {kStringDate, Text_Utf16(date)}, {kStringTime, Text_Utf16(time)}},
                        tree, id);
    // What makes the image a stub to the partner header and the runner.
    ResLangs &marker = tree[ResKey::Id(kRtPackageMarker)][ResKey::Id(kPackageMarkerId)];
    marker.clear();
    marker[kLangEnUs].bytes = std::vector<uint8_t>(kPackageMarker.begin(), kPackageMarker.end());
    if (version)
        tree[ResKey::Id(kRtVersion)][ResKey::Id(1)][kLangEnUs].bytes = std::move(*version);
    if (!request.executionLevel.empty()) {
        std::string xml = AppManifest_Xml(request.executionLevel);
        tree[ResKey::Id(kRtManifest)][ResKey::Id(kManifestId)][kLangEnUs].bytes = std::vector<uint8_t>(xml.begin(), xml.end());
    }
    return true;
}

}  // namespace selfextr
