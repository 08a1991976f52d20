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
#include <span>
#include <string>
#include <vector>

namespace selfextr {

constexpr uint16_t kStringPayload = RUNNER_SETTING_payload, kStringCommand = RUNNER_SETTING_command;

// The settings' values, a string each, named as in runner/settings.h.
struct RunnerSettingValues {
#define RUNNER_SETTING_FIELD(key, id, units, required) std::string key;
    RUNNER_SETTINGS(RUNNER_SETTING_FIELD)
#undef RUNNER_SETTING_FIELD
};
// The settings' table, row by row as the runner reads them.
struct RunnerSettingRow {
    const char *key;
    uint16_t id;
    size_t maxUnits;  // the longest value the runner takes whole
    bool required;
    std::string RunnerSettingValues::*value;
};
inline constexpr RunnerSettingRow kRunnerSettings[] = {
#define RUNNER_SETTING_ROW(key, id, units, required) {#key, id, (units) - 1, (required) != 0, &RunnerSettingValues::key},
    RUNNER_SETTINGS(RUNNER_SETTING_ROW)
#undef RUNNER_SETTING_ROW
};
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
// The settings as strings of the package: each required one, and each other
// one that is not empty.
void RunnerSettings_Put(const RunnerSettingValues &values, std::map<uint16_t, std::u16string> &strings);
// Each setting as stored, whole ("" when absent), with a problem for each the
// runner would refuse: a required one missing, one longer than it takes.
RunnerSettingValues RunnerSettings_Get(const ResTree &tree, std::vector<std::string> &problems);
// The command as stored, whole; nullopt when the package has none.
std::optional<std::string> RunnerSettings_Command(const ResTree &tree);
// The settings that follow from the payload and the command's program (its
// elevation), set in values; notes says what pack tells of them.
bool RunnerSettings_Derive(std::span<const uint8_t> payload, const RunnerProgram &program, RunnerSettingValues &values,
                           std::vector<std::string> &notes, std::string &error);
// What verify finds of the settings that follow from the payload: each value
// the runner does not know, and, with the command's program (null when its
// command is refused) and the payload (empty when it is damaged), each one
// that disagrees with what the program asks for.
void RunnerSettings_Check(std::span<const uint8_t> payload, const RunnerProgram *program, const RunnerSettingValues &values,
                          std::vector<std::string> &problems);
// Where the program comes from, as list says it.
std::string RunnerSettings_Where(const RunnerProgram &program);

}  // namespace selfextr
