// run.h: the state of one run and the phases the main routine calls.
#pragma once
#include <windows.h>
#include <stdint.h>

#include "sizes.h"

struct RunState {
    HINSTANCE module;          // every package resource is read from here
    const char *tail;          // replaces the setup command when not empty
    char caption[kCaptionBytes];
    char text[kTextBytes];     // prompt, then each path, message and the setup command
    char descriptor[kTextBytes];  // string 3000, then each entry's descriptor
    WORD stampDate;
    WORD stampTime;
    uint32_t total;
    uint32_t written;
    UINT nextEntry;
    HWND progress;
};

enum WriterResult { kWriterEnd, kWriterNext, kWriterAborted };

int Run_Main(HINSTANCE module, const char *tail, int show);

// Phases, one file each.
void Stamp_Build(HINSTANCE module, WORD *date, WORD *time);
void Stamp_Apply(HFILE file, WORD date, WORD time);
WriterResult Writer_Extract(RunState *rs, UINT number);
void Launch_AndWait(RunState *rs);
