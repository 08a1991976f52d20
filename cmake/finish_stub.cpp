// finish_stub.cpp: the bare stub's last build step: selfextr-finish-stub STUB SOURCE_DATE_EPOCH.
#include "cli/commands.h"

#include <iostream>

int main(int argc, char **argv)
{
    if (argc != 3) {
        std::cerr << "usage: selfextr-finish-stub STUB SOURCE_DATE_EPOCH\n";
        return 2;
    }
    return selfextr::Command_FinishStub(argv[1], argv[2], std::cerr);
}
