// answer: plays the user for scripts. "answer box TITLE yes|no|ok" presses a
// button of a message box with that title that has the button; "answer close TITLE" closes the
// top-level window with that title; "answer wait TITLE" only waits for a
// top-level window with that title. Waits up to 60 seconds; exit 1 if none came.
#include "boxes.h"

#include <cstring>

int main(int argc, char **argv)
{
    bool titleOnly = argc == 3 && (strcmp(argv[1], "close") == 0 || strcmp(argv[1], "wait") == 0);
    if (argc != 4 && !titleOnly)
        return 2;
    for (int waited = 0; waited < 60000; waited += 100) {
        if (strcmp(argv[1], "close") == 0 || strcmp(argv[1], "wait") == 0) {
            HWND window = FindWindowA(0, argv[2]);
            if (window != 0)
                return strcmp(argv[1], "wait") == 0 || PostMessageA(window, WM_CLOSE, 0, 0) ? 0 : 1;
        } else {
            // Only a box with that button: a question and a message may share a title.
            int button = strcmp(argv[3], "yes") == 0 ? IDYES : strcmp(argv[3], "no") == 0 ? IDNO : IDOK;
            HWND box = 0;
            while ((box = FindWindowExA(0, box, "#32770", argv[2])) != 0)
                if (GetDlgItem(box, button) != 0)
                    return Box_Press(box, button) ? 0 : 1;
        }
        Sleep(100);
    }
    return 1;
}
