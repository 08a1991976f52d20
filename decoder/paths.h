// paths.h: the one rule for a path inside a payload, which verify, extract and
// the runner all apply, and the one wording of every refusal.
//
// A path is UTF-8, '/' between names, relative. Each name must be one that
// Windows holds as written and that a person reads as written: no reserved
// device name, no trailing dot or blank, no character Windows forbids or that
// a code page's best fit turns into one or into a separator or a dot, no
// private-use stand-in for one, no control character (C0 or C1), no
// bidirectional mark, override, embedding or isolate, no other invisible or
// format character, no name shaped like an 8.3 alias (LONGFI~1.TXT), and
// every name in NFC. The order rules (a parent folder before what it holds,
// never a file used as a folder, no path twice, no two paths that differ only
// in case) need a memory of what came before, PathMemory, which the tool and
// the runner both keep. Portable C++;
// the memory asks its caller for blocks, nothing else is allocated.
#pragma once
#include <stddef.h>
#include <stdint.h>

namespace selfextr {

// What a relative path inside the payload may hold, in UTF-16 units: a whole
// Windows path holds 32,767, and this leaves 767 for "\\?\", the work folder
// and the runner's private folder.
constexpr uint32_t kPayloadMaxPathUnits = 32000;
constexpr uint32_t kPayloadMaxNameUnits = 255;  // UTF-16 units in one Windows file name

enum PathSubject : uint32_t {
    PATH_WHOLE,   // "payload path P <why>"
    PATH_NAME,    // "payload path P: the name N <why>"; N is part of P
    PATH_FOLDER,  // "payload path P: its folder F <why>"; F is P's leading part
    PATH_OTHER,   // "payload paths P and O <why>"; O comes from elsewhere
    PATH_TARGET,  // "payload path P is a copy of O, <why>"; O is the file P names
};

struct PathProblem {
    const char *why;  // null when the path may be written
    PathSubject subject;
    uint32_t at, bytes;  // the name or folder within the path
};

// The per-name rules and the length limit, for a whole path.
PathProblem Path_Check(const char *path, uint32_t bytes);

// The order rules' reasons, found by the caller.
extern const char kPathTwice[];         // PATH_WHOLE
extern const char kPathNoFolder[];      // PATH_FOLDER: no folder of that name came before
extern const char kPathFileAsFolder[];  // PATH_FOLDER: a file of that name came before
extern const char kPathCase[];          // PATH_OTHER

// Whether a Windows code page's best fit turns cp into a separator, a dot or
// a forbidden character; the stub's entry names follow the same table.
bool Path_BestFitHazard(uint32_t cp);

// A path as the order rules compare it, into out (2 * bytes of room; path
// already passed Path_Check): each character folded by Unicode's simple case
// folding, one fixed table for the tool and the runner alike, so that no
// verdict depends on the volume the runner writes to. Returns out's bytes.
uint32_t Path_Fold(const char *path, uint32_t bytes, char *out);

// The order rules' memory of every path that came before: folded, whether it
// is a folder, a file or a copy of an earlier file, a file's size, and its
// last name as written. Its records and its index live
// in blocks that the caller's allocate gives and release takes back; it grows
// by doubling, so it holds a few times the paths' bytes, and it refuses to
// grow past kPathMemoryMaxBytes of records.
constexpr uint32_t kPathMemoryMaxBytes = 256u << 20;

struct PathMemory {
    void *(*allocate)(void *context, uint32_t bytes);  // null when there is no memory
    void (*release)(void *context, void *block);
    void *context;
    uint8_t *records;  // one after the other, each 4-byte aligned
    uint32_t used, room;
    uint32_t *index;   // per bucket, a record's offset + 1 (0: none); buckets a power of two
    uint32_t buckets, count;
};

extern const char kPathNoMemory[];  // allocate gave nothing: the system's fault, not the payload's
extern const char kPathTooMany[];   // PATH_WHOLE: the memory would pass kPathMemoryMaxBytes

// What an entry is. A copy holds the same bytes as an earlier file and names
// that file, never another copy: a copy of a copy would make its bytes
// depend on a chain the reader must follow, and pack never writes one.
enum PathKind : uint32_t { PATH_KIND_FILE, PATH_KIND_FOLDER, PATH_KIND_COPY };

// A copy's target refused (PATH_TARGET; other is the target as written).
extern const char kPathTargetMissing[];  // no file of that path came before
extern const char kPathTargetFolder[];   // it is a folder
extern const char kPathTargetCopy[];     // it is itself a copy

void PathMemory_Init(PathMemory *m, void *(*allocate)(void *, uint32_t), void (*release)(void *, void *), void *context);
void PathMemory_Free(PathMemory *m);

// The order rules for the next entry, whose path passed Path_Check: why is
// null when it may be written, and then it is remembered. For PATH_OTHER,
// other (room bytes, at least the path's bytes + 1,024) receives the earlier
// path as the file system would show it: this entry's folder as written, the
// earlier entry's last name; *otherBytes its length.
PathProblem PathMemory_Add(PathMemory *m, const char *path, uint32_t bytes, bool folder, char *other, uint32_t room,
                           uint32_t *otherBytes);
// The same for an entry of any kind; size is a file's or a copy's bytes.
PathProblem PathMemory_AddKind(PathMemory *m, const char *path, uint32_t bytes, PathKind kind, uint64_t size, char *other,
                               uint32_t room, uint32_t *otherBytes);

// A copy's target (it passed Path_Check), looked up as the order rules
// compare paths: why is null when it names an earlier file, and then spelled
// (room bytes, at least the target's bytes + 1,024) receives that file's path
// as the file system would show it (the target's folder as written, the
// file's last name as it was written), *spelledBytes its length and *size the
// file's size. Nothing is remembered: the copy itself is added as
// PATH_KIND_COPY once its target is found. The lookup needs room to fold the
// target, so it may fail as PathMemory_Add does (kPathNoMemory, kPathTooMany).
PathProblem PathMemory_Target(PathMemory *m, const char *target, uint32_t bytes, char *spelled, uint32_t room,
                              uint32_t *spelledBytes, uint64_t *size);

// Where the last name of a path starts (0 when it has no folder).
uint32_t Path_LastName(const char *path, uint32_t bytes);

// The refusal as one line of UTF-8 into out (room bytes, NUL included, at
// least 64): names are quoted and shown as Path_AppendShown shows them, and
// a path too long to read shortened in the middle. other is used with PATH_OTHER only. Returns the bytes written.
uint32_t Path_Message(const char *path, uint32_t bytes, const PathProblem &p, const char *other, uint32_t otherBytes,
                      char *out, uint32_t room);

// Appends text to out as a person may be shown it: every character the path
// rule refuses for how it looks (controls, bidirectional marks, invisible and
// format characters, best-fit look-alikes, private-use stand-ins, the one
// that keeps the text from NFC) written \uNNNN (\UNNNNNNNN past U+FFFF), bytes
// that are not UTF-8 and C0 controls as \xNN. Stops before out is full;
// returns the new length.
uint32_t Path_AppendShown(char *out, uint32_t length, uint32_t room, const char *text, uint32_t bytes);

}  // namespace selfextr
