// commands.cpp: pack, runner, list, verify and extract.
#include "cli/commands.h"
#include "base/output.h"
#include "base/tree_output.h"
#include "package/assemble.h"
#include "cli/listing_json.h"
#include "cli/listing_text.h"

#include <cstdio>
#include <ctime>
#include <iomanip>
#include <iostream>
#include <map>

namespace selfextr {

namespace fs = std::filesystem;

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
    if (!Package_Assemble(request, options.embeddedRunner, options.sourceDateEpoch, assembly, error))
        return err << "selfextr: " << error << "\n", 1;
    const PackRequest &flat = assembly.request;
    ResTree tree = image->resources;
    Package_Layout(assembly, tree);
    for (auto &w : assembly.warnings)
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
    const size_t entries = flat.files.size() + (flat.runner ? 1 : 0);
    out << "wrote " << options.output.string() << " (" << entries << (entries == 1 ? " entry" : " entries") << ")\n";
    return 0;
}

int Command_List(const fs::path &file, bool verifyOnly, std::ostream &out, std::ostream &err, bool json)
{
    std::string error;
    auto image = Image_Load(file, error);
    if (!image)
        return err << "selfextr: " << error << "\n", 1;
    Listing l = Package_ListImage(*image, !verifyOnly);
    if (json)
        out << ListingJson_Format(l, file.string());
    else
        ListingText_Write(l, file.string(), verifyOnly, out, err);
    return verifyOnly && !l.problems.empty() ? 1 : 0;
}

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
        if (tree && ((l.payload->asEntry && e.name == l.payload->name) || Name_Fold(e.name) == kSetupName)) {
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
    // As they are, the payload is a file too: an ordinary .tar.xz.
    if (raw && l.payload && !l.payload->asEntry && l.payload->data) {
        if (!entries.File(l.payload->name, when, error) || !entries.Data(l.payload->bytes.data(), l.payload->bytes.size(), error) ||
            !entries.FileEnd(error)) {
            entries.Abandon();
            err << "selfextr: " << Shown(error) << "\n";
            failures++;
        }
    }
    if (tree) {
        PayloadSummary summary;
        if (!Package_ExtractPayload(l.payload->bytes, dir, summary, error)) {
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
