// input.h: the tool's inputs read as the kernel gives them: only regular
// files, and every failed or short read an error with the system's reason.
#pragma once
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>

namespace selfextr {

// An input file open for reading; closed when it goes.
struct InputFile {
    int fd = -1;
    uint64_t size = 0;  // as fstat gave it when the file was opened
    std::string path;
    InputFile() = default;
    InputFile(const InputFile &) = delete;
    InputFile &operator=(const InputFile &) = delete;
    ~InputFile();
};

// Opens path without waiting (a FIFO would block) and keeps it only when it is
// a regular file. error names the path and the reason.
bool Input_Open(const std::filesystem::path &path, InputFile &file, std::string &error);
// Reads exactly n bytes: a read error, or the end of the file before n bytes,
// is an error naming the file (a file that shrinks while it is read).
bool Input_Read(InputFile &file, uint8_t *p, size_t n, std::string &error);
// Whether a read from here finds the end, more bytes, or fails (error set).
enum class InputNext { kEnd, kMore, kFailed };
InputNext Input_Peek(InputFile &file, std::string &error);
// True at the end; false with error when more follows (the file grew while it
// was read) or when reading fails.
bool Input_AtEnd(InputFile &file, std::string &error);

}  // namespace selfextr
