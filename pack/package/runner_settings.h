// runner_settings.h: the runner's settings, owned here: pack writes them into
// the package's strings, list shows them, verify checks them against the
// runner's own limits (runner/settings.h, which the runner compiles too).
#pragma once
#include "image/pe.h"
#include "runner/settings.h"

#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace selfextr {

constexpr uint16_t kStringCommand = RUNNER_SETTING_COMMAND;
// The longest command, program name and caption the runner takes whole, in UTF-16 units.
constexpr size_t kRunnerMaxCommand = RUNNER_COMMAND_UNITS - 1, kRunnerMaxProgram = RUNNER_PROGRAM_UNITS - 1,
                 kRunnerMaxCaption = RUNNER_CAPTION_UNITS - 1;

// The program a command starts, found by the runner's rules (runner/launch.cpp):
// its first word, in the private folder, else for a bare name in the Windows
// system folder; a .msi through msiexec, a .bat or .cmd through cmd.
struct RunnerProgram {
    std::string name;     // the first word, '\' between names
    std::string file;     // the payload's file it starts, '/' between names; empty when from the system folder
    std::string host;     // "msiexec", "cmd" or empty
};

// Checks a command against the runner's limits and the payload's files ('/'
// between names, matched as Windows matches them: any case, '\' or '/'):
// false with the reason, or the program it starts.
bool RunnerSettings_Program(const std::string &command, const std::vector<std::string> &payloadFiles,
                            RunnerProgram &program, std::string &error);
// A caption the runner can show in its title bars (one line, kRunnerMaxCaption
// units): false with the reason.
bool RunnerSettings_Caption(const std::string &caption, std::string &error);
// The settings as strings of the package.
// elevation: the command's program's (Elevation_ForProgram), written only when not empty.
void RunnerSettings_Put(const std::string &command, const std::string &payloadName, const std::string &elevation,
                        std::map<uint16_t, std::u16string> &strings);
// The command as stored, whole; nullopt when the package has none.
std::optional<std::string> RunnerSettings_Command(const ResTree &tree);
// Where the program comes from, as list says it.
std::string RunnerSettings_Where(const RunnerProgram &program);

}  // namespace selfextr
