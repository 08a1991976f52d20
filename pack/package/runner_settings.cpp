// runner_settings.cpp: the command parsed as the runner parses it, and the
// settings written and read back as strings of the package.
#include "package/runner_settings.h"

#include "base/text.h"
#include "package/names.h"
#include "package/elevation.h"
#include "package/payload.h"
#include "package/stringtable.h"

#include <cstdio>
#include <set>

namespace selfextr {

namespace {

std::string Units(size_t n) { return Text_Thousands(n) + " UTF-16 units"; }

std::string Hex(char16_t c)
{
    char text[16];
    snprintf(text, sizeof text, "U+%04X", unsigned(c));
    return text;
}

bool EndsWith(const std::u16string &name, const char16_t *tail)
{
    std::u16string t = tail;
    if (t.size() > name.size())
        return false;
    for (size_t i = 0; i < t.size(); i++) {
        char16_t c = name[name.size() - t.size() + i];
        if (c >= u'A' && c <= u'Z')
            c = char16_t(c - u'A' + u'a');
        if (c != t[i])
            return false;
    }
    return true;
}

// A path as Windows resolves it below a folder: '/' as '\', empty and "."
// names dropped, then upper-cased as Windows compares names.
std::u16string Key(const std::u16string &path)
{
    std::u16string out, part;
    auto flush = [&] {
        if (!part.empty() && part != u".") {
            if (!out.empty())
                out += u'\\';
            out += Name_Fold(Text_Utf8(part));
        }
        part.clear();
    };
    for (char16_t c : path) {
        if (c == u'\\' || c == u'/')
            flush();
        else
            part += c;
    }
    flush();
    return out;
}

}  // namespace

bool RunnerSettings_Program(const std::string &command, const std::vector<std::string> &payloadFiles,
                            RunnerProgram &program, std::string &error)
{
    const std::u16string line = Text_Utf16(command);
    if (line.size() > kRunnerMaxCommand)
        return error = "the command is " + Units(line.size()) + " long; the runner starts a command of at most " +
                       Units(kRunnerMaxCommand), false;
    for (char16_t c : line)
        if (c < 0x20 && c != u'\t')
            return error = "the command holds the control character " + Hex(c) + ", which a command line cannot carry", false;
    // The first word: quoted, or up to a blank or tab.
    size_t at = 0;
    while (at < line.size() && (line[at] == u' ' || line[at] == u'\t'))
        at++;
    const bool quoted = at < line.size() && line[at] == u'"';
    at += quoted;
    std::u16string name;
    while (at < line.size() && (quoted ? line[at] != u'"' : line[at] != u' ' && line[at] != u'\t'))
        name += line[at] == u'/' ? u'\\' : line[at], at++;
    program = RunnerProgram{};
    program.name = Text_Utf8(name);
    if (name.empty())
        return error = "the command names no program", false;
    if (name.size() > kRunnerMaxProgram)
        return error = "the command's program is " + Units(name.size()) + " long; the runner reads a program's name of at most " +
                       Units(kRunnerMaxProgram), false;
    bool bare = name.find(u'\\') == std::u16string::npos, climbs = false;
    for (size_t i = 0; i < name.size(); i++)
        climbs = climbs || (name[i] == u'.' && i + 1 < name.size() && name[i + 1] == u'.' && (i == 0 || name[i - 1] == u'\\') &&
                            (i + 2 == name.size() || name[i + 2] == u'\\'));
    if (climbs || name[0] == u'\\' || (name.size() > 1 && name[1] == u':'))
        return error = "the command's program \"" + program.name +
                       "\" is not inside the payload: the runner starts a program of the payload, or a bare name from the "
                       "Windows system folder, never one that climbs out of its folder or an absolute path", false;
    if (EndsWith(name, u".msi"))
        program.host = "msiexec";
    else if (EndsWith(name, u".bat") || EndsWith(name, u".cmd"))
        program.host = "cmd";

    std::set<std::u16string> files;
    for (const std::string &f : payloadFiles)
        files.insert(Key(Text_Utf16(f)));
    // The runner tries the name, then the name with .exe.
    for (const std::u16string &candidate : {name, name + u".exe"})
        if (files.count(Key(candidate))) {
            for (const std::string &f : payloadFiles)
                if (Key(Text_Utf16(f)) == Key(candidate))
                    program.file = f;
            return true;
        }
    if (!bare || !program.host.empty())
        return error = "the payload holds no \"" + program.name + "\"" + (program.host.empty() && !EndsWith(name, u".exe") ? " (nor \"" + program.name + ".exe\")" : "") +
                       ", the command's program: " +
                       (bare ? "a .msi, .bat or .cmd is started only from the payload" : "a program given with a folder is looked for only in the payload"),
               false;
    return true;
}

bool RunnerSettings_Caption(const std::string &caption, std::string &error)
{
    const std::u16string text = Text_Utf16(caption);
    if (text.size() > kRunnerMaxCaption)
        return error = "caption \"" + caption + "\" is " + Units(text.size()) + " long; the runner's title bars show at most " +
                       Units(kRunnerMaxCaption), false;
    for (char16_t c : text)
        if (c < 0x20 || c == 0x7F)
            return error = "caption \"" + caption + "\" holds the control character " + Hex(c) +
                           ", which the runner's title bars cannot show (one line of text)", false;
    return true;
}

void RunnerSettings_Put(const RunnerSettingValues &values, std::map<uint16_t, std::u16string> &strings)
{
    for (const RunnerSettingRow &row : kRunnerSettings)
        if (row.required || !(values.*row.value).empty())
            strings[row.id] = Text_Utf16(values.*row.value);
}

RunnerSettingValues RunnerSettings_Get(const ResTree &tree, std::vector<std::string> &problems)
{
    RunnerSettingValues values;
    for (const RunnerSettingRow &row : kRunnerSettings) {
        // Whole, so that a value the runner would refuse is seen as it is.
        auto value = StringTable_Get(tree, row.id, 0x10000);
        const std::string what = "string " + std::to_string(row.id) + " (the runner's " + row.key + ")";
        if (!value && row.required)
            problems.push_back(what + " is missing: the runner refuses the package");
        const size_t units = Text_Utf16(value.value_or("")).size();
        if (units > row.maxUnits)
            problems.push_back(what + " is " + Units(units) + " long; the runner takes at most " + Units(row.maxUnits));
        values.*row.value = value.value_or("");
    }
    return values;
}

bool RunnerSettings_Derive(std::span<const uint8_t> payload, const RunnerProgram &program, RunnerSettingValues &values,
                           std::vector<std::string> &notes, std::string &error)
{
    return Elevation_Derive(payload, program, values.elevation, notes, error);
}

void RunnerSettings_Check(std::span<const uint8_t> payload, const RunnerProgram *program, const RunnerSettingValues &values,
                          std::vector<std::string> &problems)
{
    Elevation_Check(payload, program, values.elevation, problems);
}

std::optional<std::string> RunnerSettings_Command(const ResTree &tree)
{
    // Whole, so that a command the runner would refuse is seen as it is.
    return StringTable_Get(tree, kStringCommand, 0x10000);
}

std::string RunnerSettings_Where(const RunnerProgram &program)
{
    std::string where = program.file.empty() ? "\"" + program.name + "\" from the Windows system folder at run time (not in the payload)"
                                             : "\"" + program.file + "\" of the payload";
    if (!program.host.empty())
        where += ", through " + program.host;
    return where;
}

}  // namespace selfextr
