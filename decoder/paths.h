// paths.h: the one rule for a path inside a payload, which verify, extract and
// the runner all apply, and the one wording of every refusal.
//
// A path is UTF-8, '/' between names, relative. Each name must be one that
// Windows holds as written and that a person reads as written: no reserved
// device name, no trailing dot or blank, no character Windows forbids or that
// a code page turns into one, no control character (C0 or C1), no
// bidirectional mark, override, embedding or isolate. The order rules (a
// parent folder before what it holds, never a file used as a folder, no path
// twice, no two paths that differ only in case) need a memory of what came
// before: the tool keeps one, the runner asks the file system it writes to.
// Portable C++, nothing allocated.
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

// Where the last name of a path starts (0 when it has no folder).
uint32_t Path_LastName(const char *path, uint32_t bytes);

// The refusal as one line of UTF-8 into out (room bytes, NUL included, at
// least 64): names are quoted, control characters and bidirectional marks
// written as \xNN or \uNNNN, and a path too long to read shortened in the
// middle. other is used with PATH_OTHER only. Returns the bytes written.
uint32_t Path_Message(const char *path, uint32_t bytes, const PathProblem &p, const char *other, uint32_t otherBytes,
                      char *out, uint32_t room);

// Appends text to out as a person may be shown it: control characters (C0,
// DEL, C1) and bidirectional marks escaped, bytes that are not UTF-8 as \xNN.
// Stops before out is full; returns the new length.
uint32_t Path_AppendShown(char *out, uint32_t length, uint32_t room, const char *text, uint32_t bytes);

}  // namespace selfextr
