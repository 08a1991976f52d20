// payload_read.cpp: a payload decoded by selfextr's own decoder and tar
// reader, the ones the runner uses, with Windows' name rules on top.
#include "package/payload.h"

#include "base/text.h"
#include "decoder/tar.h"
#include "decoder/xz.h"

#include <cstdlib>
#include <memory>
#include <new>

namespace selfextr {

namespace {

std::string Message(const std::string &path, const PathProblem &p, const std::string &other = {})
{
    char text[1024];
    Path_Message(path.data(), uint32_t(path.size()), p, other.data(), uint32_t(other.size()), text, sizeof text);
    return text;
}

// The order rules, which the tar reader cannot keep without a memory: the
// runner keeps the same one, so both fold, compare and say alike.
struct Memory {
    PathMemory m;
    std::vector<char> other;
    Memory() : other(kTarOtherBytes)
    {
        PathMemory_Init(&m, [](void *, uint32_t bytes) { return malloc(bytes); }, [](void *, void *block) { free(block); }, nullptr);
    }
    ~Memory() { PathMemory_Free(&m); }

    // A copy takes the size and the spelling of the earlier file it names.
    bool Check(PayloadItem &item, const TarEntry &entry, std::string &error)
    {
        uint32_t otherBytes = 0;
        PathProblem p = Tar_Remember(&m, entry, other.data(), uint32_t(other.size()), &otherBytes, &item.size);
        if (p.why == kPathNoMemory)
            throw std::bad_alloc();
        if (p.why != nullptr)
            return error = Message(item.path, p, std::string(other.data(), otherBytes)), false;
        if (entry.target != nullptr)
            item.copyOf.assign(other.data(), otherBytes);
        return true;
    }
};

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
    if (const char *why = Tar_SizeProblem(info.unpackedSize))
        return error = std::string("the payload is damaged: ") + why, false;
    // The dictionary is bounded by the decoder (kXzMaxDictionary) before this allocation.
    std::vector<uint8_t> dict(info.dictionaryNeeded);
    auto xz = std::make_unique<XzDecoder>();
    auto tar = std::make_unique<TarReader>();
    Tar_Init(tar.get());
    r = Xz_Open(xz.get(), bytes.data(), bytes.size(), dict.data(), uint32_t(dict.size()));
    std::vector<uint8_t> out(1 << 16);
    Memory seen;
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
                if (tar->pathProblem.why != nullptr)
                    return error = Message(std::string(tar->entry.path, tar->entry.pathBytes), tar->pathProblem), false;
                return error = std::string("the payload's archive is malformed: ") + tar->error, false;
            case TAR_ENTRY:
                item.path.assign(tar->entry.path, tar->entry.pathBytes);
                item.folder = tar->entry.folder;
                item.size = tar->entry.size;
                item.mtime = tar->entry.mtime;
                item.copyOf.clear();
                if (!seen.Check(item, tar->entry, error))
                    return false;
                (item.folder ? summary.folders : summary.files)++;
                summary.copies += item.copyOf.empty() ? 0 : 1;
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
        return error = "the payload is damaged: the archive is cut short", false;
    return true;
}

}  // namespace selfextr
