// elevation.cpp: a program's manifest found through its resource directory,
// every offset checked against the bytes there, and its level read.
#include "package/elevation.h"

#include "base/bytes.h"
#include "image/pe_layout.h"
#include "package/payload.h"

#include <algorithm>
#include <optional>

namespace selfextr {

using namespace pe;

namespace {

constexpr uint16_t kMagicPe32Plus = 0x20B;
// The optional header's directories: after 96 bytes in PE32, 112 in PE32+.
constexpr uint32_t kOptDirectoriesPlus = 112, kOptDirectoryCountPlus = 108;
constexpr uint32_t kRtManifestType = 24, kManifestProgram = 1;
// A manifest is a few KiB; far more is not one.
constexpr uint32_t kMaxManifestBytes = 1u << 20;

struct Reader {
    std::span<const uint8_t> b;
    uint64_t fileSize;
    std::string &error;
    // The bytes are there, or error says why they are not.
    bool Has(uint64_t at, uint64_t n, const char *what)
    {
        if (at + n <= b.size())
            return true;
        error = at + n > fileSize ? std::string(what) + " lies past the end of the file"
                                  : std::string(what) + " lies past the first " + std::to_string(kMaxProgramBytes >> 20) +
                                        " MiB, all selfextr reads of a program";
        return false;
    }
    uint32_t U32(uint64_t at) const { return Bytes_Le32(b, size_t(at)); }
    uint16_t U16(uint64_t at) const { return Bytes_Le16(b, size_t(at)); }
};

// Where an entry of a resource directory at dir (section-relative) for id
// leads: the entry's target field, or nullopt when there is none. Named
// entries come first and are never the number looked for.
std::optional<uint32_t> FindEntry(Reader &r, uint64_t rsrc, uint64_t rsrcSize, uint32_t dir, std::optional<uint32_t> id, bool &ok)
{
    ok = false;
    if (dir + uint64_t(kResDirBytes) > rsrcSize)
        return r.error = "its resource directory is damaged (a directory outside the resource section)", std::nullopt;
    if (!r.Has(rsrc + dir, kResDirBytes, "its resource directory"))
        return std::nullopt;
    uint32_t named = r.U16(rsrc + dir + kResDirNamedCount), ids = r.U16(rsrc + dir + kResDirIdCount);
    uint64_t entries = uint64_t(dir) + kResDirBytes, count = uint64_t(named) + ids;
    if (entries + count * kResEntryBytes > rsrcSize)
        return r.error = "its resource directory is damaged (entries outside the resource section)", std::nullopt;
    if (!r.Has(rsrc + entries, count * kResEntryBytes, "its resource directory"))
        return std::nullopt;
    ok = true;
    for (uint64_t i = id ? named : 0; i < count; i++) {
        uint64_t at = rsrc + entries + i * kResEntryBytes;
        if (!id || ((r.U32(at + kResEntryKey) & kResNamed) == 0 && r.U32(at + kResEntryKey) == *id))
            return r.U32(at + kResEntryTarget);
    }
    return std::nullopt;
}

}  // namespace

bool Elevation_OfManifest(std::span<const uint8_t> xml, std::string &level, std::string &error)
{
    // The text as ASCII: UTF-16 (with or without its mark) to its low bytes,
    // which is all an element's and a level's name use.
    std::string t;
    bool wide = xml.size() >= 2 && ((xml[0] == 0xFF && xml[1] == 0xFE) || (xml[0] == '<' && xml[1] == 0));
    for (size_t i = 0; i < xml.size(); i += wide ? 2 : 1)
        t += xml[i] < 0x80 && (!wide || i + 1 >= xml.size() || xml[i + 1] == 0) ? char(xml[i]) : '?';
    level.clear();
    int found = 0;
    auto space = [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; };
    for (size_t i = 0; i < t.size(); i++) {
        if (t[i] != '<')
            continue;
        if (t.compare(i, 4, "<!--") == 0) {
            size_t end = t.find("-->", i + 4);
            if (end == std::string::npos)
                break;
            i = end + 2;
            continue;
        }
        size_t at = i + 1, nameEnd = at;
        while (nameEnd < t.size() && !space(t[nameEnd]) && t[nameEnd] != '/' && t[nameEnd] != '>')
            nameEnd++;
        std::string name = t.substr(at, nameEnd - at);
        // Any namespace prefix: the element's own name decides.
        if (name.substr(name.rfind(':') + 1) != "requestedExecutionLevel")
            continue;
        if (++found > 1)
            return error = "its manifest names more than one requestedExecutionLevel", false;
        size_t p = nameEnd;
        for (;;) {
            while (p < t.size() && space(t[p]))
                p++;
            if (p >= t.size() || t[p] == '/' || t[p] == '>')
                break;
            size_t attrEnd = p;
            while (attrEnd < t.size() && !space(t[attrEnd]) && t[attrEnd] != '=' && t[attrEnd] != '/' && t[attrEnd] != '>')
                attrEnd++;
            std::string attr = t.substr(p, attrEnd - p);
            p = attrEnd;
            while (p < t.size() && space(t[p]))
                p++;
            if (p >= t.size() || t[p] != '=')
                return error = "its manifest's requestedExecutionLevel is not well formed", false;
            p++;
            while (p < t.size() && space(t[p]))
                p++;
            char quote = p < t.size() ? t[p] : 0;
            size_t close = quote == '"' || quote == '\'' ? t.find(quote, p + 1) : std::string::npos;
            if (close == std::string::npos)
                return error = "its manifest's requestedExecutionLevel is not well formed", false;
            if (attr.substr(attr.rfind(':') + 1) == "level")
                level = t.substr(p + 1, close - p - 1);
            p = close + 1;
        }
        if (level.empty())
            return error = "its manifest's requestedExecutionLevel names no level", false;
        if (level != "asInvoker" && level != "highestAvailable" && level != "requireAdministrator")
            return error = "its manifest asks for the execution level \"" + level +
                           "\", none of asInvoker, highestAvailable and requireAdministrator", false;
        i = p;
    }
    return true;
}

bool Elevation_OfImage(std::span<const uint8_t> image, uint64_t fileSize, std::string &level, std::string &error)
{
    level.clear();
    error.clear();
    Reader r{image, fileSize, error};
    // Not an image Windows starts: nothing to ask for, and the runner says why it cannot start it.
    if (image.size() < 64 || image[0] != 'M' || image[1] != 'Z')
        return true;
    uint64_t peAt = r.U32(kDosLfanew);
    if (peAt + kSignatureBytes + kFileHeaderBytes > image.size() || r.U32(peAt) != kSignature)
        return true;
    uint64_t file = peAt + kSignatureBytes, opt = file + kFileHeaderBytes;
    uint32_t sections = r.U16(file + kFileSections), optSize = r.U16(file + kFileOptionalSize);
    if (!r.Has(opt, optSize, "its optional header"))
        return false;
    if (optSize < 2)
        return error = "its optional header is truncated", false;
    uint16_t magic = r.U16(opt + kOptMagic);
    if (magic != kMagicPe32 && magic != kMagicPe32Plus)
        return error = "its optional header is neither PE32 nor PE32+", false;
    uint32_t dirs = magic == kMagicPe32 ? kOptDirectories : kOptDirectoriesPlus;
    uint32_t countAt = magic == kMagicPe32 ? kOptDirectoryCount : kOptDirectoryCountPlus;
    if (optSize < dirs)
        return error = "its optional header is truncated", false;
    if (r.U32(opt + countAt) <= kDirResource || dirs + uint64_t(kDirResource + 1) * kDirBytes > optSize)
        return true;  // no resource directory
    uint32_t rva = r.U32(opt + dirs + kDirResource * kDirBytes + kDirAddress);
    uint32_t size = r.U32(opt + dirs + kDirResource * kDirBytes + kDirSize);
    if (rva == 0 || size == 0)
        return true;
    uint64_t table = opt + optSize;
    if (!r.Has(table, uint64_t(sections) * kSectionHeaderBytes, "its section table"))
        return false;
    // The section that holds an RVA, as a file offset; its raw bytes bound every read.
    auto locate = [&](uint32_t at, uint64_t &offset, uint64_t &room) {
        for (uint32_t i = 0; i < sections; i++) {
            uint64_t s = table + uint64_t(i) * kSectionHeaderBytes;
            uint32_t va = r.U32(s + kSecVirtualAddress), raw = r.U32(s + kSecRawSize), ptr = r.U32(s + kSecRawPointer);
            if (at >= va && at - va < raw) {
                offset = uint64_t(ptr) + (at - va);
                room = raw - (at - va);
                return true;
            }
        }
        return false;
    };
    uint64_t rsrc, rsrcSize;
    if (!locate(rva, rsrc, rsrcSize))
        return error = "its resource directory lies in no section's bytes", false;
    rsrcSize = std::min<uint64_t>(rsrcSize, size);
    bool ok;
    auto type = FindEntry(r, rsrc, rsrcSize, 0, kRtManifestType, ok);
    if (!ok)
        return false;
    if (!type)
        return true;
    if ((*type & kResSubdirectory) == 0)
        return error = "its resource directory is damaged (type 24 is no directory)", false;
    auto name = FindEntry(r, rsrc, rsrcSize, *type & ~kResSubdirectory, kManifestProgram, ok);
    if (!ok)
        return false;
    if (!name)
        return true;
    if ((*name & kResSubdirectory) == 0)
        return error = "its resource directory is damaged (manifest 1 is no directory)", false;
    // The loader takes the first language the program carries.
    auto lang = FindEntry(r, rsrc, rsrcSize, *name & ~kResSubdirectory, std::nullopt, ok);
    if (!ok)
        return false;
    if (!lang)
        return true;
    if ((*lang & kResSubdirectory) != 0 || *lang + uint64_t(kResDataBytes) > rsrcSize)
        return error = "its resource directory is damaged (the manifest's data entry)", false;
    if (!r.Has(rsrc + *lang, kResDataBytes, "its manifest's data entry"))
        return false;
    uint32_t dataRva = r.U32(rsrc + *lang + kResDataRva), dataSize = r.U32(rsrc + *lang + kResDataSize);
    uint64_t dataAt, room;
    if (dataSize > kMaxManifestBytes)
        return error = "its manifest claims " + std::to_string(dataSize) + " bytes", false;
    if (!locate(dataRva, dataAt, room) || dataSize > room)
        return error = "its manifest lies in no section's bytes", false;
    if (!r.Has(dataAt, dataSize, "its manifest"))
        return false;
    return Elevation_OfManifest(image.subspan(size_t(dataAt), dataSize), level, error);
}

bool Elevation_ForProgram(std::span<const uint8_t> payload, const RunnerProgram &program, std::string &setting,
                          std::string &error)
{
    setting.clear();
    if (program.file.empty() || !program.host.empty())
        return true;
    std::vector<uint8_t> image;
    uint64_t fileSize = 0;
    bool in = false, done = false;
    // A program stored as a copy has its bytes in the earlier file it names:
    // a second read takes that file's. Paths compare as the order rules fold them.
    auto folded = [](const std::string &path) {
        std::string key(2 * path.size(), '\0');
        key.resize(Path_Fold(path.data(), uint32_t(path.size()), key.data()));
        return key;
    };
    std::string wanted = folded(program.file), copyOf;
    PayloadVisitor visitor;
    visitor.item = [&](const PayloadItem &item, std::string &) {
        in = !item.folder && folded(item.path) == wanted;
        if (in && !item.copyOf.empty())
            return copyOf = item.copyOf, in = false, false;
        if (in)
            fileSize = item.size, image.reserve(size_t(std::min(item.size, kMaxProgramBytes)));
        return true;
    };
    visitor.data = [&](const uint8_t *data, size_t n, std::string &) {
        if (in && image.size() < kMaxProgramBytes)
            image.insert(image.end(), data, data + std::min<uint64_t>(n, kMaxProgramBytes - image.size()));
        return true;
    };
    // Once the program is read, the rest of the payload is not decoded.
    visitor.fileEnd = [&](std::string &) { return !(done = in); };
    PayloadSummary summary;
    bool read = Payload_Read(payload, visitor, summary, error);
    if (!read && !done && !copyOf.empty()) {
        wanted = folded(copyOf);
        read = Payload_Read(payload, visitor, summary, error);
    }
    if (!read && !done)
        return error = "payload: " + error, false;
    if (!done)
        return error = "the payload holds no \"" + program.file + "\"", false;
    std::string level;
    if (!Elevation_OfImage(image, fileSize, level, error))
        return error = "the command's program \"" + program.file + "\": " + error, false;
    if (level == "requireAdministrator" || level == "highestAvailable")
        setting = level;
    return true;
}

bool Elevation_Derive(std::span<const uint8_t> payload, const RunnerProgram &program, std::string &setting,
                      std::vector<std::string> &notes, std::string &error)
{
    if (!Elevation_ForProgram(payload, program, setting, error))
        return false;
    if (!setting.empty())
        notes.push_back("the command's program \"" + program.file + "\" asks for " + setting +
                        ": the runner restarts itself elevated before it expands the payload");
    return true;
}

void Elevation_Check(std::span<const uint8_t> payload, const RunnerProgram *program, const std::string &setting,
                     std::vector<std::string> &problems)
{
    std::string wanted, error;
    const std::string what = "string " + std::to_string(kStringElevation);
    if (!setting.empty() && setting != "requireAdministrator" && setting != "highestAvailable")
        problems.push_back(what + " asks the runner for the elevation \"" + setting +
                           "\", neither requireAdministrator nor highestAvailable: the runner refuses the package");
    else if (program == nullptr || payload.empty())
        return;
    else if (!Elevation_ForProgram(payload, *program, wanted, error))
        problems.push_back("the runner's command: " + error);
    else if (wanted != setting)
        problems.push_back(wanted.empty() ? what + " asks the runner to restart itself for " + setting +
                                                ", which the command's program does not ask for"
                                          : "the command's program \"" + program->file + "\" asks for " + wanted + ", but " +
                                                (setting.empty() ? what + " is missing: the runner would not restart itself elevated"
                                                                 : what + " says " + setting));
}

}  // namespace selfextr
