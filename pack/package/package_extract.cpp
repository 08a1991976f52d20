// package_extract.cpp: a payload's tree written out as the runner writes it.
#include "package/package.h"
#include "base/tree_output.h"

#include <map>

namespace selfextr {

namespace {

// The payload's folders as Windows would make them: a folder whose name
// differs from one made before only in case is that folder, so a later
// "A/x" goes into the "a" made first, never into a second folder beside it.
struct FolderSpelling {
    std::map<std::u16string, std::string> first;  // folded path, spelling made first

    std::string Resolve(const std::string &path, bool folder)
    {
        std::string out, key;
        size_t start = 0;
        for (;;) {
            size_t slash = path.find('/', start);
            std::string name = path.substr(start, slash == std::string::npos ? std::string::npos : slash - start);
            const bool last = slash == std::string::npos;
            std::string spelled = (out.empty() ? "" : out + "/") + name;
            if (!last || folder)
                spelled = first.try_emplace(Name_Fold(spelled), spelled).first->second;
            out = spelled;
            if (last)
                return out;
            start = slash + 1;
        }
    }
};

}  // namespace

bool Package_ExtractPayload(std::span<const uint8_t> payload, const std::filesystem::path &dir, PayloadSummary &summary,
                            std::string &error)
{
    TreeOutput writer;
    if (!writer.Open(dir, error))
        return false;
    FolderSpelling spelling;
    PayloadVisitor visitor;
    bool copied = false;  // a copy is written whole at its entry, and its end is already past
    visitor.item = [&](const PayloadItem &i, std::string &e) {
        const std::string path = spelling.Resolve(i.path, i.folder);
        copied = !i.copyOf.empty();
        return i.folder ? writer.Folder(path, e)
               : copied ? writer.Copy(spelling.Resolve(i.copyOf, false), path, i.mtime, e)
                        : writer.File(path, i.mtime, e);
    };
    visitor.data = [&](const uint8_t *p, size_t n, std::string &e) { return writer.Data(p, n, e); };
    visitor.fileEnd = [&](std::string &e) { return copied || writer.FileEnd(e); };
    if (Payload_Read(payload, visitor, summary, error))
        return true;
    // The tree appears whole or not at all.
    writer.Remove();
    return false;
}

}  // namespace selfextr
