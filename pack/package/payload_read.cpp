// payload_read.cpp: a payload decoded by selfextr's own decoder and tar
// reader, the ones the runner uses, with Windows' name rules on top.
#include "package/payload.h"

#include "base/text.h"
#include "decoder/tar.h"
#include "decoder/xz.h"
#include "package/names.h"

#include <map>
#include <memory>

namespace selfextr {

namespace {

// The Windows rules that pack applied, checked again name by name.
bool CheckPath(const std::string &path, std::map<std::u16string, std::string> &seen, std::string &error)
{
    for (size_t start = 0; start <= path.size();) {
        size_t slash = std::min(path.find('/', start), path.size());
        std::string name = path.substr(start, slash - start);
        if (std::string why = Name_Problem(name, NameUse::kPayload); !why.empty())
            return error = "payload path \"" + path + "\": the name \"" + name + "\" " + why, false;
        start = slash + 1;
    }
    if (Text_Utf16(path).size() > kPayloadMaxPathUnits)
        return error = "payload path \"" + path + "\" is longer than " + std::to_string(kPayloadMaxPathUnits) + " UTF-16 units", false;
    auto [other, fresh] = seen.emplace(Name_Fold(path), path);
    if (!fresh)
        return error = "payload paths \"" + path + "\" and \"" + other->second + "\" differ only in case", false;
    return true;
}

}  // namespace

bool Payload_Read(std::span<const uint8_t> bytes, const PayloadVisitor &visitor, PayloadSummary &summary,
                  std::string &error)
{
    summary = PayloadSummary{};
    XzStreamInfo info;
    XzResult r = Xz_Scan(bytes.data(), bytes.size(), &info, nullptr, 0);
    if (r != XZ_DONE)
        return error = std::string("the payload is damaged: ") + Xz_ResultText(r), false;
    summary.blocks = info.blocks;
    summary.dictionary = info.dictionary;
    summary.archiveBytes = info.unpackedSize;
    // The dictionary is bounded by the decoder (kXzMaxDictionary) before this allocation.
    std::vector<uint8_t> dict(info.dictionaryNeeded);
    auto xz = std::make_unique<XzDecoder>();
    auto tar = std::make_unique<TarReader>();
    Tar_Init(tar.get());
    r = Xz_Open(xz.get(), bytes.data(), bytes.size(), dict.data(), uint32_t(dict.size()));
    std::vector<uint8_t> out(1 << 16);
    std::map<std::u16string, std::string> seen;
    PayloadItem item;
    while (r == XZ_MORE) {
        size_t got = 0;
        r = Xz_Decode(xz.get(), out.data(), out.size(), &got);
        if (r != XZ_MORE && r != XZ_DONE)
            break;
        for (size_t at = 0; at < got;) {
            size_t used;
            const uint8_t *data;
            size_t dataBytes;
            TarStatus t = Tar_Feed(tar.get(), out.data() + at, got - at, &used, &data, &dataBytes);
            at += used;
            switch (t) {
            case TAR_ERROR:
                return error = std::string("the payload's archive is malformed: ") + tar->error, false;
            case TAR_ENTRY:
                item.path.assign(tar->entry.path, tar->entry.pathBytes);
                item.folder = tar->entry.folder;
                item.size = tar->entry.size;
                item.mtime = tar->entry.mtime;
                if (!CheckPath(item.path, seen, error))
                    return false;
                (item.folder ? summary.folders : summary.files)++;
                summary.expanded += item.size;
                if (visitor.item && !visitor.item(item, error))
                    return false;
                break;
            case TAR_DATA:
                if (visitor.data && !visitor.data(data, dataBytes, error))
                    return false;
                break;
            case TAR_FILE_END:
                if (visitor.fileEnd && !visitor.fileEnd(error))
                    return false;
                break;
            case TAR_MORE:
            case TAR_END:
                break;
            }
        }
    }
    if (r != XZ_DONE)
        return error = std::string("the payload is damaged: ") + Xz_ResultText(r), false;
    // A file of no bytes at the very end still owes its TAR_FILE_END.
    size_t used;
    const uint8_t *data;
    size_t dataBytes;
    if (Tar_Feed(tar.get(), nullptr, 0, &used, &data, &dataBytes) == TAR_FILE_END && visitor.fileEnd &&
        !visitor.fileEnd(error))
        return false;
    if (!Tar_Ended(tar.get()))
        return error = "the payload's archive is cut short", false;
    return true;
}

}  // namespace selfextr
