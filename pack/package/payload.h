// payload.h: a folder tree as one solid .tar.xz entry, written with liblzma
// and read back with selfextr's own decoder, as the runner reads it.
#pragma once
#include "decoder/paths.h"
#include "runner/settings.h"

#include <cstdint>
#include <filesystem>
#include <functional>
#include <span>
#include <string>
#include <vector>

namespace selfextr {

// The string that names the payload entry; the stub never reads it.
constexpr uint16_t kStringPayload = RUNNER_SETTING_PAYLOAD;

// The block sizes pack accepts for a split payload, in MiB, from the command
// line (--payload-block-size) and from a manifest (block_size) alike.
constexpr uint32_t kPayloadMinBlockMiB = 1, kPayloadMaxBlockMiB = 1024;

struct PayloadOptions {
    uint32_t blockBytes = 0;  // 0: one solid block; else independent blocks of this size
};

struct Payload {
    std::vector<uint8_t> bytes;  // the .tar.xz
    std::string name;            // the entry's name, derived from bytes
    uint64_t expanded = 0;       // the files' bytes
    uint32_t files = 0, folders = 0;
    std::vector<std::string> filePaths;  // each file's path, UTF-8, '/' between names
    uint32_t copies = 0;                 // files stored as copies of earlier ones with the same bytes
    uint64_t copiedBytes = 0;            // their bytes, which the archive holds once
    std::filesystem::path newest;  // the most recently changed file or folder, for the default date
    int64_t newestTime = 0;
};

// Whether this build of the tool can write payloads (it needs liblzma).
bool Payload_CanWrite();
// DIR's whole tree: regular files and folders, empty ones kept; anything else,
// a name Windows cannot hold, or two paths equal but for case, is refused
// naming the path. File times are kept, clamped to SOURCE_DATE_EPOCH when set.
// A file with the same bytes as one earlier in the archive is stored as a
// copy of it (a tar hard link), which every reader writes as a file again.
bool Payload_Build(const std::filesystem::path &dir, const char *sourceDateEpoch, const PayloadOptions &options,
                   Payload &payload, std::string &error);

struct PayloadItem {
    std::string path;  // UTF-8, '/' between names
    bool folder = false;
    uint64_t size = 0;     // a copy's: the bytes of the file it copies
    int64_t mtime = 0;
    std::string copyOf;    // a copy: the earlier file it holds the bytes of, as that file is spelled; empty otherwise
};
struct PayloadSummary {
    uint64_t expanded = 0, archiveBytes = 0;  // expanded counts every copy
    uint32_t files = 0, folders = 0, blocks = 0, dictionary = 0;
    uint32_t copies = 0;                      // of the files, those stored as copies
};
// Decodes a payload with selfextr's decoder: every block's check, every tar
// header and every name is verified. item is called for each folder and
// file, data with the file's bytes in order; either returning false stops
// the read (error says why). A copy (item.copyOf set) has no data: its
// bytes are those of the earlier file it names, which came whole before it. Nothing of a payload is trusted until this returns true.
struct PayloadVisitor {
    std::function<bool(const PayloadItem &, std::string &error)> item;
    std::function<bool(const uint8_t *, size_t, std::string &error)> data;
    std::function<bool(std::string &error)> fileEnd;
};
bool Payload_Read(std::span<const uint8_t> bytes, const PayloadVisitor &visitor, PayloadSummary &summary,
                  std::string &error);

}  // namespace selfextr
