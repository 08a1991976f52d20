// files.h: whole files and FNV-1a hashes, for the test programs and the setup programs they pack.
#pragma once
#include <cstddef>
#include <cstdio>
#include <string>

// The whole file, or an empty string when it cannot be read.
inline std::string File_Read(const std::string &path)
{
    std::string data;
    if (FILE *f = fopen(path.c_str(), "rb")) {
        char block[65536];
        for (size_t got; (got = fread(block, 1, sizeof block, f)) != 0;)
            data.append(block, got);
        fclose(f);
    }
    return data;
}

// FNV-1a, 32 bits, of n bytes, continuing from h.
inline unsigned Fnv1a(const unsigned char *p, size_t n, unsigned h = 2166136261u)
{
    for (size_t i = 0; i < n; i++)
        h = (h ^ p[i]) * 16777619u;
    return h;
}

// FNV-1a of a whole file, read in blocks; 0 when it cannot be read.
inline unsigned File_Fnv1a(const std::string &path)
{
    FILE *f = fopen(path.c_str(), "rb");
    if (!f)
        return 0;
    static unsigned char block[65536];
    unsigned h = 2166136261u;
    for (size_t got; (got = fread(block, 1, sizeof block, f)) != 0;)
        h = Fnv1a(block, got, h);
    fclose(f);
    return h;
}
