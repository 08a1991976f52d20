// mark.h: how the benchmark's programs hand each other a moment: a small
// file written beside and renamed into place, so a reader sees all or none.
#pragma once
#include <windows.h>

#include <string>

inline void Mark_Write(const std::string &path, const std::string &text)
{
    std::string temp = path + ".tmp";
    HANDLE f = CreateFileA(temp.c_str(), GENERIC_WRITE, 0, 0, CREATE_ALWAYS, 0, 0);
    DWORD done;
    WriteFile(f, text.data(), (DWORD)text.size(), &done, 0);
    CloseHandle(f);
    MoveFileA(temp.c_str(), path.c_str());
}

// Waits up to timeoutMs for the mark, then takes it away; "" if none came.
inline std::string Mark_Take(const std::string &path, DWORD timeoutMs)
{
    for (DWORD waited = 0; waited < timeoutMs; waited += 10) {
        HANDLE f = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, 0, OPEN_EXISTING, 0, 0);
        if (f != INVALID_HANDLE_VALUE) {
            char text[64] = "";
            DWORD got = 0;
            ReadFile(f, text, sizeof text - 1, &got, 0);
            CloseHandle(f);
            DeleteFileA(path.c_str());
            return text;
        }
        Sleep(10);
    }
    return "";
}
