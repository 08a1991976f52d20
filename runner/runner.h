// runner.h: the runner's steps and the state they share, in the order they run:
// prepare, expand, launch and wait, clean up, post.
#pragma once
#include <windows.h>
#include <stdint.h>
#include "settings.h"
#include "../decoder/peres.h"

enum {
    kCommandChars = RUNNER_COMMAND_UNITS,  // the command line, terminator included
    kCaptionChars = RUNNER_CAPTION_UNITS,
    kPathChars = 32768 + 8,         // a whole "\\?\" path, the most Windows takes
};

// The package's settings, a buffer each, read from the stub's strings.
struct RunnerSettings {
#define RUNNER_SETTING_FIELD(key, id, units, required) WCHAR key[units];
    RUNNER_SETTINGS(RUNNER_SETTING_FIELD)
#undef RUNNER_SETTING_FIELD
};

// The small fields first, so that code reaches each with a one-byte offset;
// the buffers after them.
struct RunnerState {
    HINSTANCE module;
    HWND stubWindow;                  // the stub to tell when all is done; 0 when none started us
    bool restarted;                   // this runner is the elevated restart, which never restarts again
    bool restart;                     // the command needs the elevated restart, which does the work instead
    bool privateMade;
    bool leaveFolder;                 // what the command started may still run there: only the marker is let go
    HANDLE marker;                    // ownFolder\runner, held open while the runner lives
    HANDLE stubProcess;               // the stub that started the runner, whose strings it reads; 0 when none did
    DWORD stubPid;
    // The stub's image file, opened once and mapped read-only for the whole
    // run: its marker and settings were read from these bytes. 0 when none.
    HANDLE stubFile, stubMapping;
    const uint8_t *stubView;
    selfextr::PeImage stubImage;
    HWND progress;
    uint32_t percent;                 // the meter as last drawn
    WCHAR caption[kCaptionChars];     // the stub's, in the user's language; empty without a stub
    RunnerSettings settings;
    WCHAR workFolder[MAX_PATH];       // the runner's own folder, without a trailing backslash
    WCHAR ownFolder[MAX_PATH];        // workFolder\sx-<random>: the marker and privateFolder, once created
    WCHAR privateFolder[MAX_PATH];    // ownFolder\x: the payload's tree, where the command runs
};

// A static's address, hidden from GCC in a register: GCC would otherwise
// reach each field or pass the buffer by its absolute address, four bytes
// and a base relocation at every use, where a register and a one-byte offset
// (or a one-byte push) do.
template <typename T> inline T *InRegister(T *pointer)
{
    __asm__("" : "+r"(pointer));
    return pointer;
}

// Text of ours: bounded appends into fixed buffers. The runner's own words
// are ASCII, kept as bytes (half the size of UTF-16) until they are shown.
void Text_Append(WCHAR *buffer, uint32_t capacity, const WCHAR *text);
void Text_AppendAscii(WCHAR *buffer, uint32_t capacity, const char *text);
uint32_t Text_Length(const WCHAR *text);

// One message box titled with the caption: what failed, then the system's reason for error (0: none).
// what is ASCII.
void Fail_Show(RunnerState *rs, const char *what, const WCHAR *subject, DWORD error);
// The message for a setting the runner cannot use, whichever step reads it.
extern const char kSettingsDamaged[];

void Prepare_HardenDllSearch(void);
// The stub that started the runner found (the nearest ancestor whose image
// carries the package marker), its image mapped, and the settings read from it.
bool Prepare_ReadPackage(RunnerState *rs);
// Unmaps and closes the stub's image.
void Prepare_Release(RunnerState *rs);
// The stub's window, once it has one; 0 when the stub ended first.
HWND Prepare_StubWindow(RunnerState *rs);

// The runner's own folder: only the user, SYSTEM and Administrators may
// enter it; run elevated or as SYSTEM, only SYSTEM and Administrators, and
// owned by Administrators. Its SDDL and descriptor are those the folder is
// created with; the owner is the one the sweep asks of a runner's folder.
const WCHAR *Folder_Sddl(void);
PSECURITY_DESCRIPTOR Folder_Descriptor(void);
// The names inside the runner's own folder: the marker and the payload's tree.
#define RUNNER_MARKER_NAME L"runner"
#define RUNNER_TREE_NAME L"x"
bool Folder_Create(RunnerState *rs);
void Folder_Release(RunnerState *rs);
// Deletes the work folder's sx-* folders whose runner is gone, within a bound.
void Folder_Sweep(RunnerState *rs);

// Decoding begun as soon as the package is read, before the private folder
// exists; Expand_Payload goes on from there. Expand_End stops it and lets its
// memory go, on every way out (again is harmless).
void Expand_Begin(RunnerState *rs);
bool Expand_Payload(RunnerState *rs);
void Expand_End(RunnerState *rs);
// A file the payload stores once, as a copy of an earlier file: the copy
// (below the private folder, made empty already) remembered with the target's
// path as its file is spelled (UTF-8, '/' between names) and the copy's time.
bool Copies_Remember(RunnerState *rs, const WCHAR *copy, const char *target, FILETIME time);
// Once every file is written and closed: each copy filled from its target,
// below root (rootUnits long, ending in a backslash), and stamped; the memory
// let go whatever ok is. False, with one message, on the first failure.
bool Copies_Finish(RunnerState *rs, const WCHAR *root, uint32_t rootUnits, bool ok);

// Whether the package's elevation asks for a restart (rs->restart); false,
// with its message, for a setting the runner does not know.
bool Elevate_Check(RunnerState *rs);
// This runner restarted elevated, waited for: its exit code, or 1 with one
// message when it could not be started (the user declined).
int Elevate_Restart(RunnerState *rs);

// Runs the command and waits for it and all it starts. False, the folder
// left to the next start's sweep, when that wait could not be had; false,
// without a message, with rs->restart set, for a program that needs the
// elevation the package did not record.
bool Launch_AndWait(RunnerState *rs);

// The class of the hidden window that hears the session's end.
#define RUNNER_SESSION_CLASS L"SelfExtrRunnerSession"
void Cleanup_WatchSession(RunnerState *rs);
void Cleanup_PrivateFolder(RunnerState *rs);
// Deletes root's tree in one pass without following a link, until the tick
// count reaches deadline (0: none); true when all of it went or none was there.
bool Tree_Delete(const WCHAR *root, DWORD deadline);
// The same for a folder already opened (DELETE, FILE_LIST_DIRECTORY,
// FILE_READ_ATTRIBUTES, FILE_WRITE_ATTRIBUTES); the handle is closed.
bool Tree_DeleteOpen(HANDLE root, DWORD deadline);
// name (units long, no terminator needed) opened relative to parent, never
// through a link: an NTSTATUS, negative on failure, and *out 0.
DWORD Tree_OpenBelow(HANDLE parent, const WCHAR *name, uint32_t units, DWORD access, bool folder, HANDLE *out);
bool Tree_Attributes(HANDLE handle, DWORD *attributes);
// The folder's next entry past "." and "..", matching mask on the first call
// (0: all): its name's length, 0 at the end. The name lives until the next call.
uint32_t Tree_Next(HANDLE folder, const WCHAR *mask, DWORD *attributes, const WCHAR **name);
// Set by tests only: called between the look at an entry and its opening.
extern void (*Tree_BetweenLookAndAct)(const WCHAR *name, uint32_t units);
// path as a "\\?\" path: \\server\share\... as \\?\UNC\server\share\...
void Path_Long(WCHAR *out, uint32_t capacity, const WCHAR *path);
void Cleanup_Post(const RunnerState *rs);

// Dispatches whatever the thread's queue holds, so that windows stay alive.
void Pump_Messages(void);
