// listing_json.cpp: written with toml++'s JSON formatter, which does the escaping.
#include "cli/listing_json.h"

#include <algorithm>
#include <cstdio>
#include <sstream>

#include <toml++/toml.h>

namespace selfextr {

namespace {

// toml++ escapes what JSON requires (quotes, backslashes, C0); DEL, C1 and
// the bidirectional marks it passes through, and a terminal acts on the first
// two and shows a name in another order for the last. They are written as the
// text listing writes them, \uNNNN, which a JSON reader decodes back to the
// same text. Outside its strings the document is ASCII, so the whole of it
// can be walked.
std::string Escaped(const std::string &json)
{
    std::string out;
    out.reserve(json.size());
    for (size_t i = 0; i < json.size();) {
        const uint8_t lead = uint8_t(json[i]);
        if (lead == 0x7F) {
            out += "\\u007F";
            i++;
            continue;
        }
        size_t length = lead < 0xC0 ? 1 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : 4;
        length = std::min(length, json.size() - i);
        char shown[16];
        if (length > 1 && Path_AppendShown(shown, 0, sizeof shown, json.data() + i, uint32_t(length)) == 6 &&
            shown[0] == '\\' && shown[1] == 'u')
            out.append(shown, 6);
        else
            out.append(json, i, length);
        i += length;
    }
    return out;
}

}  // namespace

std::string ListingJson_Format(const Listing &l, const std::string &file)
{
    StampParts p = Date_StampParts(l.dateWord, l.timeWord);
    char local[32];
    snprintf(local, sizeof local, "%04u-%02u-%02uT%02u:%02u", p.year, p.month, p.day, p.hour, p.minute);
    toml::table stamp{{"local", local}, {"date_string", l.dateText}, {"time_string", l.timeText}};

    toml::array entries;
    for (const ListedEntry &e : l.entries) {
        toml::table entry{{"number", int64_t(e.number)},
                          {"name", e.name},
                          {"size", int64_t(e.size)},
                          {"data_length", int64_t(e.data->Size())}};
        if (!e.problem.empty())
            entry.insert("problem", e.problem);
        entries.push_back(std::move(entry));
    }
    toml::array problems, notes;
    for (const std::string &text : l.problems)
        problems.push_back(text);
    for (const std::string &text : l.notes)
        notes.push_back(text);

    toml::table doc{{"schema", 1},
                    {"file", file},
                    {"caption", l.caption},
                    {"prompt", l.prompt},
                    {"stamp", std::move(stamp)},
                    {"total", int64_t(l.total)},
                    {"entries", std::move(entries)},
                    {"problems", std::move(problems)},
                    {"notes", std::move(notes)},
                    {"ok", l.problems.empty()}};
    if (!l.executionLevel.empty())
        doc.insert("execution_level", l.executionLevel);
    if (!l.languages.empty()) {
        toml::array languages;
        for (const auto &lang : l.languages)
            languages.push_back(toml::table{{"tag", lang.tag}, {"id", int64_t(lang.id)}, {"caption", lang.caption},
                                            {"prompt", lang.prompt}});
        doc.insert("languages", std::move(languages));
    }
    if (l.run) {
        toml::table run{{"program", l.run->program.name},
                        {"from", l.run->program.file.empty() ? "system folder" : "payload"}};
        if (!l.run->program.file.empty())
            run.insert("file", l.run->program.file);
        if (!l.run->program.host.empty())
            run.insert("through", l.run->program.host);
        for (const RunnerSettingRow &row : kRunnerSettings)
            if (row.required || !(l.run->settings.*row.value).empty())
                run.insert(row.key, l.run->settings.*row.value);
        doc.insert("run", std::move(run));
    }
    toml::table signatures{{"stub", l.stubSigned}};
    if (l.runnerSigned)
        signatures.insert("runner", *l.runnerSigned);
    doc.insert("signed", std::move(signatures));
    doc.insert("package_marker", l.marked);
    if (l.payload) {
        const PayloadSummary &s = l.payload->summary;
        toml::array folders, files;
        for (const PayloadItem &i : l.payload->items) {
            if (i.folder)
                folders.push_back(i.path);
            else if (i.copyOf.empty())
                files.push_back(toml::table{{"path", i.path}, {"size", int64_t(i.size)}, {"mtime", int64_t(i.mtime)}});
            else
                files.push_back(toml::table{
                    {"path", i.path}, {"size", int64_t(i.size)}, {"mtime", int64_t(i.mtime)}, {"copy_of", i.copyOf}});
        }
        toml::table payload{{"entry", l.payload->name},
                            {"packed", int64_t(l.payload->bytes.size())},
                            {"expanded", int64_t(s.expanded)},
                            {"archive_bytes", int64_t(s.archiveBytes)},
                            {"file_count", int64_t(s.files)},
                            {"folder_count", int64_t(s.folders)},
                            {"copy_count", int64_t(s.copies)},
                            {"blocks", int64_t(s.blocks)},
                            {"dictionary", int64_t(s.dictionary)}};
        if (!l.payload->items.empty())
            payload.insert("folders", std::move(folders)), payload.insert("files", std::move(files));
        doc.insert("payload", std::move(payload));
    }
    std::ostringstream out;
    out << toml::json_formatter{doc} << "\n";
    return Escaped(out.str());
}

}  // namespace selfextr
