// pe.cpp: conservative PE surgery. Only .rsrc is rebuilt, and only when it is
// the last section; every other byte of the image is kept as it was.
#include "image/pe.h"
#include "image/pe_layout.h"
#include "base/bytes.h"
#include "base/input.h"

#include <cstring>
#include <memory>
#include <set>

namespace selfextr {

namespace {

using namespace pe;

constexpr uint32_t kMaxEntriesPerDir = 65536;
constexpr uint32_t kMinFileAlignment = 512, kMaxFileAlignment = 65536;
constexpr uint64_t kUserSpaceEnd = 0x80000000u;

std::string Hex4(uint16_t v)
{
    char text[8];
    snprintf(text, sizeof text, "%04X", v);
    return text;
}
std::string Hex8(uint32_t v)
{
    char text[12];
    snprintf(text, sizeof text, "%08X", v);
    return text;
}
uint64_t AlignUp(uint64_t v, uint64_t a) { return a == 0 ? v : (v + a - 1) / a * a; }

// The resource tree reader: offsets are relative to the section, data entries
// hold RVAs; the tree has exactly three levels and no loops.
struct TreeReader {
    const Image &image;
    const Section &rsrc;
    std::string &error;
    std::set<uint32_t> visited;
    // Every entry and name character read is charged against the section's
    // size, so that entries or names shared by many directories cannot make
    // a small file cost more than its own size in time or memory.
    uint64_t budget = 0;

    bool Charge(uint64_t bytes)
    {
        if (bytes > budget)
            return Fail("resource tree lists more entries and names than its section holds (shared or overlapping parts)");
        budget -= bytes;
        return true;
    }

    bool InSection(uint64_t offset, uint64_t size) const
    {
        uint64_t avail = std::min<uint64_t>(rsrc.rawSize, image.bytes.size() - rsrc.rawPointer);
        return offset <= avail && size <= avail - offset;
    }

    bool Fail(const std::string &message) { error = message; return false; }

    bool ReadKey(uint32_t field, ResKey &key)
    {
        if (!(field & kResNamed)) {
            if (field > 0xFFFF)
                return Fail("resource entry id " + std::to_string(field) + " is not a 16-bit number");
            key = ResKey::Id(uint16_t(field));
            return true;
        }
        uint32_t offset = field & ~kResNamed;
        if (!InSection(offset, 2))
            return Fail("resource name at offset " + std::to_string(offset) + " lies outside the resource section");
        uint16_t length = Bytes_Le16(image.bytes, rsrc.rawPointer + offset);
        if (length == 0 || !InSection(offset + 2, uint64_t(length) * 2))
            return Fail("resource name at offset " + std::to_string(offset) + " is empty or runs past the resource section");
        if (!Charge(2 + uint64_t(length) * 2))
            return false;
        std::u16string name;
        for (uint16_t i = 0; i < length; i++)
            name.push_back(char16_t(Bytes_Le16(image.bytes, rsrc.rawPointer + offset + 2 + 2u * i)));
        key = ResKey::Name(std::move(name));
        return true;
    }

    // Calls visit(key, field) for each entry of the directory at offset.
    bool ReadDir(uint32_t offset, const std::function<bool(const ResKey &, uint32_t)> &visit)
    {
        if (!visited.insert(offset).second)
            return Fail("resource directory at offset " + std::to_string(offset) + " is reached twice (a loop)");
        if (!InSection(offset, 16))
            return Fail("resource directory at offset " + std::to_string(offset) + " lies outside the resource section");
        size_t base = rsrc.rawPointer + offset;
        uint32_t count = uint32_t(Bytes_Le16(image.bytes, base + kResDirNamedCount)) + Bytes_Le16(image.bytes, base + kResDirIdCount);
        if (count > kMaxEntriesPerDir || !InSection(offset + kResDirBytes, uint64_t(count) * kResEntryBytes))
            return Fail("resource directory at offset " + std::to_string(offset) + " has " + std::to_string(count) +
                        " entries, more than the resource section holds");
        if (!Charge(kResDirBytes + uint64_t(count) * kResEntryBytes))
            return false;
        std::set<ResKey> seen;
        for (uint32_t i = 0; i < count; i++) {
            ResKey key;
            size_t entry = base + kResDirBytes + kResEntryBytes * i;
            if (!ReadKey(Bytes_Le32(image.bytes, entry + kResEntryKey), key))
                return false;
            if (!seen.insert(key).second)
                return Fail("resource directory at offset " + std::to_string(offset) + " lists " +
                            (key.IsId() ? "id " + std::to_string(key.id) : std::string("a name")) + " twice");
            if (!visit(key, Bytes_Le32(image.bytes, entry + kResEntryTarget)))
                return false;
        }
        return true;
    }

    bool Subdir(uint32_t field, int level, uint32_t &offset)
    {
        if (!(field & kResSubdirectory))
            return Fail("resource tree level " + std::to_string(level) + " points at data instead of a directory");
        offset = field & ~kResSubdirectory;
        return true;
    }

    bool ReadData(uint32_t field, ResData &data)
    {
        if (field & kResSubdirectory)
            return Fail("resource tree is deeper than three levels");
        if (!InSection(field, kResDataBytes))
            return Fail("resource data entry at offset " + std::to_string(field) + " lies outside the resource section");
        size_t at = rsrc.rawPointer + field;
        uint32_t rva = Bytes_Le32(image.bytes, at + kResDataRva), size = Bytes_Le32(image.bytes, at + kResDataSize);
        data.codepage = Bytes_Le32(image.bytes, at + kResDataCodepage);
        // Resource data may in principle sit in any section.
        for (const Section &s : image.sections) {
            if (rva >= s.virtualAddress && uint64_t(rva) + size <= uint64_t(s.virtualAddress) + s.rawSize &&
                uint64_t(s.rawPointer) + (rva - s.virtualAddress) + size <= image.bytes.size()) {
                data.bytes = ImageBytes{image.bytes.data() + s.rawPointer + (rva - s.virtualAddress), size};
                return Charge(kResDataBytes);
            }
        }
        return Fail("resource data at RVA " + std::to_string(rva) + " (" + std::to_string(size) +
                    " bytes) lies outside the file's sections");
    }

    bool Read(uint32_t rootOffset, ResTree &tree)
    {
        return ReadDir(rootOffset, [&](const ResKey &type, uint32_t f1) {
            uint32_t d1;
            if (!Subdir(f1, 1, d1))
                return false;
            return ReadDir(d1, [&](const ResKey &name, uint32_t f2) {
                uint32_t d2;
                if (!Subdir(f2, 2, d2))
                    return false;
                return ReadDir(d2, [&](const ResKey &lang, uint32_t f3) {
                    if (!lang.IsId())
                        return Fail("resource language is a name, not a number");
                    return ReadData(f3, tree[type][name][lang.id]);
                });
            });
        });
    }
};

}  // namespace

const ResLangs *ResTree_Find(const ResTree &tree, uint16_t type, uint16_t id)
{
    auto t = tree.find(ResKey::Id(type));
    if (t == tree.end()) return nullptr;
    auto n = t->second.find(ResKey::Id(id));
    return n == t->second.end() || n->second.empty() ? nullptr : &n->second;
}

// The language a lookup of the stub finds first: neutral, then en-US, then the lowest.
const ResData *ResLangs_Pick(const ResLangs &langs) { return ResLangs_PickFor(langs, 0); }

const ResData *ResLangs_PickFor(const ResLangs &langs, uint16_t user)
{
    // The order the runner reads its stub's strings in, stated once.
    uint16_t order[kPeLangOrder];
    PeRes_LangOrder(user, order);
    for (uint16_t lang : order)
        if (auto it = langs.find(lang); it != langs.end())
            return &it->second;
    return &langs.begin()->second;
}

uint64_t ResData::Size() const
{
    if (auto *v = std::get_if<std::vector<uint8_t>>(&bytes))
        return v->size();
    if (auto *i = std::get_if<ImageBytes>(&bytes))
        return i->size;
    return std::get<FileBytes>(bytes).size;
}

std::span<const uint8_t> ResData_Bytes(const ResData &data)
{
    if (auto *v = std::get_if<std::vector<uint8_t>>(&data.bytes))
        return *v;
    if (auto *i = std::get_if<ImageBytes>(&data.bytes))
        return {i->data, size_t(i->size)};
    return {};
}

std::optional<Image> Image_Parse(std::vector<uint8_t> bytes, std::string &error)
{
    Image img;
    img.bytes = std::move(bytes);
    const auto &b = img.bytes;
    auto fail = [&](std::string m) { error = std::move(m); return std::nullopt; };

    if (b.size() < 64 || b[0] != 'M' || b[1] != 'Z')
        return fail("not a Windows executable: no MZ header");
    img.peOffset = Bytes_Le32(b, kDosLfanew);
    if (uint64_t(img.peOffset) + kSignatureBytes + kFileHeaderBytes > b.size() || Bytes_Le32(b, img.peOffset) != kSignature)
        return fail("not a PE image: no PE signature where the MZ header points");
    img.fileHeader = img.peOffset + kSignatureBytes;
    const uint32_t file = img.fileHeader;
    if (Bytes_Le16(b, file + kFileMachine) != kMachineI386)
        return fail("not an i386 image (machine 0x" + Hex4(Bytes_Le16(b, file + kFileMachine)) + ")");
    uint32_t sectionCount = Bytes_Le16(b, file + kFileSections);
    uint32_t optSize = Bytes_Le16(b, file + kFileOptionalSize);
    img.optOffset = file + kFileHeaderBytes;
    const uint32_t opt = img.optOffset;
    if (optSize < kOptDirectories || uint64_t(opt) + optSize > b.size())
        return fail("optional header is truncated");
    if (Bytes_Le16(b, opt + kOptMagic) != kMagicPe32)
        return fail("not a PE32 image (optional header magic 0x" + Hex4(Bytes_Le16(b, opt + kOptMagic)) + ")");
    img.sectionAlignment = Bytes_Le32(b, opt + kOptSectionAlignment);
    img.fileAlignment = Bytes_Le32(b, opt + kOptFileAlignment);
    if (img.fileAlignment < kMinFileAlignment || img.fileAlignment > kMaxFileAlignment ||
        (img.fileAlignment & (img.fileAlignment - 1)))
        return fail("file alignment " + std::to_string(img.fileAlignment) + " is not a power of two from 512 to 65536");
    if (img.sectionAlignment < img.fileAlignment || (img.sectionAlignment & (img.sectionAlignment - 1)))
        return fail("section alignment " + std::to_string(img.sectionAlignment) +
                    " is not a power of two at least the file alignment");
    uint32_t dirCount = Bytes_Le32(b, opt + kOptDirectoryCount);
    if (dirCount <= kDirSecurity || kOptDirectories + uint64_t(dirCount) * kDirBytes > optSize)
        return fail("optional header has too few data directories");
    img.sectionTable = opt + optSize;
    if (sectionCount == 0 || uint64_t(img.sectionTable) + uint64_t(sectionCount) * kSectionHeaderBytes > b.size())
        return fail("section table is truncated or empty");
    for (uint32_t i = 0; i < sectionCount; i++) {
        size_t at = img.sectionTable + kSectionHeaderBytes * i;
        const char *name = reinterpret_cast<const char *>(&b[at + kSecName]);
        Section s;
        s.name.assign(name, strnlen(name, 8));
        s.virtualSize = Bytes_Le32(b, at + kSecVirtualSize);
        s.virtualAddress = Bytes_Le32(b, at + kSecVirtualAddress);
        s.rawSize = Bytes_Le32(b, at + kSecRawSize);
        s.rawPointer = Bytes_Le32(b, at + kSecRawPointer);
        s.characteristics = Bytes_Le32(b, at + kSecCharacteristics);
        if (s.rawSize != 0 && uint64_t(s.rawPointer) + s.rawSize > b.size())
            return fail("section " + s.name + " lies past the end of the file");
        img.sections.push_back(s);
    }
    auto directory = [&](uint32_t index, uint32_t field) { return Bytes_Le32(b, opt + kOptDirectories + kDirBytes * index + field); };
    uint32_t rsrcRva = directory(kDirResource, kDirAddress);
    img.certOffset = directory(kDirSecurity, kDirAddress);
    img.certSize = directory(kDirSecurity, kDirSize);

    for (uint32_t i = 0; i < sectionCount; i++)
        if (img.sections[i].name == ".rsrc")
            img.rsrcIndex = i;
    const Section &rsrc = img.sections[img.rsrcIndex];
    if (rsrc.name != ".rsrc")
        return fail("image has no .rsrc section");
    // Last in the table, in memory and in the file.
    for (uint32_t i = 0; i < sectionCount; i++)
        if (i != img.rsrcIndex && (i > img.rsrcIndex || img.sections[i].virtualAddress >= rsrc.virtualAddress ||
                                   uint64_t(img.sections[i].rawPointer) + img.sections[i].rawSize > rsrc.rawPointer))
            return fail(".rsrc is not the last section of the image");
    if (rsrcRva != rsrc.virtualAddress)
        return fail("the resource directory does not start at the .rsrc section");
    // The writer keeps the file up to .rsrc's data and patches the headers
    // there: the optional header and the whole section table must lie in it.
    if (uint64_t(img.sectionTable) + uint64_t(sectionCount) * kSectionHeaderBytes > rsrc.rawPointer)
        return fail("the headers and section table do not lie before the .rsrc section's data");
    if (img.certSize != 0 && (uint64_t(img.certOffset) + img.certSize > b.size() ||
                              img.certOffset < uint64_t(rsrc.rawPointer) + rsrc.rawSize))
        return fail("certificate table lies outside the file's overlay");

    TreeReader reader{img, rsrc, error, {}, std::min<uint64_t>(rsrc.rawSize, b.size() - rsrc.rawPointer)};
    if (!reader.Read(0, img.resources))
        return std::nullopt;
    return img;
}

bool Image_CompactHeaders(const Image &image, std::vector<uint8_t> &out, std::string &error)
{
    auto fail = [&](std::string m) { error = std::move(m); return false; };
    const auto &b = image.bytes;
    const uint32_t opt = image.optOffset;
    const uint32_t tableEnd = image.sectionTable + kSectionHeaderBytes * uint32_t(image.sections.size());
    if (image.peOffset < kDosHeaderBytes)
        return fail("the PE header overlaps the MZ header");
    const uint32_t oldHeaders = Bytes_Le32(b, opt + kOptSizeOfHeaders);
    const uint32_t newHeaders = uint32_t(AlignUp(kDosHeaderBytes + (tableEnd - image.peOffset), image.fileAlignment));
    if (oldHeaders % image.fileAlignment != 0 || oldHeaders < tableEnd || oldHeaders < newHeaders)
        return fail("SizeOfHeaders " + std::to_string(oldHeaders) + " is not a multiple of the file alignment holding the section table");
    // Every other field that holds a file offset would have to move too.
    if (image.certSize != 0)
        return fail("the image is signed; its headers cannot move under a signature");
    const uint32_t dirCount = Bytes_Le32(b, opt + kOptDirectoryCount);
    if (dirCount > kDirDebug && Bytes_Le32(b, opt + kOptDirectories + kDirBytes * kDirDebug + kDirSize) != 0)
        return fail("the image has debug data, whose file offsets would need moving");
    if (Bytes_Le32(b, image.fileHeader + kFileSymbolTable) != 0 || Bytes_Le32(b, image.fileHeader + kFileSymbolCount) != 0)
        return fail("the image has COFF symbols, whose file offset would need moving");
    uint64_t end = oldHeaders;
    for (size_t i = 0; i < image.sections.size(); i++) {
        const Section &s = image.sections[i];
        size_t at = image.sectionTable + kSectionHeaderBytes * i;
        if (Bytes_Le32(b, at + kSecRelocPointer) != 0 || Bytes_Le32(b, at + kSecLinePointer) != 0)
            return fail("section " + s.name + " has COFF relocations or line numbers, whose file offsets would need moving");
        if (s.rawPointer != 0 && s.rawPointer < oldHeaders)
            return fail("section " + s.name + "'s data starts inside the headers");
        end = std::max<uint64_t>(end, uint64_t(s.rawPointer) + s.rawSize);
    }
    if (end != b.size())
        return fail("the image has an overlay, whose readers may hold file offsets");
    for (size_t i = tableEnd; i < oldHeaders; i++)
        if (b[i] != 0)
            return fail("the headers hold bytes after the section table");

    const uint32_t delta = oldHeaders - newHeaders;
    out.assign(b.begin(), b.begin() + kDosHeaderBytes);
    out.insert(out.end(), b.begin() + image.peOffset, b.begin() + tableEnd);
    out.resize(newHeaders, 0);
    out.insert(out.end(), b.begin() + oldHeaders, b.end());
    const uint32_t shift = image.peOffset - kDosHeaderBytes;  // how far the PE header moves up
    Bytes_Set32(out, kDosLfanew, kDosHeaderBytes);
    Bytes_Set32(out, opt - shift + kOptSizeOfHeaders, newHeaders);
    for (size_t i = 0; i < image.sections.size(); i++)
        if (image.sections[i].rawPointer != 0)
            Bytes_Set32(out, image.sectionTable - shift + kSectionHeaderBytes * i + kSecRawPointer,
                        image.sections[i].rawPointer - delta);
    return true;
}

namespace {

// The new .rsrc laid out: every region's size first, then the bytes.
struct RsrcLayout {
    std::vector<uint8_t> head;  // directories, data entries and names
    struct Blob { const ResData *data; uint32_t offset; };
    std::vector<Blob> blobs;   // data, each at an 8-aligned offset
    uint32_t size = 0;
};

bool Layout(const ResTree &tree, uint32_t sectionRva, RsrcLayout &out, std::string &error)
{
    auto dirSize = [](size_t n) { return kResDirBytes + kResEntryBytes * n; };
    size_t dirs = dirSize(tree.size()), entries = 0;
    std::vector<std::u16string> names;
    for (auto &[type, byName] : tree) {
        dirs += dirSize(byName.size());
        if (!type.IsId()) names.push_back(type.name);
        for (auto &[name, byLang] : byName) {
            dirs += dirSize(byLang.size());
            entries += byLang.size();
            if (!name.IsId()) names.push_back(name.name);
        }
    }
    size_t namesAt = dirs + kResDataBytes * entries;
    size_t namesSize = 0;
    // Each counted name is padded to 4 bytes.
    for (auto &n : names)
        namesSize += AlignUp(2 + 2 * n.size(), 4);
    uint64_t dataAt = AlignUp(namesAt + namesSize, 8);
    uint64_t end = dataAt;
    for (auto &[type, byName] : tree)
        for (auto &[name, byLang] : byName)
            for (auto &[lang, data] : byLang)
                end = AlignUp(end, 8) + data.Size();
    if (end > 0x7FFFFFF0u) {
        error = "the resources need " + std::to_string(end) + " bytes, more than a 32-bit image holds";
        return false;
    }
    out.head.assign(dataAt, 0);
    out.size = uint32_t(end);

    size_t nextDir = 0, nextEntry = dirs, nextName = namesAt;
    uint64_t nextData = dataAt;
    auto writeName = [&](const std::u16string &n) {
        size_t at = nextName;
        Bytes_Set16(out.head, at, uint32_t(n.size()));
        for (size_t i = 0; i < n.size(); i++)
            Bytes_Set16(out.head, at + 2 + 2 * i, n[i]);
        nextName += AlignUp(2 + 2 * n.size(), 4);
        return uint32_t(at) | kResNamed;
    };
    auto keyField = [&](const ResKey &k) { return k.IsId() ? uint32_t(k.id) : writeName(k.name); };
    // Directories are laid out breadth-first: root, types, names, languages.
    auto openDir = [&](size_t named, size_t count) {
        size_t at = nextDir;
        Bytes_Set16(out.head, at + kResDirNamedCount, uint32_t(named));
        Bytes_Set16(out.head, at + kResDirIdCount, uint32_t(count - named));
        nextDir += dirSize(count);
        return at;
    };
    // Entry i of the directory at dir points at target.
    auto putEntry = [&](size_t dir, size_t i, uint32_t key, uint32_t target) {
        Bytes_Set32(out.head, dir + kResDirBytes + kResEntryBytes * i + kResEntryKey, key);
        Bytes_Set32(out.head, dir + kResDirBytes + kResEntryBytes * i + kResEntryTarget, target);
    };
    auto namedCount = [](const auto &m) { size_t n = 0; for (auto &kv : m) n += !kv.first.IsId(); return n; };

    size_t root = openDir(namedCount(tree), tree.size());
    std::vector<std::pair<size_t, const ResNames *>> typeDirs;
    size_t i = 0;
    for (auto &[type, byName] : tree) {
        size_t d = openDir(namedCount(byName), byName.size());
        putEntry(root, i, keyField(type), uint32_t(d) | kResSubdirectory);
        typeDirs.emplace_back(d, &byName);
        i++;
    }
    std::vector<std::pair<size_t, const ResLangs *>> nameDirs;
    for (auto &[d, byName] : typeDirs) {
        size_t j = 0;
        for (auto &[name, byLang] : *byName) {
            size_t nd = openDir(0, byLang.size());
            putEntry(d, j, keyField(name), uint32_t(nd) | kResSubdirectory);
            nameDirs.emplace_back(nd, &byLang);
            j++;
        }
    }
    for (auto &[d, byLang] : nameDirs) {
        size_t k = 0;
        for (auto &[lang, data] : *byLang) {
            nextData = AlignUp(nextData, 8);
            putEntry(d, k, lang, uint32_t(nextEntry));
            Bytes_Set32(out.head, nextEntry + kResDataRva, sectionRva + uint32_t(nextData));
            Bytes_Set32(out.head, nextEntry + kResDataSize, uint32_t(data.Size()));
            Bytes_Set32(out.head, nextEntry + kResDataCodepage, data.codepage);
            out.blobs.push_back({&data, uint32_t(nextData)});
            nextEntry += kResDataBytes;
            nextData += data.Size();
            k++;
        }
    }
    return true;
}

// The 16-bit words of p, which starts at an even offset, summed modulo
// 0xFFFF (any multiple of 0xFFFF may be left in; the caller folds). Whole
// 64-bit words are added with their carries brought back in, which is the same
// sum, because 2^16 is 1 modulo 0xFFFF and 2^64 - 1 is a multiple of 0xFFFF.
uint64_t SumWords(const uint8_t *p, size_t n)
{
    uint64_t a = 0, b = 0, carries = 0;
    size_t i = 0;
    for (; i + 16 <= n; i += 16) {
        uint64_t x, y;
        memcpy(&x, p + i, 8);
        memcpy(&y, p + i + 8, 8);
        a += x;
        carries += a < x;
        b += y;
        carries += b < y;
    }
    uint64_t sum = (a & 0xFFFFFFFF) + (a >> 32) + (b & 0xFFFFFFFF) + (b >> 32) + carries;
    for (; i < n; i++)
        sum += (i & 1) ? uint32_t(p[i]) << 8 : p[i];
    return sum;
}

// The optional header's checksum, summed as the file is written.
struct CheckSum {
    uint64_t sum = 0, length = 0;
    void Add(const uint8_t *p, size_t n)
    {
        if (n == 0)
            return;
        size_t i = 0;
        if (length & 1) {
            sum += uint32_t(p[0]) << 8;
            length++;
            i = 1;
        }
        sum += SumWords(p + i, n - i);
        length += n - i;
        Fold();
    }
    void Fold() { while (sum >> 16) sum = (sum & 0xFFFF) + (sum >> 16); }
    uint32_t Value() { Fold(); return uint32_t(sum + length); }
};

}  // namespace

bool Image_Write(const Image &image, const ResTree &tree, const WriteOptions &options, const ImageSink &sink,
                 std::string &error)
{
    Failure failure;
    if (Image_Write(image, tree, options, sink, failure))
        return true;
    error = std::move(failure.message);
    return false;
}

bool Image_Write(const Image &image, const ResTree &tree, const WriteOptions &options, const ImageSink &sink,
                 Failure &failure)
{
    auto fail = [&](std::string message, FailureKind kind = FailureKind::Refused) {
        failure = {kind, std::move(message)};
        return false;
    };
    // The sink took fewer bytes than it was given: its owner knows why.
    auto failWrite = [&] { return fail("cannot write the output", FailureKind::Write); };
    std::string error;
    if (image.certSize != 0 && !options.stripSignature)
        return fail("the input is signed; packing would leave a stale signature (use --strip-signature, then sign the result)");
    // Packed-looking images, whose code may rewrite itself, are what scanners flag.
    for (const Section &s : image.sections)
        if ((s.characteristics & kScnWrite) && (s.characteristics & kScnExecute))
            return fail("section " + s.name + " is both writable and executable; selfextr writes no such image");
    const Section &rsrc = image.sections[image.rsrcIndex];
    RsrcLayout layout;
    if (!Layout(tree, rsrc.virtualAddress, layout, error))
        return fail(error);

    uint32_t newRaw = uint32_t(AlignUp(layout.size, image.fileAlignment));
    uint64_t oldEnd = uint64_t(rsrc.rawPointer) + rsrc.rawSize;
    // Whatever follows the last section (an overlay) is kept; a certificate
    // table is only ever the overlay's end and is dropped with the signature.
    uint64_t overlayEnd = image.certSize != 0 ? image.certOffset : image.bytes.size();
    // Signers pad the file to 8 bytes before the certificate: that padding goes with it.
    if (image.certSize != 0)
        while (overlayEnd > oldEnd && overlayEnd % 8 != 0 && image.bytes[overlayEnd - 1] == 0)
            overlayEnd--;
    std::vector<uint8_t> head(image.bytes.begin(), image.bytes.begin() + rsrc.rawPointer);
    size_t opt = image.optOffset, sec = image.sectionTable + kSectionHeaderBytes * image.rsrcIndex;
    uint32_t oldRaw = uint32_t(AlignUp(rsrc.rawSize, image.fileAlignment));
    uint32_t initData = Bytes_Le32(head, opt + kOptSizeOfInitializedData);
    Bytes_Set32(head, opt + kOptSizeOfInitializedData, (initData >= oldRaw ? initData - oldRaw : 0) + newRaw);
    // The image must fit the 2 GiB a 32-bit process has below its system part.
    const uint64_t imageSize = AlignUp(uint64_t(rsrc.virtualAddress) + layout.size, image.sectionAlignment);
    const uint64_t imageBase = Bytes_Le32(head, opt + kOptImageBase);
    if (imageBase + imageSize > kUserSpaceEnd)
        return fail("the finished image would need " + std::to_string(imageSize) + " bytes of address space from 0x" +
                       Hex8(uint32_t(imageBase)) + ", past the 2 GiB of a 32-bit process");
    auto directory = [&](uint32_t index, uint32_t field) { return opt + kOptDirectories + kDirBytes * index + field; };
    Bytes_Set32(head, opt + kOptSizeOfImage, uint32_t(imageSize));
    Bytes_Set32(head, opt + kOptCheckSum, 0);  // patched last
    Bytes_Set32(head, directory(kDirResource, kDirSize), layout.size);
    Bytes_Set32(head, directory(kDirSecurity, kDirAddress), 0);
    Bytes_Set32(head, directory(kDirSecurity, kDirSize), 0);
    Bytes_Set32(head, sec + kSecVirtualSize, layout.size);
    Bytes_Set32(head, sec + kSecRawSize, newRaw);
    // Resources are only ever read; the platform's own linkers map them read-only too.
    Bytes_Set32(head, sec + kSecCharacteristics, rsrc.characteristics & ~kScnWrite);
    if (options.timestamp)
        Bytes_Set32(head, image.fileHeader + kFileTimeDateStamp, *options.timestamp);

    CheckSum sum;
    auto emit = [&](const uint8_t *p, size_t n) { sum.Add(p, n); return sink.write(p, n); };
    if (!emit(head.data(), head.size()) || !emit(layout.head.data(), layout.head.size()))
        return failWrite();
    uint64_t at = layout.head.size();
    static const uint8_t zeros[8] = {};
    // Most entries fit one block, which still stays in the cache between the
    // read, the sum and the write; left uninitialised, since every byte is
    // read before it is used.
    constexpr size_t kCopyBlock = 256 * 1024;
    std::unique_ptr<uint8_t[]> buffer;
    for (auto &blob : layout.blobs) {
        if (!emit(zeros, blob.offset - at))
            return failWrite();
        if (!std::holds_alternative<FileBytes>(blob.data->bytes)) {
            auto bytes = ResData_Bytes(*blob.data);
            if (!emit(bytes.data(), bytes.size()))
                return failWrite();
        } else {
            // Read once, summed while the block is still in the cache, and
            // written from the same buffer.
            const FileBytes &f = std::get<FileBytes>(blob.data->bytes);
            InputFile in;
            std::string why;
            if (!Input_Open(f.path, in, why))
                return fail(why, FailureKind::Read);
            if (!buffer)
                buffer.reset(new uint8_t[kCopyBlock]);
            for (uint64_t left = f.size; left != 0;) {
                size_t n = size_t(std::min<uint64_t>(left, kCopyBlock));
                if (!Input_Read(in, buffer.get(), n, why))
                    return fail(why, FailureKind::Read);
                if (!emit(buffer.get(), n))
                    return failWrite();
                left -= n;
            }
            // The size was taken when the package was built: more now is a change.
            if (!Input_AtEnd(in, why))
                return fail(why, FailureKind::Read);
        }
        at = blob.offset + blob.data->Size();
    }
    std::vector<uint8_t> pad(newRaw - at, 0);
    if (!emit(pad.data(), pad.size()))
        return failWrite();
    if (overlayEnd > oldEnd && !emit(image.bytes.data() + oldEnd, size_t(overlayEnd - oldEnd)))
        return failWrite();

    uint8_t value[4];
    uint32_t check = sum.Value();
    for (int i = 0; i < 4; i++)
        value[i] = uint8_t(check >> (8 * i));
    if (!sink.patch(opt + kOptCheckSum, value, 4))
        return failWrite();
    return true;
}

}  // namespace selfextr
