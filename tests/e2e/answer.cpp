// answer: plays the user for scripts.
//
//   answer run "COMMAND LINE" STEP...
// starts the command (with this program's environment) and takes the steps in
// order, each on a window of the command's process or of a process descended
// from it, never on another program's:
//   box TITLE yes|no|ok   presses that button of a message box with that title
//   wait TITLE            waits for a top-level window with that title
//   close TITLE           closes a top-level window with that title
//   shot TITLE PROGRAM FILE
//                         saves as a BMP in FILE a picture of the visible window
//                         with that title shown by a process running PROGRAM
//                         (its file's name, such as SETUP.EXE), once the
//                         window is drawn whole (see Shot_Take)
// then waits for the command to end and exits with its exit code. A step whose
// window has not come within 60 seconds, or by the time everything the command
// started has ended, is named in one line on stderr (its number and its title,
// since several steps may share one title); everything the command
// started is then ended, and answer exits with 125. 126: the command could not
// be started; 127: a wrong command line.
//
//   answer box TITLE yes|no|ok | answer wait TITLE | answer close TITLE
// takes one step on any window of the session with that title, for a program
// that runs alone (scripts/demo); exit 0 when done, 1 when no window came.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "boxes.h"
#include "family.h"
#include "testproc.h"

enum { kStepMissing = 125, kCannotStart = 126, kUsage = 127 };
static const DWORD kStepMs = 60000;
static const DWORD kShotPauseMs = 10;

struct Step {
    const char *verb, *title;
    int button;                 // box only
    const char *program, *file;  // shot only
};

// The steps from argv[first] on; false when anything there is not a step.
static bool ReadSteps(int argc, char **argv, int first, std::vector<Step> &steps)
{
    for (int i = first; i < argc;) {
        if (i + 1 >= argc)
            return false;
        Step step = {argv[i], argv[i + 1], 0, nullptr, nullptr};
        if (strcmp(step.verb, "box") == 0) {
            if (i + 2 >= argc)
                return false;
            const char *b = argv[i + 2];
            step.button = strcmp(b, "yes") == 0 ? IDYES : strcmp(b, "no") == 0 ? IDNO : strcmp(b, "ok") == 0 ? IDOK : 0;
            if (step.button == 0)
                return false;
            i += 3;
        } else if (strcmp(step.verb, "wait") == 0 || strcmp(step.verb, "close") == 0) {
            i += 2;
        } else if (strcmp(step.verb, "shot") == 0) {
            if (i + 3 >= argc)
                return false;
            step.program = argv[i + 2];
            step.file = argv[i + 3];
            i += 4;
        } else {
            return false;
        }
        steps.push_back(step);
    }
    return true;
}

// Whether the window's process runs a program of that file name: the stub and
// its runner show windows of the same title.
static bool Runs(HWND window, const char *program)
{
    DWORD pid = 0;
    GetWindowThreadProcessId(window, &pid);
    HANDLE process = OpenProcess(0x1000 /* PROCESS_QUERY_LIMITED_INFORMATION */, FALSE, pid);
    char path[MAX_PATH];
    DWORD n = sizeof path;
    const bool named = process != 0 && QueryFullProcessImageNameA(process, 0, path, &n);
    if (process != 0)
        CloseHandle(process);
    const char *name = named ? strrchr(path, '\\') : nullptr;
    return named && lstrcmpiA(name != nullptr ? name + 1 : path, program) == 0;
}

// A box must have the button to press (the stub's progress window is a dialog
// of the same title without one); a window once pressed or closed is done with.
static bool Fits(const Step &step, HWND window, const std::vector<HWND> &done)
{
    return (step.button == 0 || GetDlgItem(window, step.button) != 0) &&
           (step.program == nullptr || (IsWindowVisible(window) && Runs(window, step.program))) &&
           std::find(done.begin(), done.end(), window) == done.end();
}

static const char *ClassOf(const Step &step) { return step.button != 0 ? "#32770" : nullptr; }

static void Act(const Step &step, HWND window, std::vector<HWND> &done)
{
    if (step.button != 0)
        Box_Press(window, step.button);
    else if (strcmp(step.verb, "close") == 0)
        PostMessageA(window, WM_CLOSE, 0, 0);
    else
        return;
    done.push_back(window);
}

// Whether the window's thread is at its message loop (it answered WM_NULL)
// with nothing of the window or its controls left to paint.
static bool Shot_Settled(HWND window)
{
    DWORD_PTR result;
    if (!SendMessageTimeoutA(window, WM_NULL, 0, 0, SMTO_NORMAL, 5000, &result))
        return false;
    if (GetUpdateRect(window, nullptr, FALSE))
        return false;
    for (HWND c = GetWindow(window, GW_CHILD); c != 0; c = GetWindow(c, GW_HWNDNEXT))
        if (GetUpdateRect(c, nullptr, FALSE))
            return false;
    return true;
}

struct Picture {
    int cx = 0, cy = 0;
    std::vector<unsigned char> bits;  // bottom-up rows of 24-bit pixels, each padded to 4 bytes
};

// The window's rectangle as the screen shows it, frame and caption included.
static bool Shot_Capture(HWND window, Picture &p)
{
    RECT r;
    if (!GetWindowRect(window, &r))
        return false;
    p.cx = r.right - r.left;
    p.cy = r.bottom - r.top;
    BITMAPINFO bi = {};
    bi.bmiHeader.biSize = sizeof bi.bmiHeader;
    bi.bmiHeader.biWidth = p.cx;
    bi.bmiHeader.biHeight = p.cy;
    bi.bmiHeader.biPlanes = 1;
    bi.bmiHeader.biBitCount = 24;
    void *bits = nullptr;
    HDC screen = GetDC(0), memory = CreateCompatibleDC(screen);
    HBITMAP shot = CreateDIBSection(screen, &bi, DIB_RGB_COLORS, &bits, 0, 0);
    bool ok = shot != 0;
    if (ok) {
        HGDIOBJ old = SelectObject(memory, shot);
        ok = BitBlt(memory, 0, 0, p.cx, p.cy, screen, r.left, r.top, SRCCOPY) != 0;
        GdiFlush();
        SelectObject(memory, old);
        const size_t size = (size_t)((p.cx * 3 + 3) & ~3) * p.cy;
        p.bits.assign((const unsigned char *)bits, (const unsigned char *)bits + size);
        DeleteObject(shot);
    }
    DeleteDC(memory);
    ReleaseDC(0, screen);
    return ok;
}

// Written beside its name and moved into place: a picture whole or none.
static bool Shot_Save(const Picture &p, const char *file)
{
    BITMAPINFOHEADER ih = {};
    ih.biSize = sizeof ih;
    ih.biWidth = p.cx;
    ih.biHeight = p.cy;
    ih.biPlanes = 1;
    ih.biBitCount = 24;
    const DWORD size = (DWORD)p.bits.size();
    BITMAPFILEHEADER fh = {0x4D42, (DWORD)(sizeof fh + sizeof ih + size), 0, 0, (DWORD)(sizeof fh + sizeof ih)};
    std::string part = std::string(file) + ".part";
    FILE *out = fopen(part.c_str(), "wb");
    if (out == nullptr)
        return false;
    bool ok = fwrite(&fh, sizeof fh, 1, out) == 1 && fwrite(&ih, sizeof ih, 1, out) == 1 &&
              fwrite(p.bits.data(), 1, size, out) == size;
    ok = fclose(out) == 0 && ok;
    ok = ok && MoveFileExA(part.c_str(), file, MOVEFILE_REPLACE_EXISTING);
    if (!ok)
        DeleteFileA(part.c_str());
    return ok;
}

// A picture of another process's window, taken from the screen, is whole when
// the screen holds a finished drawing of it. A thread that answers WM_NULL is
// at its message loop, not inside a paint; with no update region left it has
// nothing more to paint; and Wine copies a thread's drawing to the X screen
// when that thread next finds its queue empty, right after its paint. A
// picture caught before that copy, or while another thread of the process
// copied a drawing half done, differs from one taken after the next round
// trip through the loop and a pause, since every later copy is of a finished
// drawing (the runner's meter redraws only for a new percentage). So: until
// two pictures taken that way agree. false when the window went first.
static bool Shot_Take(HWND window, const char *file)
{
    const DWORD start = GetTickCount();
    Picture a, b;
    bool have = false;
    int unsettled = 0, differed = 0;
    while (IsWindow(window) && GetTickCount() - start < kStepMs) {
        if (!Shot_Settled(window) || !Shot_Capture(window, b)) {
            have = false;
            unsettled++;
            Sleep(20);
            continue;
        }
        if (have && a.cx == b.cx && a.cy == b.cy && a.bits == b.bits)
            return Shot_Save(b, file) || (fprintf(stderr, "answer: cannot write %s\n", file), false);
        differed += have;
        std::swap(a, b);
        have = true;
        Sleep(kShotPauseMs);
    }
    fprintf(stderr, "answer: %d times not settled, %d pictures differed from the one before\n", unsettled, differed);
    return false;
}

static int Run(const char *command, const std::vector<Step> &steps)
{
    PROCESS_INFORMATION pi;
    if (!Process_Start(command, pi)) {
        fprintf(stderr, "answer: cannot start %s (error %lu)\n", command, GetLastError());
        return kCannotStart;
    }
    Family family(pi.dwProcessId);
    std::vector<HWND> done;
    int number = 0;
    for (const Step &step : steps) {
        number++;
        HWND window = Family_WaitWindow(family, ClassOf(step), step.title, kStepMs,
                                        [&](HWND w) { return Fits(step, w, done); });
        if (window == 0) {
            const bool ran = Family_Alive(family);
            fprintf(stderr, "answer: step %d (%s): no window titled \"%s\" came from %s %s\n", number, step.verb,
                    step.title, command, ran ? "within 60 seconds" : "before it ended");
            Family_Terminate(family, kStepMissing);
            Process_Finish(pi, 0);
            return kStepMissing;
        }
        if (strcmp(step.verb, "shot") == 0 && !Shot_Take(window, step.file)) {
            fprintf(stderr, "answer: no whole picture of the window titled \"%s\" from %s\n", step.title, step.program);
            Family_Terminate(family, kStepMissing);
            Process_Finish(pi, 0);
            return kStepMissing;
        }
        Act(step, window, done);
    }
    return (int)Process_Finish(pi, INFINITE);
}

// One step on any window of the session.
static bool Alone(const Step &step)
{
    std::vector<HWND> done;
    for (DWORD waited = 0; waited < kStepMs; waited += 100) {
        HWND window = 0;
        while ((window = FindWindowExA(0, window, ClassOf(step), step.title)) != 0)
            if (Fits(step, window, done)) {
                Act(step, window, done);
                return true;
            }
        Sleep(100);
    }
    return false;
}

int main(int argc, char **argv)
{
    std::vector<Step> steps;
    if (argc >= 3 && strcmp(argv[1], "run") == 0 && ReadSteps(argc, argv, 3, steps))
        return Run(argv[2], steps);
    if (argc >= 3 && ReadSteps(argc, argv, 1, steps) && steps.size() == 1 && strcmp(steps[0].verb, "shot") != 0)
        return Alone(steps[0]) ? 0 : 1;
    fprintf(stderr, "usage: answer run \"COMMAND LINE\" [box TITLE yes|no|ok | wait TITLE | close TITLE | shot TITLE PROGRAM FILE]...\n"
                    "       answer box TITLE yes|no|ok | answer wait TITLE | answer close TITLE\n");
    return kUsage;
}
