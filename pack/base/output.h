// output.h: the tool's outputs, written beside their name and renamed into
// place, so that an output appears whole or not at all.
#pragma once
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <span>
#include <string>

namespace selfextr {

// A temporary file beside the output, removed on every way out (a signal
// among them) unless committed.
struct PendingOutput {
    int fd = -1;
    std::filesystem::path path;
    PendingOutput() = default;
    PendingOutput(const PendingOutput &) = delete;
    PendingOutput &operator=(const PendingOutput &) = delete;
    ~PendingOutput();
    // Created executable, as the umask allows, or with the mode of the file it replaces.
    bool Create(const std::filesystem::path &output, std::string &error);
    // Synced, closed and renamed over the output; false leaves nothing.
    bool Commit(const std::filesystem::path &output, std::string &error);
    void Forget();
};

// The one temporary-name rule of every output: a hidden name in the output's
// own folder (so that the rename stays on one file system), never longer than
// a short file name, counted on until one is free. Created exclusively and
// without following a link, so that nothing planted under a guessed name is
// ever written through. The name for attempt n:
std::string Output_TempName(int attempt);
// Creates that file in the folder open at dirFd, or when dirFd is -1 (and
// always on Windows) in folder; temp is its path as given. Returns the
// descriptor, or -1 with errno set.
int Output_CreateTemp(int dirFd, const std::filesystem::path &folder, unsigned mode, std::filesystem::path &temp);
// Writes n bytes to fd, however many calls it takes.
bool Output_WriteFd(int fd, const uint8_t *p, size_t n);
// Writes bytes as the file output, atomically.
bool Output_WriteFile(const std::filesystem::path &output, std::span<const uint8_t> bytes, std::string &error);
// The system's text for errno code.
std::string Output_SystemError(int code);

}  // namespace selfextr
