// options.h: what pack's command line adds to the manifest.
#pragma once
#include "package/package.h"

namespace selfextr {

// pack's options besides the stub and the output; an empty text was not given.
struct PackOptionValues {
    std::string caption, prompt, date, time, executionLevel;
    bool allowNonAscii = false;
    // In package order: SOURCE[=NAME] of a file, or a folder whose files all go in.
    struct Input {
        bool folder;
        std::string text;
    };
    std::vector<Input> inputs;
    VersionRecord version;           // each field given on its own
    std::string payloadDir, run, runner;
    uint64_t payloadBlockBytes = 0, memoryLimit = 0;  // 0: not given
    uint32_t threads = 0;
};

// The request: the manifest's, with each option given on the command line in
// place of its value. Version fields replace only themselves; files follow
// the manifest's.
PackRequest Options_Merge(const PackRequest &manifest, const PackOptionValues &options);

}  // namespace selfextr
