// ceiling_probe: writes a package larger than selfextr pack allows, to find
// how large a finished stub can grow before the stub no longer maps or
// extracts it under Wine. Used by bench/ceiling.sh only.
//   ceiling_probe STUB OUTPUT SOURCE COUNT
// gives COUNT entries F1.BIN ... each holding SOURCE's bytes, and no SETUP.EXE.
#include <cstdio>
#include <fstream>
#include <string>

#include "cli/commands.h"

using namespace selfextr;

int main(int argc, char **argv)
{
    if (argc != 5)
        return fprintf(stderr, "usage: ceiling_probe STUB OUTPUT SOURCE COUNT\n"), 2;
    std::string error, date, time;
    auto image = Image_Load(argv[1], error);
    if (!image || !Date_Encode("2026-12-08", date, error) || !Date_EncodeTime("0:00", time, error))
        return fprintf(stderr, "%s\n", error.c_str()), 1;
    const uint64_t size = std::filesystem::file_size(argv[3]);
    const int count = atoi(argv[4]);
    auto u16 = [](const std::string &s) { return std::u16string(s.begin(), s.end()); };
    std::map<uint16_t, std::u16string> strings = {{kStringCaption, u"Probe"}, {kStringPrompt, u"Extract?"},
        {kStringDate, u16(date)}, {kStringTime, u16(time)}, {kStringTotal, u16(std::to_string(size * count))}};
    ResTree tree = image->resources;
    for (int n = 0; n < count; n++) {
        strings[uint16_t(kEntryFirst + n)] = u16("F" + std::to_string(n + 1) + ".BIN," + std::to_string(size));
        tree[ResKey::Id(kRtEntry)][ResKey::Id(uint16_t(kEntryFirst + n))][kLangEnUs].bytes = FileBytes{argv[3], size};
    }
    StringTable_Put(strings, tree);

    std::ofstream out(argv[2], std::ios::binary | std::ios::trunc);
    ImageSink sink;
    sink.write = [&](const uint8_t *p, size_t n) { return bool(out.write((const char *)p, n)); };
    sink.patch = [&](uint64_t at, const uint8_t *p, size_t n) {
        out.seekp(at);
        return bool(out.write((const char *)p, n));
    };
    if (!Image_Write(*image, tree, {}, sink, error))
        return fprintf(stderr, "%s\n", error.c_str()), 1;
    return out.close(), out ? 0 : 1;
}
