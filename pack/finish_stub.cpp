// finish_stub.cpp: the bare stub's and the bare runner's last build step:
// selfextr-finish-stub [--compact-headers] IMAGE SOURCE_DATE_EPOCH.
#include "package/assemble.h"

#include <cstring>
#include <iostream>

int main(int argc, char **argv)
{
    // An option, not the default: the stub's bytes are fixed, and only the
    // runner takes the 512 bytes the linker's DOS program costs.
    bool compact = argc == 4 && strcmp(argv[1], "--compact-headers") == 0;
    if (argc != 3 && !compact) {
        std::cerr << "usage: selfextr-finish-stub [--compact-headers] IMAGE SOURCE_DATE_EPOCH\n";
        return 2;
    }
    std::string error;
    if (!selfextr::Package_FinishBareImage(argv[argc - 2], argv[argc - 1], compact, error)) {
        std::cerr << "selfextr: " << error << "\n";
        return 1;
    }
    return 0;
}
