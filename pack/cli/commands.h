// commands.h: what each subcommand of selfextr does, apart from parsing options.
#pragma once
#include "package/package.h"

#include <iosfwd>
#include <span>

namespace selfextr {

struct PackOptions {
    std::filesystem::path stub, output;  // stub empty: embeddedStub
    std::span<const uint8_t> embeddedStub;
    std::span<const uint8_t> embeddedRunner;  // packed as SETUP.EXE with --run, unless the request names a runner
    std::filesystem::path manifest;  // the output must not replace it
    bool stripSignature = false;
    const char *sourceDateEpoch = nullptr;  // SOURCE_DATE_EPOCH, read once where the tool starts
};

// Each returns the process exit code; messages go to out and err.
int Command_Pack(const PackOptions &options, const PackRequest &request, std::ostream &out, std::ostream &err);
// json: one JSON object on out instead of text (ListingJson_Format).
int Command_List(const std::filesystem::path &file, bool verifyOnly, std::ostream &out, std::ostream &err,
                 bool json = false);
// force: extract a package that verify fails (never an entry whose name is unsafe).
// raw: every entry as the stub writes it, the payload's among them; else the
// payload's tree in place of its entry.
int Command_Extract(const std::filesystem::path &file, const std::filesystem::path &dir, bool force, bool raw,
                    std::ostream &out, std::ostream &err);

// Writes the bare runner, the SETUP.EXE of every package, as output (atomically).
int Command_Runner(std::span<const uint8_t> runner, const std::filesystem::path &output, std::ostream &out,
                   std::ostream &err);

}  // namespace selfextr
