// pe.h: a PE32 i386 image, its resource tree, and the rewrite of its .rsrc.
#pragma once
#include "base/failure.h"

#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <variant>
#include <vector>

#include "decoder/peres.h"

namespace selfextr {

// A resource type or name: numbers and names never compare equal, and named
// entries sort before numeric ones, as the resource directory wants them.
struct ResKey {
    std::u16string name;  // empty for a number
    uint16_t id = 0;
    static ResKey Id(uint16_t id) { return ResKey{{}, id}; }
    static ResKey Name(std::u16string n) { return ResKey{std::move(n), 0}; }
    bool IsId() const { return name.empty(); }
    auto operator<=>(const ResKey &o) const {
        if (IsId() != o.IsId())
            return IsId() ? std::strong_ordering::greater : std::strong_ordering::less;
        if (!IsId())
            return name <=> o.name;
        return id <=> o.id;
    }
    bool operator==(const ResKey &) const = default;
};

// Where a resource's bytes are: in memory, or a file streamed at write time.
struct FileBytes {
    std::filesystem::path path;
    uint64_t size = 0;
};
// Bytes of the image a resource was read from: shared, never copied, so that
// many entries naming the same data cost nothing. The image must outlive it.
struct ImageBytes {
    const uint8_t *data = nullptr;
    uint64_t size = 0;
};
struct ResData {
    std::variant<std::vector<uint8_t>, FileBytes, ImageBytes> bytes;
    uint32_t codepage = 0;
    uint64_t Size() const;
};

using ResLangs = std::map<uint16_t, ResData>;
using ResNames = std::map<ResKey, ResLangs>;
using ResTree = std::map<ResKey, ResNames>;

// The platform's resource types that selfextr writes, and the language it writes them in.
constexpr uint16_t kRtDialog = 5, kRtString = 6, kRtVersion = 16, kRtManifest = 24;
constexpr uint16_t kLangEnUs = kPeLangEnUs;

// The languages of a numbered resource, or nullptr when there is none.
const ResLangs *ResTree_Find(const ResTree &tree, uint16_t type, uint16_t id);
// The language a lookup of the stub finds first: neutral, then en-US, then the lowest.
const ResData *ResLangs_Pick(const ResLangs &langs);
// The language the platform's loader finds first for a user whose UI language
// is user, in PeRes_LangOrder's order, then the lowest.
const ResData *ResLangs_PickFor(const ResLangs &langs, uint16_t user);

struct Section {
    std::string name;
    uint32_t virtualSize, virtualAddress, rawSize, rawPointer, characteristics;
};

// Moved, never copied: its resources point into its bytes.
struct Image {
    Image() = default;
    Image(const Image &) = delete;
    Image &operator=(const Image &) = delete;
    Image(Image &&) = default;
    Image &operator=(Image &&) = default;
    std::vector<uint8_t> bytes;  // the whole input file
    uint32_t peOffset = 0, fileHeader = 0, optOffset = 0, sectionTable = 0;
    uint32_t fileAlignment = 0, sectionAlignment = 0;
    std::vector<Section> sections;
    uint32_t rsrcIndex = 0;       // always the last section
    uint32_t certOffset = 0, certSize = 0;
    ResTree resources;
};

// Reads and checks an image; on failure returns nullopt and sets error to one exact message.
std::optional<Image> Image_Parse(std::vector<uint8_t> bytes, std::string &error);

struct WriteOptions {
    bool stripSignature = false;
    std::optional<uint32_t> timestamp;  // the file header's TimeDateStamp; kept when not given
};

// Where Image_Write puts the file, front to back.
struct ImageSink {
    std::function<bool(const uint8_t *, size_t)> write;
    // Rewrites bytes already written (the checksum, last).
    std::function<bool(uint64_t, const uint8_t *, size_t)> patch;
};

// Writes image with its resources replaced by tree and .rsrc read-only.
// An image with a section both writable and executable is refused.
// A failure of the sink is a Write failure, of a file resource's input a
// Read failure; anything else is the image or the tree refused.
bool Image_Write(const Image &image, const ResTree &tree, const WriteOptions &options, const ImageSink &sink,
                 Failure &failure);
bool Image_Write(const Image &image, const ResTree &tree, const WriteOptions &options, const ImageSink &sink,
                 std::string &error);

// The image's bytes with its PE headers moved up against the MZ header (no
// DOS program) and SizeOfHeaders cut to what they then need, every section's
// data moved down by what that frees. Refused, with one message, for an image
// with any other file offset that would need moving (a certificate, debug
// data, COFF symbols or line numbers), an overlay, or bytes between its
// section table and its first section's data. The checksum is left stale:
// writing the result sets it.
bool Image_CompactHeaders(const Image &image, std::vector<uint8_t> &out, std::string &error);

// Reads and parses a whole image file (only a regular file).
std::optional<Image> Image_Load(const std::filesystem::path &path, std::string &error);
// Writes image with tree beside output and renames it into place: never a
// partial file. The image's own file may be the output (it is only read).
bool Image_WriteFile(const Image &image, const ResTree &tree, const WriteOptions &options,
                     const std::filesystem::path &output, std::string &error);

// The bytes of a resource held in memory (all parsed ones are); empty for a file.
std::span<const uint8_t> ResData_Bytes(const ResData &data);

}  // namespace selfextr
