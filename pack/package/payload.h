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

// The block sizes pack accepts, in MiB, from the command line
// (--payload-block-size) and from a manifest (block_size) alike. The payload
// is cut into independent blocks of the default size unless told otherwise,
// so that pack and the runner use several cores. Each block starts afresh,
// with nothing to refer back to: on trees of many similar DLLs 16 MiB blocks
// made the package 4 % larger than 64 MiB blocks (bench/block_bench.sh
// measures it), so 64 MiB it is; a thread compressing one takes some 377 MiB.
// The runner decodes every block into a buffer of the block's size and
// refuses a larger block than this as damage: the two must agree.
constexpr uint32_t kPayloadMinBlockMiB = 1, kPayloadMaxBlockMiB = 64, kPayloadDefaultBlockMiB = 64;
// The compressing threads (--threads, threads): one per core by default.
constexpr uint32_t kPayloadMinThreads = 1, kPayloadMaxThreads = 256;
// What liblzma may take while compressing (--memory-limit, memory_limit);
// threads are fewer where they would need more. The default keeps pack's
// whole peak under 1 GiB.
constexpr uint64_t kPayloadMinMemoryBytes = uint64_t(16) << 20, kPayloadMaxMemoryBytes = uint64_t(1) << 40,
                   kPayloadDefaultMemoryBytes = uint64_t(768) << 20;

// How far compressing has come: the tar's bytes read of total, the .tar.xz's written.
struct PayloadProgress {
    uint64_t read = 0, total = 0, written = 0;
    bool done = false;  // the last call, whether compressing ended well or not
};

struct PayloadOptions {
    uint32_t blockBytes = 0;   // 0: kPayloadDefaultBlockMiB; the bytes depend on it and on nothing else here
    uint32_t threads = 0;      // 0: one per core
    uint64_t memoryLimit = 0;  // 0: kPayloadDefaultMemoryBytes
    std::function<void(const PayloadProgress &)> progress;  // called often while compressing, if set
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
// How an archive of archiveBytes is compressed: blocks of blockBytes, a
// dictionary, and as many threads as wanted, there are blocks and memory for.
struct PayloadPlan {
    uint32_t blockBytes = 0, dictionary = 0, threads = 0;
    uint64_t memory = 0;  // what liblzma takes with these threads
};
bool Payload_Plan(uint64_t archiveBytes, const PayloadOptions &options, PayloadPlan &plan, std::string &error);
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
