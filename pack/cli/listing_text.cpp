// listing_text.cpp: a listing as list and verify print it.
#include "cli/listing_text.h"

#include <cstdio>
#include <iomanip>
#include <ostream>

namespace selfextr {

// Text from a package, as a terminal may show it: control characters (C0,
// DEL and C1, which a terminal may act on) and bidirectional marks (which
// show a name in another order) escaped as \xNN and \uNNNN.
std::string Shown(const std::string &text)
{
    // An escape is at most six bytes for at least one.
    std::string out(text.size() * 6 + 1, '\0');
    out.resize(Path_AppendShown(out.data(), 0, uint32_t(out.size()), text.data(), uint32_t(text.size())));
    return out;
}

// A name as list shows it: quoted when it is empty or holds a blank, a quote,
// a backslash or anything Shown escapes, so that each line splits into
// number, name and size; inside the quotes " and \ are escaped too.
std::string Quoted(const std::string &name)
{
    bool plain = !name.empty() && Shown(name) == name;
    for (unsigned char c : name)
        plain = plain && c != ' ' && c != '"' && c != '\\';
    if (plain)
        return name;
    std::string escaped;
    for (char c : name) {
        if (c == '"' || c == '\\')
            escaped += '\\';
        escaped += c;
    }
    // Appended piece by piece: GCC 12 at -O3 sees a restrict overlap in
    // "\"" + temporary, where there is none.
    std::string quoted = "\"";
    quoted += Shown(escaped);
    quoted += '"';
    return quoted;
}

namespace {

std::string StampText(uint16_t date, uint16_t time)
{
    StampParts p = Date_StampParts(date, time);
    char text[64];
    snprintf(text, sizeof text, "%04u-%02u-%02u %u:%02u", p.year, p.month, p.day, p.hour, p.minute);
    return text;
}

}  // namespace

void ListingText_Write(const Listing &l, const std::string &file, bool verifyOnly, std::ostream &out, std::ostream &err)
{
    // Signed: a certificate table is there (osslsigncode verify checks it).
    const std::string signatures = std::string("stub ") + (l.stubSigned ? "signed" : "not signed") +
                                   (l.runnerSigned ? std::string(", runner ") + (*l.runnerSigned ? "signed" : "not signed") : "");
    if (!verifyOnly) {
        out << "caption: " << Shown(l.caption) << "\n"
            << "prompt:  " << Shown(l.prompt) << "\n"
            << "stamp:   " << StampText(l.dateWord, l.timeWord) << " local time (strings \"" << Shown(l.dateText)
            << "\" and \"" << Shown(l.timeText) << "\")\n"
            << "total:   " << l.total << " bytes\n";
        for (const auto &lang : l.languages)
            out << "language " << lang.tag << " (0x" << std::hex << std::uppercase << std::setw(4) << std::setfill('0')
                << lang.id << std::dec << std::setfill(' ') << "): caption: " << Shown(lang.caption)
                << "\n    prompt: " << Shown(lang.prompt) << "\n";
        if (!l.executionLevel.empty())
            out << "execution level: " << Shown(l.executionLevel) << " (application manifest)\n";
        if (l.run) {
            out << "run:     " << Shown(l.run->settings.command) << "\n"
                << "    program: " << Shown(RunnerSettings_Where(l.run->program)) << "\n";
            for (const RunnerSettingRow &row : kRunnerSettings)
                if (row.id != kStringCommand && !(l.run->settings.*row.value).empty())
                    out << "    " << row.key << ": " << Shown(l.run->settings.*row.value) << "\n";
        }
        out << "signatures: " << signatures << "\n";
        out << "marker:  " << (l.marked ? "\"" + std::string(kPackageMarker) + "\" (RCDATA " + std::to_string(kPackageMarkerId) + ")" : "none")
            << "\n";
        out
            << "entries: " << l.entries.size() << "\n";
        for (auto &e : l.entries)
            out << "  " << e.number << "  " << Quoted(e.name) << "  " << e.size << "\n";
        if (l.payload) {
            const PayloadSummary &s = l.payload->summary;
            out << "payload: " << Quoted(l.payload->name) << ", " << s.files << " files in " << s.folders << " folders, "
                << Text_Thousands(s.expanded) << " bytes expanded, " << Text_Thousands(l.payload->bytes.size())
                << " packed, " << s.blocks << (s.blocks == 1 ? " block" : " blocks") << ", dictionary "
                << Text_Thousands(s.dictionary) << " bytes\n";
            for (const PayloadItem &i : l.payload->items)
                out << "  " << (i.folder ? Quoted(i.path + "/") : Quoted(i.path) + "  " + std::to_string(i.size))
                    << (i.copyOf.empty() ? "" : "  copy of " + Quoted(i.copyOf)) << "\n";
        }
    }
    for (auto &p : l.problems)
        (verifyOnly ? err : out) << (verifyOnly ? "selfextr: " + file + ": " : "problem: ") << Shown(p) << "\n";
    for (auto &n : l.notes)
        out << (verifyOnly ? file + ": note: " : "note: ") << Shown(n) << "\n";
    if (verifyOnly)
        out << file << ": " << signatures << "\n";
    if (verifyOnly && l.problems.empty())
        out << file << ": " << l.entries.size() << " entries, " << l.total << " bytes"
            << (l.payload ? ", a payload of " + std::to_string(l.payload->summary.files) + " files decoded and checked" : "")
            << ", no problems\n";
}

}  // namespace selfextr
