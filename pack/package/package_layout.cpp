// package_layout.cpp: a checked pack request laid out as the package's resources.
#include "package/assemble.h"

namespace selfextr {

std::string Package_FormatNote(uint64_t total)
{
    return "the package holds " + Text_Thousands(total) + " bytes, more than the " + Text_Thousands(kFormatTotal) +
           " of the format's 32-bit percentage rule: a selfextr stub extracts it, a stub that follows that rule shows a wrong percentage";
}

namespace {

// Removes one resource, and its type when nothing else is left of it.
void Erase(ResTree &tree, uint16_t type, uint16_t id)
{
    if (auto found = tree.find(ResKey::Id(type)); found != tree.end()) {
        found->second.erase(ResKey::Id(id));
        if (found->second.empty())
            tree.erase(found);
    }
}

}  // namespace

void Package_Layout(const Assembly &a, ResTree &tree)
{
    const PackRequest &request = a.request;
    // Packing again replaces the whole package: strings, entries, version,
    // manifest (without a level the stub carries none) and payload go.
    tree.erase(ResKey::Id(kRtString));
    tree.erase(ResKey::Id(kRtEntry));
    tree.erase(ResKey::Id(kRtVersion));
    Erase(tree, kRtManifest, kManifestId);
    Erase(tree, kRtPayload, kPayloadId);

    const std::u16string date = Text_Utf16(a.dateText), time = Text_Utf16(a.timeText);
    std::map<uint16_t, std::u16string> strings = {{kStringCaption, Text_Utf16(request.caption)},
        {kStringPrompt, Text_Utf16(request.prompt)}, {kStringDate, date}, {kStringTime, time},
        {kStringTotal, Text_Utf16(std::to_string(a.total))}};
    for (size_t n = 0; n < a.entries.size(); n++) {
        const PlannedEntry &e = a.entries[n];
        const uint16_t id = uint16_t(kEntryFirst + n);
        strings[id] = Text_Utf16(e.descriptor);
        auto &bytes = tree[ResKey::Id(kRtEntry)][ResKey::Id(id)][kLangEnUs].bytes;
        if (e.file == PlannedEntry::kRunner)
            bytes = *request.runner;
        else
            bytes = FileBytes{request.files[e.file].source, e.size};
    }
    if (request.payload) {
        RunnerSettings_Put(a.settings, strings);
        tree[ResKey::Id(kRtPayload)][ResKey::Id(kPayloadId)][kLangEnUs].bytes = request.payload->bytes;
    }
    StringTable_Put(strings, tree);
    // The caption, the question, the date and the time share one block, which
    // the platform loads whole in the user's language: each translation's
    // block holds the same date and time. Every other block is the default's,
    // found for any user after the user's own language (package-format.md).
    for (const auto &[id, t] : a.languages)
        StringTable_Put({{kStringCaption, Text_Utf16(t.caption)}, {kStringPrompt, Text_Utf16(t.prompt)},
                         {kStringDate, date}, {kStringTime, time}},
                        tree, id);
    // What makes the image a stub to the partner header and the runner.
    ResLangs &marker = tree[ResKey::Id(kRtPackageMarker)][ResKey::Id(kPackageMarkerId)];
    marker.clear();
    marker[kLangEnUs].bytes = std::vector<uint8_t>(kPackageMarker.begin(), kPackageMarker.end());
    if (a.version)
        tree[ResKey::Id(kRtVersion)][ResKey::Id(1)][kLangEnUs].bytes = *a.version;
    if (!request.executionLevel.empty()) {
        std::string xml = AppManifest_Xml(request.executionLevel);
        tree[ResKey::Id(kRtManifest)][ResKey::Id(kManifestId)][kLangEnUs].bytes = std::vector<uint8_t>(xml.begin(), xml.end());
    }
}

}  // namespace selfextr
