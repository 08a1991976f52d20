// prepare.cpp: DLL search, the stub found and its image mapped, the settings
// read from those bytes, and the stub's window.
#include "runner.h"
#include "../partner/selfextr_partner.h"
#include "../res/selfextr.h"

using namespace selfextr;

typedef BOOL(WINAPI *SetDllDirectoriesProc)(DWORD);

void Prepare_HardenDllSearch(void)
{
    // Before any DLL is loaded: only the system folder, never the work
    // folder or the caller's, where a planted DLL could wait. Older Windows
    // lacks the call; it still loads the runner's imports from System32.
    HMODULE kernel = GetModuleHandleA("kernel32.dll");
    SetDllDirectoriesProc set = (SetDllDirectoriesProc)(void (*)(void))GetProcAddress(kernel, "SetDefaultDllDirectories");
    if (set != 0)
        set(LOAD_LIBRARY_SEARCH_SYSTEM32);
}

// The path of the ancestor's image last looked at, for the message that says it cannot be read.
static WCHAR g_stubPath[SELFEXTR_PATH_UNITS];

// The largest image looked at: a 32-bit process maps no more, and no package is as large.
static const DWORD kMaxImageBytes = 0x7FFFFFFF;
// The image is mapped whole, payload included, into an address space of 2 GiB
// that the process shares with its buffers: a package near the tool's limit
// may find no room. Set when the last image looked at could not be mapped.
static bool g_unmapped;

enum ImageKind { kImageStub, kImageOther, kImageUnreadable };

// Whether the image holds exactly the package marker.
static bool HasMarker(const PeImage *image, LANGID user)
{
    static const char want[] = SELFEXTR_PACKAGE_MARKER;
    PeBytes marker;
    if (PeRes_Find(image, SELFEXTR_PACKAGE_MARKER_TYPE, SELFEXTR_PACKAGE_MARKER_ID, user, &marker) != PE_FOUND ||
        marker.size != sizeof want - 1)
        return false;
    for (uint32_t i = 0; i < marker.size; i++)
        if (marker.data[i] != (uint8_t)want[i])
            return false;
    return true;
}

// The image of process, by one query of its name and one open: kept open and
// mapped in rs when it is a finished stub. The check and every setting are
// read from these bytes, never from a second open by name, which an image
// renamed meanwhile and another file put at its path would answer. Shared
// for reading only, so that nobody changes, renames or deletes it while the
// runner reads it.
static ImageKind MapImage(RunnerState *rs, HANDLE process, LANGID user, DWORD *error)
{
    WCHAR *stubPath = InRegister(g_stubPath);
    stubPath[0] = 0;
    g_unmapped = false;
    if (SelfExtr_ImagePath(process, stubPath) == 0)
        return *error = GetLastError(), kImageUnreadable;
    HANDLE file = CreateFileW(stubPath, GENERIC_READ, FILE_SHARE_READ, 0, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, 0);
    if (file == INVALID_HANDLE_VALUE)
        return *error = GetLastError(), kImageUnreadable;
    BY_HANDLE_FILE_INFORMATION info;
    ImageKind kind = kImageUnreadable;
    HANDLE mapping = 0;
    const uint8_t *view = 0;
    if (GetFileType(file) != FILE_TYPE_DISK)
        *error = ERROR_BAD_FILE_TYPE;
    else if (!GetFileInformationByHandle(file, &info))
        *error = GetLastError();
    else if (info.nFileSizeHigh != 0 || info.nFileSizeLow - 1 >= kMaxImageBytes)
        kind = kImageOther;
    else if ((mapping = CreateFileMappingW(file, 0, PAGE_READONLY, 0, 0, 0)) == 0 ||
             (view = (const uint8_t *)MapViewOfFile(mapping, FILE_MAP_READ, 0, 0, 0)) == 0)
        *error = GetLastError(), g_unmapped = true;
    else if (!PeRes_Open(view, info.nFileSizeLow, &rs->stubImage) || !HasMarker(&rs->stubImage, user))
        kind = kImageOther;
    else
        kind = kImageStub;
    if (kind == kImageStub) {
        rs->stubFile = file;
        rs->stubMapping = mapping;
        rs->stubView = view;
        return kind;
    }
    if (view != 0)
        UnmapViewOfFile(view);
    if (mapping != 0)
        CloseHandle(mapping);
    CloseHandle(file);
    return kind;
}

// The nearest ancestor whose image is a finished stub, the one that wrote
// this program: its process held and its image mapped in rs. Nothing past it
// is looked at, so another package's stub higher up never gives this one its
// settings; nor past an ancestor whose image cannot be read, which might be
// that stub. false with the reason when it stopped there.
static bool FindStub(RunnerState *rs, LANGID user, DWORD *error)
{
    SelfExtr_Ancestor chain[SELFEXTR_MAX_ANCESTORS];
    int count = SelfExtr_AncestorChain(chain);
    bool looking = true, readable = true;
    for (int i = 0; i < count; i++) {
        if (looking) {
            ImageKind kind = MapImage(rs, chain[i].process, user, error);
            looking = kind == kImageOther;
            readable = kind != kImageUnreadable;
            if (kind == kImageStub) {
                // Held, so that its number cannot pass to another process: the stub to tell when all is done.
                rs->stubProcess = chain[i].process;
                rs->stubPid = chain[i].pid;
                continue;
            }
        }
        CloseHandle(chain[i].process);
    }
    return readable;
}

// One of the stub's strings, whole, in the language the loader would give
// user: its length, 0 when it is missing, -1 when it does not fit capacity
// (terminator included), holds a NUL or its block is damaged. Never cut
// without a word.
static int ReadString(const PeImage *image, LANGID user, UINT id, WCHAR *out, uint32_t capacity)
{
    PeBytes text;
    PeStatus status = PeRes_String(image, (uint16_t)id, user, &text);
    out[0] = 0;
    if (status == PE_MISSING)
        return 0;
    if (status != PE_FOUND || text.size / 2 >= capacity)
        return -1;
    uint32_t units = text.size / 2;
    for (uint32_t i = 0; i < units; i++)
        if ((out[i] = (WCHAR)(text.data[2 * i] | text.data[2 * i + 1] << 8)) == 0)
            return -1;
    out[units] = 0;
    return (int)units;
}

bool Prepare_ReadPackage(RunnerState *rs)
{
    // The language LoadStringW would read the stub's strings in for this user.
    LANGID user = GetUserDefaultUILanguage();
    DWORD error = 0;
    if (!FindStub(rs, user, &error)) {
        Fail_Show(rs, g_unmapped ? "Cannot map the package into memory; a very large package may not fit in a 32-bit setup program:"
                                 : "Cannot read the package's settings:",
                  g_stubPath, error);
        return false;
    }
    if (rs->stubProcess == 0) {
        Fail_Show(rs, "This is the setup program of a selfextr package and runs only when the package starts it.", 0, 0);
        return false;
    }
    // The caption the stub showed, in the user's language by the loader's own order.
    if (ReadString(&rs->stubImage, user, STRING_CAPTION, rs->caption, kCaptionChars) < 0)
        rs->caption[0] = 0;
    bool missing = false, damaged = false;
#define RUNNER_SETTING_READ(key, id, units, required)                                   \
    {                                                                                  \
        int got = ReadString(&rs->stubImage, user, id, rs->settings.key, units);        \
        missing = missing || (required && got == 0);                                   \
        damaged = damaged || got < 0;                                                  \
    }
    RUNNER_SETTINGS(RUNNER_SETTING_READ)
#undef RUNNER_SETTING_READ
    if (missing) {
        Fail_Show(rs, "The package holds no command for its setup program. Please download it again.", 0, 0);
        return false;
    }
    if (damaged) {
        Fail_Show(rs, kSettingsDamaged, 0, 0);
        return false;
    }
    DWORD n = GetModuleFileNameW(0, rs->workFolder, MAX_PATH);
    if (n == 0 || n >= MAX_PATH) {
        Fail_Show(rs, "Cannot find the folder of this setup program.", 0, n == 0 ? GetLastError() : ERROR_FILENAME_EXCED_RANGE);
        return false;
    }
    while (n > 0 && rs->workFolder[n - 1] != L'\\')
        n--;
    rs->workFolder[n > 0 ? n - 1 : 0] = 0;
    return true;
}

void Prepare_Release(RunnerState *rs)
{
    if (rs->stubView != 0)
        UnmapViewOfFile(rs->stubView);
    if (rs->stubMapping != 0)
        CloseHandle(rs->stubMapping);
    if (rs->stubFile != 0)
        CloseHandle(rs->stubFile);
    rs->stubView = 0;
    rs->stubMapping = rs->stubFile = 0;
}

HWND Prepare_StubWindow(RunnerState *rs)
{
    // The stub creates its window once its WinExec of the runner has returned,
    // which the runner's first wait allowed: waited for while the stub lives.
    for (;;) {
        HWND window = SelfExtr_WindowOf(rs->stubPid);
        if (window != 0 || WaitForSingleObject(rs->stubProcess, 0) != WAIT_TIMEOUT)
            return window;
        MsgWaitForMultipleObjects(0, 0, FALSE, 10, QS_ALLINPUT);
    }
}
