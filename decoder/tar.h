// tar.h: the POSIX tar archives that pack writes (ustar headers, pax records
// for long or non-ASCII paths and large sizes), read as a stream of bytes.
//
// An archive is: folders first, parents before children, then files; each
// entry one 512-byte ustar header ("ustar\0" "00", type '5', '0' or '1'),
// optionally preceded by a pax header (type 'x') whose records are path,
// linkpath, size and mtime only; file data padded to 512 bytes; two zero
// blocks; nothing after them. Type '1', a hard link, is how pack stores a
// file whose bytes an earlier file already holds: no data (size 0), its
// target in the link name field or a pax linkpath record. The reader checks
// that target by the path rules; that it names an earlier regular file (not
// a folder, a later entry or another copy) is for the order rules' memory
// (PathMemory_Target), which the caller keeps. Anything else (symbolic links,
// devices, other pax keys, a path that breaks the rules of paths.h) is
// refused with its reason.
#pragma once
#include <stddef.h>
#include <stdint.h>

#include "paths.h"

namespace selfextr {

// A path of at most 32,767 UTF-16 units needs at most 3 UTF-8 bytes a unit.
constexpr uint32_t kTarMaxPathBytes = 32767 * 3;
// A pax header of pack's holds one path, one linkpath, one size and one mtime record.
constexpr uint32_t kTarMaxPaxBytes = 2 * kTarMaxPathBytes + 512;
constexpr uint32_t kTarBlock = 512;

enum TarStatus : int {
    TAR_MORE = 0,  // the input was used up; feed more
    TAR_ENTRY,     // a folder, a file or a copy begins: see TarReader::entry
    TAR_DATA,      // bytes of the current file, pointing into the input
    TAR_FILE_END,  // the current file's bytes are complete
    TAR_END,       // the archive ended where it should; no byte may follow
    TAR_ERROR,     // see TarReader::error
};

struct TarEntry {
    bool folder;
    const char *path;  // UTF-8, '/' between names, no leading or trailing '/'; NUL-terminated
    uint32_t pathBytes;
    uint64_t size;     // 0 for a folder and a copy
    int64_t mtime;     // seconds since 1970, UTC
    // A copy: the earlier file whose bytes it holds, as path is written; null otherwise.
    const char *target;
    uint32_t targetBytes;
};

struct TarReader {
    int phase;
    uint32_t fill;        // bytes of block (or of the pax body) gathered so far
    uint64_t left;        // bytes of the current file or pax body still to come
    uint32_t padding;     // zero bytes after them
    bool havePax, paxPath, paxLink, paxSize, paxMtime;
    uint64_t paxSizeValue;
    int64_t paxMtimeValue;
    uint32_t paxBytes;
    const char *error;
    // Why the entry's path, its target's path or its time was refused;
    // entry.path is the path refused (the target's, when that one is).
    PathProblem pathProblem;
    uint64_t entries;
    TarEntry entry;
    uint8_t block[kTarBlock];
    char path[kTarMaxPathBytes + 1];
    char target[kTarMaxPathBytes + 1];
    char pax[kTarMaxPaxBytes];
};

void Tar_Init(TarReader *t);
// Takes bytes from in (inSize of them) and stops at the first event: *used is
// how many it took; for TAR_DATA, *data and *dataBytes are the file's bytes
// within in. After TAR_END, any further byte is an error; after TAR_ERROR the
// reader stays failed.
TarStatus Tar_Feed(TarReader *t, const uint8_t *in, size_t inSize, size_t *used, const uint8_t **data,
                   size_t *dataBytes);
// Whether the archive ended: TAR_END was returned and nothing followed.
bool Tar_Ended(const TarReader *t);

// The order rules for the entry the reader just gave (TAR_ENTRY), kept by
// the tool and the runner alike: a copy's target must be an earlier file (see
// PathMemory_Target), then the entry itself obeys PathMemory_Add. why is null
// when the entry may be written, and then it is remembered; for a copy,
// other (room bytes, at least kTarOtherBytes) then holds the
// target's path as its file is spelled (NUL-terminated, *otherBytes long)
// and *size that file's size. Refused, other is what Path_Message shows
// beside the entry's path (the target as written, for PATH_TARGET).
constexpr uint32_t kTarOtherBytes = 2 * (kTarMaxPathBytes + 1024);
PathProblem Tar_Remember(PathMemory *m, const TarEntry &entry, char *other, uint32_t room, uint32_t *otherBytes,
                         uint64_t *size);

// The times Windows can give a file, in seconds since 1970: a FILETIME counts
// 100 ns from 1601-01-01, where 0 means "leave the time as it is", and
// SetFileTime refuses the year 30828 and later. Outside them, the runner's
// conversion would wrap or be ignored, so the reader refuses such an entry.
constexpr int64_t kTarFirstTime = -11644473600 + 1;  // 1601-01-01 00:00:01 UTC
constexpr int64_t kTarLastTime = 910670515200 - 1;   // 30827-12-31 23:59:59 UTC
bool Tar_TimeFits(int64_t seconds);
extern const char kTarTimeOutside[];  // PATH_WHOLE, for the entry's path or pack's input

// Where an archive's bytes are too few to be one: null when they may be. An
// archive of pack's ends with two zero blocks, so fewer than 1,024 bytes
// (none: no block, or one empty block) are damaged before any allocation.
const char *Tar_SizeProblem(uint64_t archiveBytes);

}  // namespace selfextr
