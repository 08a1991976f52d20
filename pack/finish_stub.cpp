// finish_stub.cpp: the bare stub's and the bare runner's last build step:
// selfextr-finish-stub IMAGE SOURCE_DATE_EPOCH.
#include "package/assemble.h"

#include <iostream>

int main(int argc, char **argv)
{
    if (argc != 3) {
        std::cerr << "usage: selfextr-finish-stub IMAGE SOURCE_DATE_EPOCH\n";
        return 2;
    }
    std::string error;
    if (!selfextr::Package_FinishBareImage(argv[1], argv[2], error)) {
        std::cerr << "selfextr: " << error << "\n";
        return 1;
    }
    return 0;
}
