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

// What came before, as Windows compares paths: whether it is a folder, and
// its last name as written.
struct Seen {
    bool folder;
    std::string last;
};

std::string Message(const std::string &path, const PathProblem &p, const std::string &other = {})
{
    char text[1024];
    Path_Message(path.data(), uint32_t(path.size()), p, other.data(), uint32_t(other.size()), text, sizeof text);
    return text;
}

// The order rules, which the tar reader cannot keep without a memory: the
// folder an entry is in came before it as a folder, and nothing came before
// under the same name. The runner learns the same from the file system it
// writes to, so both compare as Windows does and say the same.
bool CheckOrder(const std::string &path, bool folder, std::map<std::u16string, Seen> &seen, std::string &error)
{
    const uint32_t last = Path_LastName(path.data(), uint32_t(path.size()));
    if (last != 0) {
        auto parent = seen.find(Name_Fold(path.substr(0, last - 1)));
        if (parent == seen.end() || !parent->second.folder)
            return error = Message(path, PathProblem{parent == seen.end() ? kPathNoFolder : kPathFileAsFolder, PATH_FOLDER, 0,
                                                     last - 1}), false;
    }
    auto [other, fresh] = seen.emplace(Name_Fold(path), Seen{folder, path.substr(last)});
    if (fresh)
        return true;
    // The earlier one as the file system shows it: in this entry's folder, under its own last name.
    if (other->second.last == path.substr(last))
        return error = Message(path, PathProblem{kPathTwice, PATH_WHOLE, 0, 0}), false;
    return error = Message(path, PathProblem{kPathCase, PATH_OTHER, 0, 0}, path.substr(0, last) + other->second.last), false;
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
    if (const char *why = Tar_SizeProblem(info.unpackedSize))
        return error = std::string("the payload is damaged: ") + why, false;
    // The dictionary is bounded by the decoder (kXzMaxDictionary) before this allocation.
    std::vector<uint8_t> dict(info.dictionaryNeeded);
    auto xz = std::make_unique<XzDecoder>();
    auto tar = std::make_unique<TarReader>();
    Tar_Init(tar.get());
    r = Xz_Open(xz.get(), bytes.data(), bytes.size(), dict.data(), uint32_t(dict.size()));
    std::vector<uint8_t> out(1 << 16);
    std::map<std::u16string, Seen> seen;
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
                if (!CheckOrder(item.path, item.folder, seen, error))
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
        return error = "the payload is damaged: the archive is cut short", false;
    return true;
}

}  // namespace selfextr
