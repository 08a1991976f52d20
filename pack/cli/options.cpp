// options.cpp: the command line over the manifest, value by value.
#include "cli/options.h"

namespace selfextr {

namespace {

void Override(std::string &value, const std::string &given)
{
    if (!given.empty())
        value = given;
}

}  // namespace

PackRequest Options_Merge(const PackRequest &manifest, const PackOptionValues &options)
{
    PackRequest request = manifest;
    Override(request.caption, options.caption);
    Override(request.prompt, options.prompt);
    Override(request.date, options.date);
    Override(request.time, options.time);
    Override(request.executionLevel, options.executionLevel);
    request.allowNonAscii |= options.allowNonAscii;
    if (!options.payloadDir.empty())
        request.payloadDir = options.payloadDir;
    Override(request.run, options.run);
    if (!options.runner.empty())
        request.runnerFile = options.runner;
    if (options.payloadBlockBytes != 0)
        request.payloadOptions.blockBytes = uint32_t(options.payloadBlockBytes);
    if (options.threads != 0)
        request.payloadOptions.threads = options.threads;
    if (options.memoryLimit != 0)
        request.payloadOptions.memoryLimit = options.memoryLimit;

    const VersionRecord &v = options.version;
    if (!v.product.empty() || !v.version.empty() || !v.company.empty() || !v.description.empty() ||
        !v.copyright.empty()) {
        VersionRecord record = request.version.value_or(VersionRecord{});
        Override(record.product, v.product);
        Override(record.version, v.version);
        Override(record.company, v.company);
        Override(record.description, v.description);
        Override(record.copyright, v.copyright);
        request.version = record;
    }
    for (const auto &[folder, f] : options.inputs) {
        PackFile pf;
        if (folder) {
            pf.source = f;
            pf.folder = true;
        } else {
            size_t eq = f.find('=');
            pf.source = f.substr(0, eq);
            pf.name = eq == std::string::npos ? pf.source.filename().string() : f.substr(eq + 1);
        }
        request.files.push_back(pf);
    }
    return request;
}

}  // namespace selfextr
