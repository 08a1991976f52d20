// package_list.cpp: a package decoded by the stub's own rules, from the bytes the stub gets.
#include "package/package.h"
#include "package/runner_image.h"

#include "stub/decimal.h"
#include "stub/descriptor.h"
#include "stub/stampwords.h"

#include <cstring>
#include <set>

namespace selfextr {

namespace {

// The payload that string 3001 names: the image's own resource, or in
// packages of the earlier layout the entry of that name, exactly as the stub
// writes it (its descriptor's size). Decoded whole, every check verified.
void ListPayload(const ResTree &tree, bool withItems, Listing &out)
{
    auto name = StringTable_Get(tree, kStringPayload);
    if (!name)
        return;
    Listing::ListedPayload payload;
    payload.name = *name;
    if (const ResLangs *langs = ResTree_Find(tree, kRtPayload, kPayloadId)) {
        auto data = langs->find(kLangEnUs);
        if (data == langs->end() || langs->size() != 1) {
            out.problems.push_back("the payload resource (RCDATA " + std::to_string(kPayloadId) + ") is not one en-US resource");
            return;
        }
        payload.data = &data->second;
        payload.bytes = ResData_Bytes(data->second);
    } else {
        for (const ListedEntry &e : out.entries)
            if (e.name == *name && e.problem.empty() && e.data != nullptr)
                payload.data = e.data, payload.bytes = ResData_Bytes(*e.data).first(e.size), payload.asEntry = true;
        if (payload.data == nullptr) {
            out.problems.push_back("the payload \"" + *name + "\" is neither the package's payload resource (RCDATA " +
                                   std::to_string(kPayloadId) + ") nor an entry the stub writes");
            return;
        }
    }
    PayloadVisitor visitor;
    visitor.item = [&](const PayloadItem &item, std::string &) {
        if (!item.folder)
            payload.filePaths.push_back(item.path);
        if (withItems)
            payload.items.push_back(item);
        return true;
    };
    std::string error;
    payload.intact = Payload_Read(payload.bytes, visitor, payload.summary, error);
    if (!payload.intact)
        out.problems.push_back("payload \"" + *name + "\": " + error);
    out.payload = std::move(payload);
}

// Each translation's caption and prompt; then, for a user of each of the
// package's languages and of one it does not have, every string the stub
// reads must be found, and all but the caption and the prompt must read as
// the default's.
void ListLanguages(const ResTree &tree, Listing &out)
{
    const ResLangs *block = ResTree_Find(tree, kRtString, uint16_t((kStringCaption >> 4) + 1));
    if (block == nullptr)
        return;
    std::vector<uint16_t> users;
    for (const auto &[lang, data] : *block) {
        if (lang == kLangEnUs)
            continue;
        users.push_back(lang);
        Listing::ListedLanguage l;
        l.id = lang;
        l.tag = Language_Tag(lang);
        const std::string where = "language " + l.tag + ": ";
        auto caption = StringTable_Get(tree, kStringCaption, 0x10000, lang);
        auto prompt = StringTable_Get(tree, kStringPrompt, 0x10000, lang);
        l.caption = caption.value_or("");
        l.prompt = prompt.value_or("");
        if (!caption || !prompt)
            out.problems.push_back(where + "no " + (caption ? "prompt" : "caption"));
        if (Text_AnsiBytes(Text_Utf16(l.caption)) > kCaptionBytes - 1)
            out.problems.push_back(where + "caption is longer than " + std::to_string(kCaptionBytes - 1) + " bytes");
        if (Text_AnsiBytes(Text_Utf16(l.prompt)) > kTextBytes - 1)
            out.problems.push_back(where + "prompt is longer than " + std::to_string(kTextBytes - 1) + " bytes");
        out.languages.push_back(l);
    }
    if (users.empty())
        return;
    users.push_back(kLanguageAbsent);
    std::vector<uint16_t> ids = {kStringCaption, kStringPrompt, kStringDate, kStringTime, kStringTotal};
    // The runner's settings, read by the loader's order like the stub's strings.
    if (StringTable_Get(tree, kStringCommand))
        for (const RunnerSettingRow &row : kRunnerSettings)
            if (row.required || StringTable_Get(tree, row.id))
                ids.push_back(row.id);
    for (const ListedEntry &e : out.entries)
        ids.push_back(uint16_t(e.number));
    for (uint16_t user : users)
        for (uint16_t id : ids) {
            auto seen = StringTable_Get(tree, id, kTextBytes, user);
            const std::string who = "for a user of language " + Language_Tag(user) + ", string " + std::to_string(id);
            if (!seen)
                out.problems.push_back(who + " is missing");
            else if (id != kStringCaption && id != kStringPrompt && seen != StringTable_Get(tree, id, kTextBytes))
                out.problems.push_back(who + " reads \"" + *seen + "\", not the default's");
        }
}

// The runner's settings checked as the runner will read them: its command
// against its limits and the payload, every caption it shows, and the
// SETUP.EXE that reads them.
void ListRunner(const ResTree &tree, Listing &out)
{
    auto command = RunnerSettings_Command(tree);
    if (!command && !out.payload)
        return;
    if (!command) {
        out.problems.push_back("the payload has no command (string " + std::to_string(kStringCommand) + "): the runner would start nothing");
        return;
    }
    Listing::ListedRun run;
    run.settings = RunnerSettings_Get(tree, out.problems);
    std::string error;
    // A command the runner refuses whole is told once, by its setting.
    const bool whole = Text_Utf16(*command).size() <= kRunnerMaxCommand;
    const bool program = whole && RunnerSettings_Program(*command, out.payload ? out.payload->filePaths : std::vector<std::string>{},
                                                         run.program, error);
    if (whole && !program)
        out.problems.push_back("the runner's command: " + error);
    const bool intact = out.payload && out.payload->intact;
    RunnerSettings_Check(intact ? out.payload->bytes : std::span<const uint8_t>(), program ? &run.program : nullptr,
                         run.settings, out.problems);
    out.run = run;
    std::vector<std::pair<std::string, std::string>> captions = {{"", StringTable_Get(tree, kStringCaption, 0x10000).value_or("")}};
    for (const Listing::ListedLanguage &l : out.languages)
        captions.emplace_back("language " + l.tag + ": ", StringTable_Get(tree, kStringCaption, 0x10000, l.id).value_or(""));
    for (const auto &[where, caption] : captions)
        if (!RunnerSettings_Caption(caption, error))
            out.problems.push_back(where + error);
    for (const ListedEntry &e : out.entries) {
        if (Name_Fold(e.name) != kSetupName || !e.problem.empty() || e.data == nullptr)
            continue;
        bool isSigned = false;
        if (!Runner_Check(ResData_Bytes(*e.data).first(e.size), isSigned, error))
            out.problems.push_back("SETUP.EXE (entry " + std::to_string(e.number) + ") cannot read the package's settings: " + error);
        else
            out.runnerSigned = isSigned;
        return;
    }
    out.problems.push_back("the package has settings for the runner but no SETUP.EXE to read them");
}

// The package marker, by which the partner header and the runner tell a stub
// from any other program: every language of it must hold exactly the text.
void ListMarker(const ResTree &tree, Listing &out)
{
    std::string why = "the package carries no package marker (RCDATA " + std::to_string(kPackageMarkerId) + ", \"" +
                      std::string(kPackageMarker) + "\")";
    if (const ResLangs *marker = ResTree_Find(tree, kRtPackageMarker, kPackageMarkerId)) {
        out.marked = true;
        for (const auto &[lang, data] : *marker) {
            std::span<const uint8_t> text = ResData_Bytes(data);
            if (std::string_view(reinterpret_cast<const char *>(text.data()), text.size()) != kPackageMarker) {
                out.marked = false;
                why = "the package's marker (RCDATA " + std::to_string(kPackageMarkerId) + ") in language " +
                      Language_Tag(lang) + " does not read \"" + std::string(kPackageMarker) + "\"";
            }
        }
    }
    if (out.marked)
        return;
    // The stub itself never reads it: only what finds the stub from outside does.
    if (out.run || out.payload)
        out.problems.push_back(why + ": its runner would not find the stub that started it, and would not run");
    else
        out.notes.push_back(why + " (made by an older selfextr or another tool): the stub extracts it as listed, but a setup "
                            "program using selfextr's partner header does not know this stub until its window appears");
}

}  // namespace

Listing Package_ListImage(const Image &image, bool withPayloadItems)
{
    Listing out = Package_List(image.resources, withPayloadItems);
    out.stubSigned = image.certSize != 0;
    return out;
}

Listing Package_List(const ResTree &tree, bool withPayloadItems)
{
    Listing out;
    auto get = [&](uint16_t id, size_t capacity, const char *what) {
        auto s = StringTable_Get(tree, id, capacity);
        if (!s)
            out.problems.push_back(std::string("string ") + std::to_string(id) + " (" + what + ") is missing");
        return s.value_or("");
    };
    out.caption = get(kStringCaption, kCaptionBytes, "caption");
    out.prompt = get(kStringPrompt, kTextBytes, "prompt");
    out.dateText = get(kStringDate, kTextBytes, "date");
    out.timeText = get(kStringTime, kTextBytes, "time");
    out.totalText = get(kStringTotal, kTextBytes, "total");

    // Decoded with the stub's own readers, from the same bytes the stub gets.
    char text[kTextBytes] = {};
    strncpy(text, out.timeText.c_str(), sizeof text - 1);
    out.timeWord = Stamp_TimeWord(text);
    memset(text, 0, sizeof text);
    strncpy(text, out.dateText.c_str(), sizeof text - 1);
    out.dateWord = Stamp_DateWord(text);
    out.total = uint32_t(Dec_Read(out.totalText.c_str()));
    StampParts stamp = Date_StampParts(out.dateWord, out.timeWord);
    if (stamp.month < 1 || stamp.month > 12 || stamp.day < 1 || stamp.hour > 23 || stamp.minute > 59)
        out.problems.push_back("the date and time strings do not give a valid stamp");

    if (const ResLangs *manifest = ResTree_Find(tree, kRtManifest, kManifestId)) {
        std::span<const uint8_t> xml = ResData_Bytes(*ResLangs_Pick(*manifest));
        out.executionLevel = AppManifest_Level(std::string(xml.begin(), xml.end()));
    }

    uint64_t sum = 0;
    std::set<std::u16string> names;
    const auto entryType = tree.find(ResKey::Id(kRtEntry));
    uint32_t n = kEntryFirst;
    for (;; n++) {
        const ResLangs *data = ResTree_Find(tree, kRtEntry, uint16_t(n));
        if (!data || n > 0xFFFF)
            break;
        ListedEntry e;
        e.number = n;
        e.data = ResLangs_Pick(*data);
        auto descriptor = StringTable_Get(tree, uint16_t(n));
        e.descriptor = descriptor.value_or("");
        std::vector<char> buffer(e.descriptor.begin(), e.descriptor.end());
        buffer.push_back('\0');
        bool hasComma = Desc_Split(buffer.data(), &e.size);
        e.name = buffer.data();
        if (!descriptor)
            e.problem = "has data but no descriptor";
        else if (!hasComma)
            e.problem = "has a descriptor without a comma";
        else if (e.size > e.data->Size())
            e.problem = "claims " + std::to_string(e.size) + " bytes but its data holds " + std::to_string(e.data->Size());
        else if (Name_LeavesFolder(e.name))
            e.problem = "has the name \"" + e.name + "\", which would leave the folder it is written into";
        else if (std::string why = Name_Problem(e.name, true); !why.empty())
            e.problem = "has the name \"" + e.name + "\", which " + why;
        else if (!names.insert(Name_Fold(e.name)).second)
            e.problem = "has the name \"" + e.name + "\" of an earlier entry (Windows ignores case), which it would replace";
        if (!e.problem.empty())
            out.problems.push_back("entry " + std::to_string(n) + " " + e.problem);
        if (hasComma)
            sum += e.size;
        out.entries.push_back(std::move(e));
    }
    if (out.entries.size() > kMaxEntries)
        out.problems.push_back(std::to_string(out.entries.size()) + " entries: the stub registers at most " +
                               std::to_string(kMaxEntries) + " files");
    if (entryType != tree.end())
        for (auto &[key, langs] : entryType->second)
            if (!key.IsId() || key.id > n)
                out.problems.push_back("entry " + (key.IsId() ? std::to_string(key.id) : Text_Utf8(key.name)) +
                                       " follows a gap and is never extracted");
    for (uint32_t id = n; id < kStringTotal; id++)
        if (StringTable_Get(tree, uint16_t(id)))
            out.problems.push_back("descriptor " + std::to_string(id) + " has no data");
    if (sum != out.total)
        out.problems.push_back("total " + std::to_string(out.total) + " differs from the sum of the sizes, " + std::to_string(sum));
    if (out.total > kMaxPackageBytes)
        out.problems.push_back("total " + std::to_string(out.total) + " is more than " + Package_MaxBytesText());
    else if (out.total > kFormatTotal)
        out.notes.push_back(Package_FormatNote(out.total));
    ListPayload(tree, withPayloadItems, out);
    ListLanguages(tree, out);
    ListRunner(tree, out);
    ListMarker(tree, out);
    return out;
}

}  // namespace selfextr
