// commands.cpp: pack, runner, list, verify and extract.
#include "cli/commands.h"
#include "base/output.h"
#include "base/tree_output.h"
#include "package/assemble.h"
#include "cli/listing_json.h"

#include <cstdio>
#include <ctime>
#include <iomanip>
#include <iostream>
#include <map>

namespace selfextr {

namespace fs = std::filesystem;

namespace {


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

}  // namespace

namespace {

// Whether a and b are one file, by device and inode, not by name.
bool SameFile(const fs::path &a, const fs::path &b)
{
    std::error_code ec;
    return fs::equivalent(a, b, ec) && !ec;
}

}  // namespace

int Command_Runner(std::span<const uint8_t> runner, const fs::path &output, std::ostream &out, std::ostream &err)
{
    std::string error;
    if (runner.empty())
        return err << "selfextr: this build of selfextr carries no runner\n", 1;
    if (!Output_WriteFile(fs::absolute(output), runner, error))
        return err << "selfextr: " << error << "\n", 1;
    out << "wrote " << output.string() << " (the runner, " << runner.size() << " bytes)\n";
    return 0;
}

int Command_Pack(const PackOptions &options, const PackRequest &request, std::ostream &out, std::ostream &err)
{
    std::string error;
    if (options.output.empty())
        return err << "selfextr: no output: give -o FILE\n", 1;
    std::optional<Image> image;
    if (!options.stub.empty())
        image = Image_Load(options.stub, error);
    else if (!options.embeddedStub.empty())
        image = Image_Parse(std::vector<uint8_t>(options.embeddedStub.begin(), options.embeddedStub.end()), error);
    else
        error = "no stub: give --stub FILE";
    if (!image)
        return err << "selfextr: " << error << "\n", 1;
    auto dialogs = image->resources.find(ResKey::Id(kRtDialog));
    if (dialogs == image->resources.end() || !dialogs->second.count(ResKey::Id(kDialogProgress)))
        return err << "selfextr: " << options.stub.string() << ": no dialog " << kDialogProgress
                   << " (the progress window): not a selfextr stub\n", 1;

    // Everything checked and resolved before anything is written.
    Assembly assembly;
    if (!Package_Assemble(request, options.embeddedRunner, getenv("SOURCE_DATE_EPOCH"), assembly, error))
        return err << "selfextr: " << error << "\n", 1;
    const PackRequest &flat = assembly.request;
    ResTree tree = image->resources;
    std::vector<std::string> warnings;
    if (!Package_Build(flat, getenv("SOURCE_DATE_EPOCH"), tree, warnings, error))
        return err << "selfextr: " << error << "\n", 1;
    for (auto &w : warnings)
        err << "selfextr: warning: " << w << "\n";
    WriteOptions wo;
    wo.stripSignature = options.stripSignature;
    wo.timestamp = assembly.timestamp;

    // Written beside the output and renamed into place: never a partial file,
    // and the input is only read, even when it is the output too (repacking a
    // finished stub in place). No other input may be the output.
    fs::path output = fs::absolute(options.output);
    for (const PackFile &f : flat.files)
        if (SameFile(f.source, output))
            return err << "selfextr: the output " << options.output.string() << " is the input file "
                       << f.source.string() << "\n", 1;
    if (!options.manifest.empty() && SameFile(options.manifest, output))
        return err << "selfextr: the output " << options.output.string() << " is the manifest\n", 1;
    if (!flat.runnerFile.empty() && SameFile(flat.runnerFile, output))
        return err << "selfextr: the output " << options.output.string() << " is the runner\n", 1;
    if (!Image_WriteFile(*image, tree, wo, output, error))
        return err << "selfextr: " << error << "\n", 1;
    if (const Payload *p = flat.payload.get()) {
        char ratio[32];
        snprintf(ratio, sizeof ratio, "%.1f %%", p->expanded ? 100.0 * double(p->bytes.size()) / double(p->expanded) : 0.0);
        out << "payload: " << p->files << " files in " << p->folders << " folders, " << Text_Thousands(p->expanded)
            << " bytes, packed into " << Text_Thousands(p->bytes.size()) << " bytes (" << ratio << ") as " << p->name
            << (p->copies ? ", " + std::to_string(p->copies) + " files stored once as copies of earlier ones, saving " + Text_Thousands(p->copiedBytes) + " bytes" : "") << "\n";
    }
    for (const std::string &note : assembly.notes)
        out << "note: " << note << "\n";
    out << "date: " << flat.date << " " << (flat.time.empty() ? "0:00" : flat.time) << ", " << assembly.dateFrom << "\n";
    const size_t entries = flat.files.size() + (flat.runner ? 1 : 0) + (flat.payload ? 1 : 0);
    out << "wrote " << options.output.string() << " (" << entries << (entries == 1 ? " entry" : " entries") << ")\n";
    return 0;
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

int Command_List(const fs::path &file, bool verifyOnly, std::ostream &out, std::ostream &err, bool json)
{
    std::string error;
    auto image = Image_Load(file, error);
    if (!image)
        return err << "selfextr: " << error << "\n", 1;
    Listing l = Package_ListImage(*image, !verifyOnly);
    // Signed: a certificate table is there (osslsigncode verify checks it).
    const std::string signatures = std::string("stub ") + (l.stubSigned ? "signed" : "not signed") +
                                   (l.runnerSigned ? std::string(", runner ") + (*l.runnerSigned ? "signed" : "not signed") : "");
    if (json) {
        out << ListingJson_Format(l, file.string());
        return verifyOnly && !l.problems.empty() ? 1 : 0;
    }
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
        if (l.run)
            out << "run:     " << Shown(l.run->command) << "\n"
                << "    program: " << Shown(RunnerSettings_Where(l.run->program)) << "\n"
                << (l.run->elevation.empty() ? std::string()
                                             : "    elevation: " + Shown(l.run->elevation) +
                                                   " (the runner restarts itself elevated before it expands the payload)\n");
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
                << Text_Thousands(s.expanded) << " bytes expanded, " << Text_Thousands(l.payload->data ? l.payload->data->Size() : 0)
                << " packed, " << s.blocks << (s.blocks == 1 ? " block" : " blocks") << ", dictionary "
                << Text_Thousands(s.dictionary) << " bytes\n";
            for (const PayloadItem &i : l.payload->items)
                out << "  " << (i.folder ? Quoted(i.path + "/") : Quoted(i.path) + "  " + std::to_string(i.size))
                    << (i.copyOf.empty() ? "" : "  copy of " + Quoted(i.copyOf)) << "\n";
        }
    }
    for (auto &p : l.problems)
        (verifyOnly ? err : out) << (verifyOnly ? "selfextr: " + file.string() + ": " : "problem: ") << Shown(p) << "\n";
    for (auto &n : l.notes)
        out << (verifyOnly ? file.string() + ": note: " : "note: ") << Shown(n) << "\n";
    if (verifyOnly)
        out << file.string() << ": " << signatures << "\n";
    if (verifyOnly && l.problems.empty())
        out << file.string() << ": " << l.entries.size() << " entries, " << l.total << " bytes"
            << (l.payload ? ", a payload of " + std::to_string(l.payload->summary.files) + " files decoded and checked" : "")
            << ", no problems\n";
    return verifyOnly && !l.problems.empty() ? 1 : 0;
}

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

int Command_Extract(const fs::path &file, const fs::path &dir, bool force, bool raw, std::ostream &out, std::ostream &err)
{
    std::string error;
    auto image = Image_Load(file, error);
    if (!image)
        return err << "selfextr: " << error << "\n", 1;
    Listing l = Package_List(image->resources);
    // What verify refuses, extract refuses; --force writes the entries that
    // can be written all the same, never one whose name is unsafe.
    if (!l.problems.empty() && !force) {
        for (auto &p : l.problems)
            err << "selfextr: " << file.string() << ": " << Shown(p) << "\n";
        err << "selfextr: " << file.string() << ": not extracted (verify fails; --force extracts what can be written)\n";
        return 1;
    }
    // The stamp is local time, as the stub applies it.
    StampParts p = Date_StampParts(l.dateWord, l.timeWord);
    std::tm tm = {};
    tm.tm_year = int(p.year) - 1900;
    tm.tm_mon = int(p.month) - 1;
    tm.tm_mday = int(p.day);
    tm.tm_hour = int(p.hour);
    tm.tm_min = int(p.minute);
    tm.tm_isdst = -1;
    const std::time_t when = std::mktime(&tm);
    TreeOutput entries;
    if (!entries.Open(dir, error))
        return err << "selfextr: " << Shown(error) << "\n", 1;
    int failures = 0;
    // The payload's tree instead of its entry and its runner (the SETUP.EXE that
    // expands it), unless the entries are wanted as the stub writes them.
    const bool tree = l.payload && l.payload->data && !raw;
    size_t skipped = 0;
    for (auto &e : l.entries) {
        if (tree && (e.name == l.payload->name || Name_Fold(e.name) == u"SETUP.EXE")) {
            skipped++;
            continue;
        }
        if (!e.problem.empty()) {
            err << "selfextr: entry " << e.number << " is not extracted: it " << Shown(e.problem) << "\n";
            failures++;
            continue;
        }
        auto bytes = ResData_Bytes(*e.data).first(e.size);
        if (!entries.File(e.name, when, error) || !entries.Data(bytes.data(), bytes.size(), error) || !entries.FileEnd(error)) {
            entries.Abandon();
            err << "selfextr: " << Shown(error) << "\n";
            failures++;
        }
    }
    if (tree) {
        TreeOutput writer;
        if (!writer.Open(dir, error))
            return err << "selfextr: " << Shown(error) << "\n", 1;
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
        PayloadSummary summary;
        auto bytes = ResData_Bytes(*l.payload->data).first(std::min<uint64_t>(l.payload->data->Size(), [&] {
            for (auto &e : l.entries)
                if (e.name == l.payload->name)
                    return uint64_t(e.size);
            return uint64_t(0);
        }()));
        if (!Payload_Read(bytes, visitor, summary, error)) {
            // The tree appears whole or not at all; the entries written before it stay.
            writer.Remove();
            err << "selfextr: " << file.string() << ": payload " << Shown(l.payload->name) << ": " << Shown(error) << "\n";
            failures++;
        } else {
            out << "extracted the payload's " << summary.files << " files in " << summary.folders << " folders into "
                << dir.string() << "\n";
        }
    }
    const size_t written = l.entries.size() - skipped;
    out << "extracted " << written - std::min(written, size_t(failures)) << " of " << written << " entries into "
        << dir.string() << "\n";
    return failures ? 1 : 0;
}

}  // namespace selfextr
