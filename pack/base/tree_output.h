// tree_output.h: a folder tree written below a folder, each file appearing
// whole or not at all, nothing made or written through a link.
#pragma once
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

namespace selfextr {

// Paths below the folder are UTF-8 with '/' between names, already checked
// to stay inside it. Each failure is one message naming the file by the
// folder as given and the path below it.
struct TreeOutput {
#ifndef _WIN32
    int root = -1, parent = -1, fd = -1;
    std::string leaf;
#else
    std::filesystem::path target;
    int fd = -1;
#endif
    std::filesystem::path shown;  // the folder as the user gave it
    std::filesystem::path temp;   // the file being written, under its temporary name (wide on Windows)
    std::string current;          // the path of that file below the folder
    int64_t mtime = 0;
    std::vector<std::pair<std::string, bool>> made;  // each path made, and whether a folder

    TreeOutput() = default;
    TreeOutput(const TreeOutput &) = delete;
    TreeOutput &operator=(const TreeOutput &) = delete;
    ~TreeOutput();
    // The folder, made if it is missing and refused if it is a link.
    bool Open(const std::filesystem::path &dir, std::string &error);
    // A folder and those above it, made where none is.
    bool Folder(const std::string &path, std::string &error);
    // A file begun under a fresh temporary name beside path, given mtime
    // (seconds since 1970) when it ends.
    bool File(const std::string &path, int64_t mtime, std::string &error);
    bool Data(const uint8_t *p, size_t n, std::string &error);
    // Synced, stamped and renamed over path: a link of that name is replaced
    // itself, what it pointed at is untouched.
    bool FileEnd(std::string &error);
    // A file written whole with the bytes of a file this tree already holds
    // (from, read without following a link), given mtime.
    bool Copy(const std::string &from, const std::string &path, int64_t mtime, std::string &error);
    // Drops the file being written, with its temporary name.
    void Abandon();
    // Removes everything made, last first, never through a link.
    void Remove();
};

}  // namespace selfextr
