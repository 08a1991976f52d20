// assemble.cpp: a pack request completed and checked before anything is written.
#include "package/assemble.h"

#include "base/input.h"
#include "package/runner_image.h"
#include "package/runner_settings.h"

namespace selfextr {

namespace {

// A runner is a small image; a larger file is not one.
constexpr uint64_t kMaxRunnerBytes = 64u << 20;

bool ReadRunner(const std::filesystem::path &path, std::vector<uint8_t> &bytes, std::string &error)
{
    InputFile in;
    if (!Input_Open(path, in, error))
        return false;
    if (in.size > kMaxRunnerBytes)
        return error = "runner " + path.string() + ": not a runner: " + std::to_string(in.size) + " bytes", false;
    bytes.resize(size_t(in.size));
    return Input_Read(in, bytes.data(), bytes.size(), error) && Input_AtEnd(in, error);
}

// The date when none is given, chosen once; the checks; then the image's
// stamp from the date they passed.
bool CheckWithDate(Assembly &out, const char *sourceDateEpoch, std::string &error)
{
    PackRequest &flat = out.request;
    if (flat.date.empty() &&
        !Package_DefaultDate(flat.files, flat.payload.get(), sourceDateEpoch, flat.date, out.dateFrom, error))
        return false;
    return Package_Check(out, error) && Date_Timestamp(flat.date, flat.time, sourceDateEpoch, out.timestamp, error);
}

}  // namespace

bool Package_Assemble(const PackRequest &request, std::span<const uint8_t> carriedRunner, const char *sourceDateEpoch,
                      Assembly &out, std::string &error)
{
    out = Assembly{};
    PackRequest &flat = out.request;
    flat = request;
    // Folders are listed once: what is packed is what is checked against the output.
    if (!Package_ExpandFolders(request.files, flat.files, error))
        return false;
    // A payload needs a program to expand it: the runner, with its command.
    if (!request.payloadDir.empty() && request.run.empty())
        return error = "a payload needs the command to run once it is expanded: add --run \"COMMAND\" "
                       "(such as --run \"app\\install.exe /quiet\"), or [payload] run in the manifest", false;
    if (!request.run.empty() && request.payloadDir.empty())
        return error = "--run starts a command from the payload: add --payload DIR", false;
    if (!request.runnerFile.empty() && request.payloadDir.empty())
        return error = "--runner is the payload's SETUP.EXE: add --payload DIR and --run \"COMMAND\"", false;
    if (request.payloadDir.empty())
        return CheckWithDate(out, sourceDateEpoch, error);

    // What can be checked before the payload is compressed.
    std::vector<std::string> captions = {request.caption};
    for (const Translation &t : request.translations)
        captions.push_back(t.caption);
    for (const std::string &caption : captions)
        if (!RunnerSettings_Caption(caption, error))
            return false;
    RunnerProgram program;
    if (std::string why; !RunnerSettings_Program(request.run, {}, program, why) && program.name.empty())
        return error = why, false;
    std::vector<uint8_t> runner;
    if (!request.runnerFile.empty()) {
        if (!ReadRunner(request.runnerFile, runner, error))
            return false;
    } else if (!carriedRunner.empty()) {
        runner.assign(carriedRunner.begin(), carriedRunner.end());
    } else {
        return error = "this build of selfextr carries no runner: give --runner FILE", false;
    }
    bool isSigned = false;
    if (!Runner_Check(runner, isSigned, error))
        return error = "runner " + (request.runnerFile.empty() ? std::string("carried by selfextr") : request.runnerFile.string()) +
                       ": " + error, false;
    flat.runner = std::make_shared<const std::vector<uint8_t>>(std::move(runner));

    if (!Payload_CanWrite())
        return error = "--payload needs liblzma, which this build of selfextr lacks (Windows builds have none): "
                       "pack payloads with the Linux build", false;
    auto payload = std::make_shared<Payload>();
    if (!Payload_Build(request.payloadDir, sourceDateEpoch, request.payloadOptions, *payload, error))
        return false;
    flat.payload = payload;
    if (!RunnerSettings_Program(request.run, payload->filePaths, program, error))
        return false;
    if (program.file.empty())
        out.notes.push_back("the command's program \"" + program.name +
                            "\" is not in the payload: the runner takes it from the Windows system folder at run time");
    if (!RunnerSettings_Derive(payload->bytes, program, out.settings, out.notes, error))
        return false;
    return CheckWithDate(out, sourceDateEpoch, error);
}

}  // namespace selfextr

namespace selfextr {

bool Package_FinishBareImage(const std::filesystem::path &path, const char *sourceDateEpoch, bool compactHeaders,
                             std::string &error)
{
    uint32_t timestamp = 0;
    // The bare image has no date of its own: the epoch alone, by the rule pack uses.
    if (sourceDateEpoch == nullptr || *sourceDateEpoch == '\0')
        return error = "SOURCE_DATE_EPOCH must give the bare image's timestamp", false;
    if (!Date_Timestamp("", "", sourceDateEpoch, timestamp, error))
        return false;
    auto image = Image_Load(path, error);
    if (!image)
        return false;
    if (compactHeaders) {
        std::vector<uint8_t> bytes;
        if (!Image_CompactHeaders(*image, bytes, error))
            return error = path.string() + ": " + error, false;
        image = Image_Parse(std::move(bytes), error);
        if (!image)
            return error = path.string() + " with its headers moved: " + error, false;
    }
    WriteOptions options;
    options.timestamp = timestamp;
    return Image_WriteFile(*image, image->resources, options, std::filesystem::absolute(path), error);
}

}  // namespace selfextr
