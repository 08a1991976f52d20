// package_check.cpp: a pack request's inputs resolved and every rule checked,
// before anything is laid out.
#include "package/assemble.h"
#include "base/input.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <set>
#include <sys/stat.h>

namespace selfextr {

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

namespace {

// The caption, the prompt and each translation's, within the stub's limits.
bool CheckTexts(const PackRequest &request, Assembly &out, std::string &error)
{
    const std::u16string caption = Text_Utf16(request.caption), prompt = Text_Utf16(request.prompt);
    // An empty string is a missing one: the question would have no title or no text.
    if (caption.empty())
        return error = "no caption: give one (the title of the question and the progress window)", false;
    if (prompt.empty())
        return error = "no prompt: give the question the stub asks", false;
    if (Text_AnsiBytes(caption) > kCaptionBytes - 1)
        return error = "caption \"" + request.caption + "\" is longer than " + std::to_string(kCaptionBytes - 1) + " bytes", false;
    if (Text_AnsiBytes(prompt) > kTextBytes - 1)
        return error = "prompt is longer than " + std::to_string(kTextBytes - 1) + " bytes", false;
    for (const Translation &t : request.translations) {
        uint16_t id;
        if (!Language_Id(t.tag, id, error))
            return false;
        if (!out.languages.emplace(id, t).second)
            return error = "language \"" + t.tag + "\" is given twice", false;
        std::u16string c = Text_Utf16(t.caption), q = Text_Utf16(t.prompt);
        if (c.empty() || q.empty())
            return error = "language \"" + t.tag + "\" needs both a caption and a prompt", false;
        if (Text_AnsiBytes(c) > kCaptionBytes - 1)
            return error = "language \"" + t.tag + "\": caption is longer than " + std::to_string(kCaptionBytes - 1) + " bytes", false;
        if (Text_AnsiBytes(q) > kTextBytes - 1)
            return error = "language \"" + t.tag + "\": prompt is longer than " + std::to_string(kTextBytes - 1) + " bytes", false;
    }
    return true;
}

// The entries the stub writes: the files, then the runner; each name and
// descriptor within the stub's rules, and the sizes within the ceiling.
bool CheckEntries(const PackRequest &request, Assembly &out, std::string &error)
{
    const std::vector<PackFile> &files = request.files;
    if (files.size() > kMaxEntries)
        return error = std::to_string(files.size()) + " files: a package holds at most " + std::to_string(kMaxEntries), false;
    std::set<std::u16string> seen;
    uint64_t total = 0;
    bool hasSetup = false;
    auto add = [&](const std::string &name, uint64_t size, size_t file) {
        std::string descriptor = name + "," + std::to_string(size);
        if (Text_AnsiBytes(Text_Utf16(descriptor)) > kTextBytes - 1)
            return error = "descriptor of \"" + name + "\" is longer than " + std::to_string(kTextBytes - 1) + " bytes", false;
        total += size;
        out.entries.push_back({std::move(descriptor), file, size});
        return true;
    };
    for (size_t n = 0; n < files.size(); n++) {
        const PackFile &f = files[n];
        if (f.folder)
            return error = "folder \"" + f.source.string() + "\" is not expanded", false;
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
        // A file the file system does not size (such as those of /proc) says
        // 0 bytes and holds more, or fails to read: its size would be a lie.
        if (in.size == 0) {
            InputNext next = Input_Peek(in, error);
            if (next == InputNext::kFailed)
                return false;
            if (next == InputNext::kMore)
                return error = "file \"" + f.source.string() + "\" reports 0 bytes but holds more (a file whose size is not known)", false;
        }
        if (!add(f.name, in.size, n))
            return false;
        // Sizes come from the file system: a sparse file of any size is
        // refused here without being read.
        if (total > kMaxPackageBytes)
            return error = "the files add up to more than " + Package_MaxBytesText() + " (at \"" + f.source.string() + "\")", false;
    }
    if (request.runner) {
        if (hasSetup)
            return error = "a file of the package is named SETUP.EXE, but --run makes selfextr's runner the SETUP.EXE: rename the file", false;
        hasSetup = true;
        if (!add(std::string(SETUP_NAME), request.runner->size(), PlannedEntry::kRunner))
            return false;
    }
    // The payload is the image's own resource, which the stub never writes:
    // only the image's size bounds it, by the same ceiling.
    if (request.payload && total + request.payload->bytes.size() > kMaxPackageBytes)
        return error = "the files and the payload add up to more than " + Package_MaxBytesText(), false;
    out.total = total;
    if (total > kFormatTotal)
        out.warnings.push_back(Package_FormatNote(total));
    if (!hasSetup)
        out.warnings.push_back("no file is named SETUP.EXE: give the stub a command line, or it starts nothing");
    return true;
}

}  // namespace

bool Package_Check(Assembly &out, std::string &error)
{
    const PackRequest &request = out.request;
    out.entries.clear();
    out.languages.clear();
    out.warnings.clear();
    if (!CheckTexts(request, out, error) ||
        !Date_Encode(request.date, out.dateText, error) ||
        !Date_EncodeTime(request.time.empty() ? "0:00" : request.time, out.timeText, error) || !CheckEntries(request, out, error))
        return false;
    if (!request.executionLevel.empty() && !AppManifest_Known(request.executionLevel))
        return error = "execution level \"" + request.executionLevel +
                       "\" is not one of asInvoker, highestAvailable and requireAdministrator", false;
    if (request.version) {
        uint16_t parts[4];
        if (!Version_Parse(request.version->version, parts))
            return error = "version \"" + request.version->version + "\" is not of the form 1.2.3.4", false;
        out.version = Version_Bytes(*request.version, parts);
    }
    if (request.payload) {
        out.settings.payload = request.payload->name;
        out.settings.command = request.run;
    }
    return true;
}

}  // namespace selfextr
