// writer.cpp: one entry to one file, straight from the mapped resource.
#include "run.h"
#include "descriptor.h"
#include "register.h"
#include "percent.h"
#include "workdir.h"
#include "messages.h"
#include "progress/progress.h"
#include "../res/selfextr.h"

static WriterResult SkipEntry(RunState *rs, const char *format, UINT number)
{
    wsprintfA(rs->text, format, number);
    MessageBoxA(0, rs->text, kTitleEntryFailed, MB_OK);
    return kWriterNext;
}

// A failed write: the box, the resource and the file released, then the clean-up.
static WriterResult FailWrite(HGLOBAL loaded, HFILE file)
{
    MessageBoxA(0, kTextDiskFull, kTitleDiskFull, MB_ICONERROR);
    FreeResource(loaded);
    if (file != HFILE_ERROR)
        _lclose(file);
    Register_CleanUp();
    return kWriterAborted;
}

WriterResult Writer_Extract(RunState *rs, UINT number)
{
    HRSRC found = FindResourceA(rs->module, MAKEINTRESOURCEA(number), MAKEINTRESOURCEA(RT_ENTRY));
    if (found == 0)
        return kWriterEnd;
    HGLOBAL loaded = LoadResource(rs->module, found);
    if (loaded == 0)
        return SkipEntry(rs, kTextLoadFailed, number);
    const BYTE *data = (const BYTE *)LockResource(loaded);
    if (data == 0)
        return SkipEntry(rs, kTextLockFailed, number);

    rs->descriptor[0] = '\0';
    LoadStringA(rs->module, number, rs->descriptor, kTextBytes);
    uint32_t remaining = 0;
    // A descriptor without a comma, or a size beyond the entry's data (a
    // negative size among them), would read past the resource: skip the entry.
    if (!Desc_Split(rs->descriptor, &remaining) || remaining > SizeofResource(rs->module, found)) {
        FreeResource(loaded);
        return SkipEntry(rs, kTextLoadFailed, number);
    }

    // A path that does not fit in kTextBytes is a creation that failed: nothing
    // is registered, deleted or created under a cut-down name.
    HFILE file = HFILE_ERROR;
    if (lstrlenA(g_workDir) + 1 + lstrlenA(rs->descriptor) < kTextBytes) {
        wsprintfA(rs->text, "%s\\%s", g_workDir, rs->descriptor);
        // Never create a file that the clean-up could not find.
        if (!Register_Add(rs->text))
            return FailWrite(loaded, HFILE_ERROR);
        DeleteFileA(rs->text);
        file = _lcreat(rs->text, 0);
    }

    while (remaining != 0) {
        UINT chunk = remaining <= (uint32_t)CHUNK_BYTES ? remaining : (UINT)CHUNK_BYTES;
        SELFEXTR_COUNT(g_countChunk);
        UINT count = _lwrite(file, (LPCCH)data, chunk);
        if (count != chunk)
            return FailWrite(loaded, file);
        rs->written += count;
        remaining -= count;
        data += count;
        Progress_DrawMeter(rs->progress, Percent_Done(rs->written, rs->total));
    }

    if (file != HFILE_ERROR) {
        Stamp_Apply(file, rs->stampDate, rs->stampTime);
        _lclose(file);
    }
    FreeResource(loaded);
    return kWriterNext;
}
