// runner_image.cpp: the bare runner's resources filled in for one package.
#include "package/runner_image.h"

#include "base/text.h"
#include "package/appmanifest.h"
#include "package/stringtable.h"
#include "runner/resources.h"

#include <algorithm>

namespace selfextr {

bool Runner_Build(std::span<const uint8_t> bareRunner, const std::string &command, const std::string &payloadName,
                  const std::map<uint16_t, std::string> &captions, uint32_t timestamp, std::vector<uint8_t> &out,
                  std::string &error)
{
    auto image = Image_Parse(std::vector<uint8_t>(bareRunner.begin(), bareRunner.end()), error);
    if (!image)
        return error = "the runner selfextr carries cannot be read: " + error, false;
    ResTree tree = image->resources;
    for (const auto &[lang, caption] : captions)
        StringTable_Put({{RUNNER_STRING_COMMAND, Text_Utf16(command)},
                         {RUNNER_STRING_PAYLOAD, Text_Utf16(payloadName)},
                         {RUNNER_STRING_CAPTION, Text_Utf16(caption)}},
                        tree, lang);
    std::string xml = AppManifest_Xml("asInvoker");
    tree[ResKey::Id(kRtManifest)][ResKey::Id(kManifestId)][kLangEnUs].bytes = std::vector<uint8_t>(xml.begin(), xml.end());
    WriteOptions options;
    options.timestamp = timestamp;
    out.clear();
    ImageSink sink;
    sink.write = [&](const uint8_t *p, size_t n) { return out.insert(out.end(), p, p + n), true; };
    sink.patch = [&](uint64_t at, const uint8_t *p, size_t n) { return std::copy(p, p + n, out.begin() + long(at)), true; };
    return Image_Write(*image, tree, options, sink, error);
}

}  // namespace selfextr
