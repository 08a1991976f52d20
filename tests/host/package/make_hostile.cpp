// make_hostile.cpp: every row of hostile_payloads.h written as
// runner-hostile-<id>.exe, for the runner's test under Wine.
#include "hostile_craft.h"

#include <cstdio>

int main(int argc, char **argv)
{
    if (argc != 4) {
        fprintf(stderr, "usage: make_hostile STUB RUNNER FOLDER\n");
        return 2;
    }
    for (const HostilePayload &p : kHostilePayloads) {
        std::string error;
        if (!hostile::Package(p, argv[1], argv[2], std::string(argv[3]) + "/runner-hostile-" + p.id + ".exe", error)) {
            fprintf(stderr, "make_hostile: %s: %s\n", p.id, error.c_str());
            return 1;
        }
    }
    // A block larger than pack writes, which only the runner refuses.
    const HostilePayload large = {"large-block", kHostileLargeBlock, {}, "", 0};
    std::string error;
    if (!hostile::Package(large, argv[1], argv[2], std::string(argv[3]) + "/runner-large-block.exe", error)) {
        fprintf(stderr, "make_hostile: large-block: %s\n", error.c_str());
        return 1;
    }
    return 0;
}
