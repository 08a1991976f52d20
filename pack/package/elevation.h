// elevation.h: the elevation the runner's command asks for, read from its
// program's application manifest in the payload, and the runner's setting
// that records it (runner/settings.h), so that the runner restarts itself
// elevated before it writes anything.
#pragma once
#include "package/runner_settings.h"

#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace selfextr {

constexpr uint16_t kStringElevation = RUNNER_SETTING_elevation;
// The most of a program read for its manifest: its headers and sections lie
// in the first bytes; a larger file is read this far and no further.
constexpr uint64_t kMaxProgramBytes = 256u << 20;

// The execution level an application manifest's text asks for ("" when it
// names none); false with the reason when it names one Windows does not know,
// or more than one.
bool Elevation_OfManifest(std::span<const uint8_t> xml, std::string &level, std::string &error);
// The level a program asks for in its manifest (resource 24, number 1, the one
// the loader reads for a program): "" without one, or for a file that is no
// PE image (Windows starts no such program). image is the first bytes of a
// file of fileSize bytes; false with the reason when what is needed is damaged
// or lies past them.
bool Elevation_OfImage(std::span<const uint8_t> image, uint64_t fileSize, std::string &level, std::string &error);
// The setting for the command's program: "requireAdministrator" or
// "highestAvailable" when its manifest asks for it; "" for asInvoker, for no
// manifest, for a .msi, .bat or .cmd (their hosts elevate themselves) and for
// a program from the system folder. payload is the package's, decoded until
// the program's file has been read.
bool Elevation_ForProgram(std::span<const uint8_t> payload, const RunnerProgram &program, std::string &setting,
                          std::string &error);
// Elevation_ForProgram, with the note pack gives of a setting.
bool Elevation_Derive(std::span<const uint8_t> payload, const RunnerProgram &program, std::string &setting,
                      std::vector<std::string> &notes, std::string &error);
// A setting the runner does not know, or one that disagrees with the program
// (null: not known) in the payload (empty: damaged), as verify's problems.
void Elevation_Check(std::span<const uint8_t> payload, const RunnerProgram *program, const std::string &setting,
                     std::vector<std::string> &problems);

}  // namespace selfextr
