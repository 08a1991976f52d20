// main.cpp: the selfextr command line.
#include "cli/commands.h"
#include "embedded_runner.h"
#include "embedded_stub.h"
#include "cli/manifest.h"
#include "cli/options.h"
#include "cli/progress_line.h"

#include <CLI/CLI.hpp>
#include <iostream>
#include <sstream>
#include <unistd.h>

using namespace selfextr;

// Exit codes: 0 done; 1 an input refused, a check failed or a write failed;
// 2 the command line itself is wrong.
enum { kExitDone = 0, kExitFailed = 1, kExitUsage = 2 };

static int Run(int argc, char **argv)
{
    CLI::App app{"selfextr: make, list, verify and extract self-extracting setup stubs"};
    app.require_subcommand(1);
    app.set_version_flag("--version",
                         std::string("selfextr ") + SELFEXTR_VERSION + "\nstub: " + std::to_string(kEmbeddedStubSize) +
                             " bytes, SHA-256 " + kEmbeddedStubSha256 + "\nrunner: " + std::to_string(kEmbeddedRunnerSize) +
                             " bytes, SHA-256 " + kEmbeddedRunnerSha256,
                         "print the tool's version and identify the stub it carries, then end");

    PackOptions pack;
    PackOptionValues given;
    std::string manifest;
    auto *p = app.add_subcommand("pack", "attach a package to the stub and write a finished stub");
    pack.embeddedStub = std::span<const uint8_t>(kEmbeddedStub, kEmbeddedStubSize);
    pack.embeddedRunner = std::span<const uint8_t>(kEmbeddedRunner, kEmbeddedRunnerSize);
    p->add_option("--stub", pack.stub, "a bare (or finished) stub to use instead of the one selfextr carries");
    p->add_option("-o,--output", pack.output, "the finished stub to write")->required();
    p->add_option("-m,--manifest", manifest, "a TOML manifest of the package");
    p->add_option("--caption", given.caption,
                  "title of the question and the progress window (" + std::to_string(kCaptionBytes - 1) + " bytes)");
    p->add_option("--prompt", given.prompt, "the question answered with Yes or No (" + std::to_string(kTextBytes - 1) + " bytes)");
    p->add_option("--date", given.date, "release date, ISO (2026-12-08); default: SOURCE_DATE_EPOCH, else the newest input's local date");
    p->add_option("--time", given.time, "release time, H:MM from 0:00 to 9:59; default 0:00");
    // Each --file and --dir is taken as it comes, so that the package keeps their order.
    p->add_option_function<std::string>(
         "--file", [&](const std::string &v) { given.inputs.push_back({false, v}); },
         "SOURCE[=NAME], in package order; NAME defaults to the file's name")
        ->trigger_on_parse()
        ->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);
    p->add_option_function<std::string>(
         "--dir", [&](const std::string &v) { given.inputs.push_back({true, v}); },
         "a folder: each regular file in it, in the byte order of the names; no subfolders, links or special files")
        ->trigger_on_parse()
        ->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);
    p->add_option("--payload", given.payloadDir,
                  "a folder whose whole tree goes in as one compressed entry (solid .tar.xz), for the package's SETUP.EXE to expand");
    std::vector<std::string> translations;
    p->add_option("--translation", translations,
                  "TAG=FILE: the caption and prompt (TOML keys caption and prompt in FILE) for users of language TAG "
                  "(BCP-47: de, pt-BR); repeatable");
    p->add_option("--run", given.run,
                  "with --payload: the command selfextr's runner (the package's SETUP.EXE) starts in the expanded folder, "
                  "waits for with all it starts, then cleans up; its program is looked up only in the payload and the system folder");
    p->add_option("--runner", given.runner,
                  "with --payload: carry FILE as the package's SETUP.EXE byte for byte instead of the runner selfextr carries "
                  "(such as that runner signed; see selfextr runner); it must be a runner of this selfextr");
    p->add_option("--payload-block-size", given.payloadBlockBytes,
                  "the size of the payload's independent blocks (such as 32MiB), compressed and decoded on several cores; "
                  "larger blocks make a smaller file; default " + std::to_string(kPayloadDefaultBlockMiB) + "MiB")
        ->transform(CLI::AsSizeValue(false))
        ->check(CLI::Range(uint64_t(kPayloadMinBlockMiB) << 20, uint64_t(kPayloadMaxBlockMiB) << 20));
    p->add_option("--threads", given.threads,
                  "compress the payload with at most N threads; default: one per core. The package is the same "
                  "whatever the number")
        ->check(CLI::Range(kPayloadMinThreads, kPayloadMaxThreads));
    p->add_option("--memory-limit", given.memoryLimit,
                  "the most memory compressing the payload may take (such as 512MiB, 2GiB, or bytes); fewer threads "
                  "run where more would need more; default " + std::to_string(kPayloadDefaultMemoryBytes >> 20) + "MiB")
        ->transform(CLI::AsSizeValue(false))
        ->check(CLI::Range(kPayloadMinMemoryBytes, kPayloadMaxMemoryBytes));
    bool quiet = false;
    p->add_flag("-q,--quiet", quiet, "print nothing but warnings and errors: no progress line, no summary");
    p->add_option("--product-name", given.version.product, "version record: ProductName");
    p->add_option("--product-version", given.version.version,
                  "version record: FileVersion and ProductVersion, one to four numbers (1.2.3.4)");
    p->add_option("--company-name", given.version.company, "version record: CompanyName");
    p->add_option("--file-description", given.version.description, "version record: FileDescription");
    p->add_option("--legal-copyright", given.version.copyright, "version record: LegalCopyright");
    p->add_flag("--allow-non-ascii", given.allowNonAscii, "allow file names outside ASCII");
    p->add_option("--execution-level", given.executionLevel,
                  "write an application manifest requesting this level: asInvoker, highestAvailable or requireAdministrator");
    p->add_flag("--strip-signature", pack.stripSignature, "drop the input's Authenticode signature (sign again afterwards)");

    std::string runnerOut;
    auto *r = app.add_subcommand("runner", "write the bare runner, every package's SETUP.EXE, to sign it once");
    r->add_option("-o,--output", runnerOut, "the file to write")->required();

    std::string file, dir;
    auto *l = app.add_subcommand("list", "show what a finished stub will do");
    l->add_option("file", file, "a finished stub")->required();
    bool json = false;
    l->add_flag("--json", json, "one JSON object instead of text");
    auto *v = app.add_subcommand("verify", "fail on anything the stub would not extract as listed");
    v->add_option("file", file, "a finished stub")->required();
    v->add_flag("--json", json, "one JSON object instead of text; the exit code is the same");
    auto *x = app.add_subcommand("extract", "write a finished stub's entries into a folder");
    x->add_option("file", file, "a finished stub")->required();
    x->add_option("dir", dir, "the folder to write into")->required();
    bool force = false, raw = false;
    x->add_flag("--raw", raw, "write every entry as the stub would, the payload's .tar.xz among them, instead of the payload's tree");
    x->add_flag("--force", force, "extract even what verify fails (never an entry whose name is unsafe)");

    try {
        app.parse(argc, argv);
    } catch (const CLI::Success &e) {  // --help and --version
        return app.exit(e);
    } catch (const CLI::ParseError &e) {
        app.exit(e);
        return kExitUsage;
    }

    if (p->parsed()) {
        PackRequest fromManifest;
        std::string error;
        pack.manifest = manifest;
        if (!manifest.empty() && !Manifest_Read(manifest, fromManifest, error)) {
            std::cerr << "selfextr: " << error << "\n";
            return kExitFailed;
        }
        PackRequest request = Options_Merge(fromManifest, given);
        for (const std::string &t : translations) {
            Translation translation;
            if (!Manifest_ReadTranslation(t, translation, error)) {
                std::cerr << "selfextr: " << error << "\n";
                return kExitFailed;
            }
            // A language given on the command line replaces the manifest's.
            std::erase_if(request.translations, [&](const Translation &m) { return m.tag == translation.tag; });
            request.translations.push_back(translation);
        }
        // The progress line only where someone watches it: on a terminal.
        ProgressLine line;
        if (!quiet && isatty(STDERR_FILENO))
            request.payloadOptions.progress = [&](const PayloadProgress &p) { ProgressLine_Show(line, p); };
        pack.sourceDateEpoch = getenv("SOURCE_DATE_EPOCH");
        std::ostringstream none;
        return Command_Pack(pack, request, quiet ? none : std::cout, std::cerr);
    }
    if (r->parsed())
        return Command_Runner(pack.embeddedRunner, runnerOut, std::cout, std::cerr);
    if (l->parsed())
        return Command_List(file, false, std::cout, std::cerr, json);
    if (v->parsed())
        return Command_List(file, true, std::cout, std::cerr, json);
    return Command_Extract(file, dir, force, raw, std::cout, std::cerr);
}

int main(int argc, char **argv)
{
    // Whatever is thrown ends as one message and a failure, never an abort.
    try {
        return Run(argc, argv);
    } catch (const std::exception &e) {
        std::cerr << "selfextr: " << e.what() << "\n";
    } catch (...) {
        std::cerr << "selfextr: unexpected failure\n";
    }
    return kExitFailed;
}
