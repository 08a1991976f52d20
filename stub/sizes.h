// sizes.h: the stub's buffer sizes and limits; the host tool checks packages against them.
#pragma once

enum {
    kTextBytes = 260,     // every path, message and package string, terminator included
    kCaptionBytes = 64,   // the caption
    MAX_REGISTER = 260,   // files the clean-up can find, so entries a package can have
    DELETE_TRIES = 256,   // probes of one file's deletion; the deletion itself is tried once more
    CHUNK_BYTES = 32760,  // the most written in one call between two meter redraws: 0x7FF8, not 32,768
};
