// boxes.h: answers the stub's message boxes the way a user would.
#pragma once
#include <windows.h>

#include <string>

#include "family.h"

struct BoxAnswer {
    std::string title;     // the box to wait for
    std::string text;      // what it must say
    int button;            // IDYES, IDNO or IDOK
    std::string seenText;  // what it said
    bool answered = false;
    bool hasYes = false, hasNo = false, hasIcon = false;
};

// Waits up to timeoutMs for a top-level dialog box with the title, shown by
// process pid (one the caller started) or by a process descended from it.
inline HWND Box_Find(DWORD pid, const char *title, DWORD timeoutMs)
{
    Family family(pid);
    return Family_WaitWindow(family, "#32770", title, timeoutMs);
}

inline BOOL Box_Press(HWND box, int button)
{
    return PostMessageA(box, WM_COMMAND, MAKEWPARAM(button, BN_CLICKED), (LPARAM)GetDlgItem(box, button));
}

// Waits for the box as Box_Find does, reads its text and presses the button.
inline bool Box_Answer(DWORD pid, BoxAnswer &answer, DWORD timeoutMs)
{
    HWND box = Box_Find(pid, answer.title.c_str(), timeoutMs);
    if (box == 0)
        return false;
    char text[512] = "";
    // The box's text is its static control 0xFFFF.
    GetDlgItemTextA(box, 0xFFFF, text, sizeof text);
    answer.seenText = text;
    answer.hasYes = GetDlgItem(box, IDYES) != 0;
    answer.hasNo = GetDlgItem(box, IDNO) != 0;
    for (HWND c = GetWindow(box, GW_CHILD); c != 0; c = GetWindow(c, GW_HWNDNEXT)) {
        char cls[16] = "";
        GetClassNameA(c, cls, sizeof cls);
        // The box may keep an empty icon control: what counts is an icon in it.
        if (lstrcmpiA(cls, "Static") == 0 && (GetWindowLongA(c, GWL_STYLE) & SS_TYPEMASK) == SS_ICON &&
            SendMessageA(c, STM_GETICON, 0, 0) != 0)
            answer.hasIcon = true;
    }
    Box_Press(box, answer.button);
    answer.answered = true;
    return true;
}
