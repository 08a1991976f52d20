// runner.h: the runner's steps and the state they share, in the order they run:
// prepare, expand, launch and wait, clean up, post.
#pragma once
#include <windows.h>
#include <stdint.h>
#include "settings.h"

enum {
    kCommandChars = RUNNER_COMMAND_UNITS,  // the command line, terminator included
    kCaptionChars = RUNNER_CAPTION_UNITS,
    kPathChars = 32768 + 8,         // a whole "\\?\" path, the most Windows takes
};

struct RunnerState {
    HINSTANCE module;
    HWND stubWindow;                  // the stub to tell when all is done; 0 when none started us
    WCHAR caption[kCaptionChars];     // the stub's, in the user's language; empty without a stub
    WCHAR command[kCommandChars];
    WCHAR payloadName[MAX_PATH];
    WCHAR workFolder[MAX_PATH];       // the runner's own folder, without a trailing backslash
    WCHAR privateFolder[MAX_PATH];    // workFolder\sx-<random>, once created
    bool privateMade;
    HANDLE marker;                    // privateFolder\sx-<random>.runner, held open while the runner lives
    HANDLE stubProcess;               // the stub that started the runner, whose strings it reads; 0 when none did
    DWORD stubPid;
    HWND progress;
    uint32_t percent;                 // the meter as last drawn
};

// Text of ours: bounded appends into fixed buffers.
void Text_Append(WCHAR *buffer, uint32_t capacity, const WCHAR *text);
uint32_t Text_Length(const WCHAR *text);

// One message box titled with the caption: what failed, then the system's reason for error (0: none).
void Fail_Show(RunnerState *rs, const WCHAR *what, const WCHAR *subject, DWORD error);

void Prepare_HardenDllSearch(void);
// The settings, read from the image of the stub that started the runner.
bool Prepare_ReadPackage(RunnerState *rs);
// The stub's window, once it has one; 0 when the stub ended first.
HWND Prepare_StubWindow(RunnerState *rs);

// The private folder: only the user, SYSTEM and Administrators may enter it.
// Its SDDL and descriptor are those the folder is created with.
const WCHAR *Folder_Sddl(void);
PSECURITY_DESCRIPTOR Folder_Descriptor(void);
bool Folder_Create(RunnerState *rs);
void Folder_Release(RunnerState *rs);
// Deletes the work folder's sx-* folders whose runner is gone, within a bound.
void Folder_Sweep(RunnerState *rs);

bool Expand_Payload(RunnerState *rs);

bool Launch_AndWait(RunnerState *rs);

// The class of the hidden window that hears the session's end.
#define RUNNER_SESSION_CLASS L"SelfExtrRunnerSession"
void Cleanup_WatchSession(RunnerState *rs);
void Cleanup_PrivateFolder(RunnerState *rs);
// Deletes root's tree in one pass without following a link, until the tick
// count reaches deadline (0: none); true when all of it went.
bool Tree_Delete(const WCHAR *root, DWORD deadline);
void Cleanup_Post(const RunnerState *rs);

// Dispatches whatever the thread's queue holds, so that windows stay alive.
void Pump_Messages(void);
