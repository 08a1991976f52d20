// updres: copies the bare stub and adds a package with the platform's
// UpdateResourceA, so that tests can compare with what selfextr writes.
// updres OUT.exe STUB.exe ID TYPE TEXT-OR-@FILE ...  (TYPE 6: a string id, 32: an entry)
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <vector>

int main(int argc, char **argv)
{
    if (argc < 3 || (argc - 3) % 3 != 0) {
        fprintf(stderr, "usage: updres OUT STUB [ID TYPE VALUE]...\n");
        return 2;
    }
    if (!CopyFileA(argv[2], argv[1], FALSE))
        return 3;
    HANDLE update = BeginUpdateResourceA(argv[1], FALSE);
    if (!update)
        return 4;
    std::map<int, std::vector<std::wstring>> blocks;
    for (int i = 3; i < argc; i += 3) {
        int id = atoi(argv[i]), type = atoi(argv[i + 1]);
        std::string value = argv[i + 2];
        if (type == 6) {
            auto &block = blocks[(id >> 4) + 1];
            block.resize(16);
            block[id & 15] = std::wstring(value.begin(), value.end());
        } else {
            std::ifstream in(value.substr(1), std::ios::binary);
            std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
            if (!UpdateResourceA(update, MAKEINTRESOURCEA(type), MAKEINTRESOURCEA(id), 0x0409, bytes.data(), DWORD(bytes.size())))
                return 5;
        }
    }
    for (auto &[block, strings] : blocks) {
        std::vector<WCHAR> data;
        for (auto &s : strings) {
            data.push_back(WCHAR(s.size()));
            data.insert(data.end(), s.begin(), s.end());
        }
        if (!UpdateResourceA(update, MAKEINTRESOURCEA(6), MAKEINTRESOURCEA(block), 0x0409, data.data(), DWORD(data.size() * 2)))
            return 6;
    }
    return EndUpdateResourceA(update, FALSE) ? 0 : 7;
}
