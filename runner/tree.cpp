// tree.cpp: a folder's tree deleted in one pass, deepest first, without
// following any link: a junction or symbolic link goes itself, what it points at stays.
#include "runner.h"

enum { kMaxDepth = 16384 };  // a 32,767-unit path holds at most this many names

static WCHAR g_tree[kPathChars];
static HANDLE g_find[kMaxDepth];
static uint32_t g_length[kMaxDepth];
static WIN32_FIND_DATAW g_found;

static bool Open(uint32_t depth)
{
    g_length[depth] = Text_Length(g_tree);
    Text_Append(g_tree, kPathChars, L"\\*");
    g_find[depth] = FindFirstFileExW(g_tree, FindExInfoBasic, &g_found, FindExSearchNameMatch, 0, 0);
    g_tree[g_length[depth]] = 0;
    return g_find[depth] != INVALID_HANDLE_VALUE;
}

// One pass, deepest first, until the tick count reaches deadline (0: none);
// true when everything went, the folder itself too.
bool Tree_Delete(const WCHAR *root, DWORD deadline)
{
    bool all = true;
    g_tree[0] = 0;
    Text_Append(g_tree, kPathChars, L"\\\\?\\");
    Text_Append(g_tree, kPathChars, root);
    DWORD a = GetFileAttributesW(g_tree);
    // The root itself a link: never followed.
    if (a == INVALID_FILE_ATTRIBUTES || (a & FILE_ATTRIBUTE_REPARSE_POINT) != 0 || !Open(0))
        return a == INVALID_FILE_ATTRIBUTES;
    int depth = 0;
    bool pending = true;  // g_found holds an entry not yet dealt with
    for (;;) {
        if (deadline != 0 && (int)(GetTickCount() - deadline) >= 0) {
            while (depth >= 0)
                FindClose(g_find[depth--]);
            return false;
        }
        if (!pending && !FindNextFileW(g_find[depth], &g_found)) {
            FindClose(g_find[depth]);
            g_tree[g_length[depth]] = 0;
            all = RemoveDirectoryW(g_tree) && all;
            if (depth-- == 0)
                return all;
            g_tree[g_length[depth]] = 0;
            continue;
        }
        pending = false;
        const WCHAR *name = g_found.cFileName;
        if (name[0] == L'.' && (name[1] == 0 || (name[1] == L'.' && name[2] == 0)))
            continue;
        Text_Append(g_tree, kPathChars, L"\\");
        Text_Append(g_tree, kPathChars, name);
        DWORD a = g_found.dwFileAttributes;
        if (a & FILE_ATTRIBUTE_READONLY)
            SetFileAttributesW(g_tree, a & ~FILE_ATTRIBUTE_READONLY);
        // A link (junction, symbolic link) goes itself; what it points at stays.
        bool folder = (a & FILE_ATTRIBUTE_DIRECTORY) != 0, link = (a & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
        if (folder && !link && depth + 1 < kMaxDepth && Open(depth + 1)) {
            depth++;
            pending = true;
            continue;
        }
        all = (folder ? RemoveDirectoryW(g_tree) : DeleteFileW(g_tree)) && all;
        g_tree[g_length[depth]] = 0;
    }
}
