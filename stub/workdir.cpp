// workdir.cpp: "TEMP", else "TMP", else X:\~QVTEMP on the Windows drive.
#include "workdir.h"
#include "envlookup.h"
#include "startup.h"

char g_workDir[kTextBytes];
BOOL g_ownFolder = FALSE;

static char g_probeText[kTextBytes];

// Copies src into a path buffer, dropping one trailing backslash (a byte
// test, also in a double-byte code page). A source that does not fit is refused.
static BOOL CopyWithoutSlash(char dst[kTextBytes], const char *src)
{
    int length = lstrlenA(src);
    if (length >= kTextBytes)
        return FALSE;
    lstrcpyA(dst, src);
    if (length > 0 && dst[length - 1] == '\\')
        dst[length - 1] = '\0';
    return TRUE;
}

BOOL WorkDir_PathExists(const char *path)
{
    HCURSOR previous = SetCursor(LoadCursorA(0, IDC_WAIT));
    BOOL found = FALSE;
    if (CopyWithoutSlash(g_probeText, path) && g_probeText[0] != '\0') {
        WIN32_FIND_DATAA data;
        HANDLE search = FindFirstFileA(g_probeText, &data);
        if (search != INVALID_HANDLE_VALUE) {
            FindClose(search);
            found = TRUE;
        }
    }
    SetCursor(previous);
    return found;
}

void WorkDir_Choose(void)
{
    const char *value = Env_Find(g_startEnv, "TEMP");
    if (value == 0)
        value = Env_Find(g_startEnv, "TMP");
    // The probe answers false for a value too long for the folder buffer.
    if (value != 0 && WorkDir_PathExists(value)) {
        CopyWithoutSlash(g_workDir, value);
        return;
    }

    char fallback[] = "X:\\~QVTEMP";
    char windows[kTextBytes];
    UINT length = GetWindowsDirectoryA(windows, sizeof windows);
    // Without a readable Windows folder the fallback goes to drive C.
    fallback[0] = (length != 0 && length < sizeof windows) ? windows[0] : 'C';
    CreateDirectoryA(fallback, 0);
    g_ownFolder = TRUE;
    CopyWithoutSlash(g_workDir, fallback);
}
