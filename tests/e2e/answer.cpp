// answer: plays the user for scripts.
//
//   answer run "COMMAND LINE" STEP...
// starts the command (with this program's environment) and takes the steps in
// order, each on a window of the command's process or of a process descended
// from it, never on another program's:
//   box TITLE yes|no|ok   presses that button of a message box with that title
//   wait TITLE            waits for a top-level window with that title
//   close TITLE           closes a top-level window with that title
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
#include <vector>

#include "boxes.h"
#include "family.h"
#include "testproc.h"

enum { kStepMissing = 125, kCannotStart = 126, kUsage = 127 };
static const DWORD kStepMs = 60000;

struct Step {
    const char *verb, *title;
    int button;  // box only
};

// The steps from argv[first] on; false when anything there is not a step.
static bool ReadSteps(int argc, char **argv, int first, std::vector<Step> &steps)
{
    for (int i = first; i < argc;) {
        if (i + 1 >= argc)
            return false;
        Step step = {argv[i], argv[i + 1], 0};
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
        } else {
            return false;
        }
        steps.push_back(step);
    }
    return true;
}

// A box must have the button to press (the stub's progress window is a dialog
// of the same title without one); a window once pressed or closed is done with.
static bool Fits(const Step &step, HWND window, const std::vector<HWND> &done)
{
    return (step.button == 0 || GetDlgItem(window, step.button) != 0) &&
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
    if (argc >= 3 && ReadSteps(argc, argv, 1, steps) && steps.size() == 1)
        return Alone(steps[0]) ? 0 : 1;
    fprintf(stderr, "usage: answer run \"COMMAND LINE\" [box TITLE yes|no|ok | wait TITLE | close TITLE]...\n"
                    "       answer box TITLE yes|no|ok | answer wait TITLE | answer close TITLE\n");
    return kUsage;
}
