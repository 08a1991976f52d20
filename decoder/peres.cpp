// peres.cpp: PE32 resources read from a file's bytes, each field checked before use.
#include "peres.h"
#include "bytes.h"

namespace selfextr {

namespace {

// Header fields (PE/COFF): the DOS header's pointer to the PE signature, the
// file header after it, the PE32 optional header, a section header.
constexpr uint32_t kDosLfanew = 0x3C, kDosBytes = 64;
constexpr uint32_t kPeSignature = 0x00004550, kSignatureBytes = 4, kFileHeaderBytes = 20;
constexpr uint32_t kFileMachine = 0, kFileSections = 2, kFileOptionalSize = 16;
constexpr uint16_t kMachineI386 = 0x14C, kMagicPe32 = 0x10B;
constexpr uint32_t kOptMagic = 0, kOptDirectoryCount = 92, kOptDirectories = 96, kDirBytes = 8, kDirResource = 2;
constexpr uint32_t kSectionBytes = 40, kSecVirtualAddress = 12, kSecRawSize = 16, kSecRawPointer = 20;
// The resource directory: a directory's header, its entries, a data entry.
constexpr uint32_t kResDirBytes = 16, kResDirNamedCount = 12, kResDirIdCount = 14, kResEntryBytes = 8;
constexpr uint32_t kResDataBytes = 16, kResDataRva = 0, kResDataSize = 4;
constexpr uint32_t kResSubdirectory = 0x80000000u, kResNamed = 0x80000000u;
constexpr uint16_t kRtString = 6;

// Where rva's bytes lie in the file, and how many of its section's bytes the
// file holds from there: false when no section's bytes in the file hold it.
bool MapRva(const PeImage *image, uint32_t rva, uint32_t *offset, uint32_t *bytes)
{
    for (uint32_t i = 0; i < image->sectionCount; i++) {
        const uint8_t *s = image->bytes + image->sectionTable + kSectionBytes * i;
        uint32_t va = Le32(s + kSecVirtualAddress), raw = Le32(s + kSecRawSize);
        if (rva < va || rva - va >= raw)
            continue;
        uint64_t at = uint64_t(Le32(s + kSecRawPointer)) + (rva - va);
        if (at >= image->size)
            return false;
        uint64_t left = image->size - at;
        *offset = uint32_t(at);
        *bytes = uint32_t(left < raw - (rva - va) ? left : raw - (rva - va));
        return true;
    }
    return false;
}

bool Within(const PeImage *image, uint64_t offset, uint64_t bytes)
{
    return offset <= image->rsrcBytes && bytes <= image->rsrcBytes - offset;
}

// The directory at offset, checked whole: its first id entry and how many.
PeStatus Directory(const PeImage *image, uint32_t offset, const uint8_t **ids, uint32_t *count)
{
    if (!Within(image, offset, kResDirBytes))
        return PE_DAMAGED;
    const uint8_t *d = image->bytes + image->rsrcOffset + offset;
    uint32_t named = Le16(d + kResDirNamedCount);
    *count = Le16(d + kResDirIdCount);
    if (!Within(image, uint64_t(offset) + kResDirBytes, uint64_t(named + *count) * kResEntryBytes))
        return PE_DAMAGED;
    // The loader looks for a number among the id entries only, which follow the named ones.
    *ids = d + kResDirBytes + kResEntryBytes * named;
    return PE_FOUND;
}

// The target field of the directory's entry numbered id.
PeStatus FindEntry(const PeImage *image, uint32_t offset, uint32_t id, uint32_t *target)
{
    const uint8_t *ids;
    uint32_t count;
    if (Directory(image, offset, &ids, &count) != PE_FOUND)
        return PE_DAMAGED;
    for (uint32_t i = 0; i < count; i++)
        if (Le32(ids + kResEntryBytes * i) == id) {
            *target = Le32(ids + kResEntryBytes * i + 4);
            return PE_FOUND;
        }
    return PE_MISSING;
}

// The entry of the language directory at offset that the loader takes for user.
PeStatus PickLanguage(const PeImage *image, uint32_t offset, uint16_t user, uint32_t *target)
{
    uint16_t order[kPeLangOrder];
    PeRes_LangOrder(user, order);
    for (uint16_t lang : order) {
        PeStatus status = FindEntry(image, offset, lang, target);
        if (status != PE_MISSING)
            return status;
    }
    const uint8_t *ids;
    uint32_t count, lowest = kResNamed;
    if (Directory(image, offset, &ids, &count) != PE_FOUND)
        return PE_DAMAGED;
    for (uint32_t i = 0; i < count; i++) {
        uint32_t lang = Le32(ids + kResEntryBytes * i);
        if (lang < lowest) {
            lowest = lang;
            *target = Le32(ids + kResEntryBytes * i + 4);
        }
    }
    return lowest == kResNamed ? PE_MISSING : PE_FOUND;
}

// A directory entry's target that must be a directory other than those
// already on the way down (the root is offset 0): a loop is damage.
PeStatus Subdirectory(uint32_t target, uint32_t above, uint32_t *offset)
{
    if (!(target & kResSubdirectory))
        return PE_DAMAGED;
    *offset = target & ~kResSubdirectory;
    return *offset == 0 || *offset == above ? PE_DAMAGED : PE_FOUND;
}

}  // namespace

bool PeRes_Open(const uint8_t *bytes, uint64_t size, PeImage *image)
{
    image->bytes = bytes;
    image->size = size;
    image->sectionTable = image->sectionCount = image->rsrcOffset = image->rsrcBytes = 0;
    image->rsrcLost = false;
    if (size < kDosBytes || bytes[0] != 'M' || bytes[1] != 'Z')
        return false;
    uint64_t pe = Le32(bytes + kDosLfanew);
    if (pe + kSignatureBytes + kFileHeaderBytes > size || Le32(bytes + pe) != kPeSignature)
        return false;
    const uint8_t *file = bytes + pe + kSignatureBytes;
    uint32_t optSize = Le16(file + kFileOptionalSize);
    uint64_t opt = pe + kSignatureBytes + kFileHeaderBytes;
    if (Le16(file + kFileMachine) != kMachineI386 || optSize < kOptDirectories || opt + optSize > size ||
        Le16(bytes + opt + kOptMagic) != kMagicPe32)
        return false;
    uint64_t table = opt + optSize, sections = Le16(file + kFileSections);
    if (table + kSectionBytes * sections > size)
        return false;
    image->sectionTable = uint32_t(table);
    image->sectionCount = uint32_t(sections);
    // Fewer directories than the resource directory's index: the image has no resources.
    if (Le32(bytes + opt + kOptDirectoryCount) <= kDirResource || optSize < kOptDirectories + kDirBytes * (kDirResource + 1))
        return true;
    uint32_t rva = Le32(bytes + opt + kOptDirectories + kDirBytes * kDirResource);
    if (rva != 0)
        image->rsrcLost = !MapRva(image, rva, &image->rsrcOffset, &image->rsrcBytes);
    return true;
}

void PeRes_LangOrder(uint16_t user, uint16_t order[kPeLangOrder])
{
    order[0] = 0;
    order[1] = user;
    order[2] = uint16_t(user & 0x3FF);  // the primary language, sublanguage neutral (0)
    order[3] = kPeLangEnUs;
}

PeStatus PeRes_Find(const PeImage *image, uint16_t type, uint16_t id, uint16_t user, PeBytes *data)
{
    if (image->rsrcLost)
        return PE_DAMAGED;
    if (image->rsrcBytes == 0)
        return PE_MISSING;
    uint32_t target, names, langs;
    PeStatus status = FindEntry(image, 0, type, &target);
    if (status != PE_FOUND)
        return status;
    if (Subdirectory(target, 0, &names) != PE_FOUND)
        return PE_DAMAGED;
    if ((status = FindEntry(image, names, id, &target)) != PE_FOUND)
        return status;
    if (Subdirectory(target, names, &langs) != PE_FOUND)
        return PE_DAMAGED;
    if ((status = PickLanguage(image, langs, user, &target)) != PE_FOUND)
        return status;
    if ((target & kResSubdirectory) || !Within(image, target, kResDataBytes))
        return PE_DAMAGED;
    const uint8_t *entry = image->bytes + image->rsrcOffset + target;
    uint32_t offset, bytes, size = Le32(entry + kResDataSize);
    if (!MapRva(image, Le32(entry + kResDataRva), &offset, &bytes) || size > bytes)
        return PE_DAMAGED;
    data->data = image->bytes + offset;
    data->size = size;
    return PE_FOUND;
}

PeStatus PeRes_String(const PeImage *image, uint16_t id, uint16_t user, PeBytes *text)
{
    PeBytes block;
    PeStatus status = PeRes_Find(image, kRtString, uint16_t((id >> 4) + 1), user, &block);
    if (status != PE_FOUND)
        return status;
    // 16 strings, each a count of UTF-16 units and then the units.
    uint32_t at = 0;
    for (uint32_t slot = 0;; slot++) {
        if (block.size - at < 2)
            return PE_DAMAGED;
        uint32_t units = Le16(block.data + at);
        at += 2;
        if (units > (block.size - at) / 2)
            return PE_DAMAGED;
        if (slot == (id & 15u)) {
            text->data = block.data + at;
            text->size = units * 2;
            return units == 0 ? PE_MISSING : PE_FOUND;
        }
        at += units * 2;
    }
}

}  // namespace selfextr
