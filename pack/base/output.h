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

// Writes n bytes to fd, however many calls it takes.
bool Output_WriteFd(int fd, const uint8_t *p, size_t n);
// Writes bytes as the file output, atomically.
bool Output_WriteFile(const std::filesystem::path &output, std::span<const uint8_t> bytes, std::string &error);
// The system's text for errno code.
std::string Output_SystemError(int code);

}  // namespace selfextr
