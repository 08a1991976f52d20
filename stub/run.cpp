// run.cpp: the main routine, from the question to the end of the wait.
#include "run.h"
#include "decimal.h"
#include "workdir.h"
#include "progress/progress.h"
#include "../res/selfextr.h"

int Run_Main(HINSTANCE module, const char *tail, int /* show: the setup always gets SW_SHOWNORMAL */)
{
    RunState rs = {};
    rs.module = module;
    rs.tail = tail;

    LoadStringA(module, STRING_CAPTION, rs.caption, kCaptionBytes);
    LoadStringA(module, STRING_PROMPT, rs.text, kTextBytes);
    if (MessageBoxA(0, rs.text, rs.caption, MB_YESNO) == IDNO)
        return 1;

    Stamp_Build(module, &rs.stampDate, &rs.stampTime);
    WorkDir_Choose();
    LoadStringA(module, STRING_TOTAL, rs.descriptor, kTextBytes);
    rs.total = (uint32_t)Dec_Read(rs.descriptor);
    rs.written = 0;
    rs.nextEntry = ENTRY_FIRST_ID;
    rs.progress = Progress_Open(module, rs.caption);

    for (;; rs.nextEntry++) {
        WriterResult result = Writer_Extract(&rs, rs.nextEntry);
        if (result == kWriterEnd)
            break;
        // The progress window stays as it is until the process ends.
        if (result == kWriterAborted)
            return 1;
    }

    DestroyWindow(rs.progress);
    Launch_AndWait(&rs);
    return 0;
}
