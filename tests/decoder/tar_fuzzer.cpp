// libFuzzer target: the tar reader fed any bytes, in pieces whose size the
// first byte chooses, must end or fail with a reason, and whatever entry it
// gives must have a path that stays in its folder and data inside the input.
#include "decoder/tar.h"

#include <cstring>
#include <memory>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size == 0)
        return 0;
    const size_t step = size_t(data[0]) * 7 + 1;
    data++, size--;
    static auto t = std::make_unique<selfextr::TarReader>();
    selfextr::Tar_Init(t.get());
    for (size_t at = 0; at < size;) {
        size_t n = step < size - at ? step : size - at, used;
        const uint8_t *p;
        size_t pn;
        selfextr::TarStatus s = selfextr::Tar_Feed(t.get(), data + at, n, &used, &p, &pn);
        if (used > n)
            __builtin_trap();
        if (s == selfextr::TAR_ERROR) {
            if (t->error == nullptr)
                __builtin_trap();
            return 0;
        }
        if (s == selfextr::TAR_ENTRY &&
            (strlen(t->entry.path) != t->entry.pathBytes || selfextr::Path_Check(t->entry.path, t->entry.pathBytes).why))
            __builtin_trap();
        if (s == selfextr::TAR_DATA && (p < data + at || p + pn > data + at + used))
            __builtin_trap();
        if (used == 0 && s == selfextr::TAR_MORE)
            __builtin_trap();
        at += used;
    }
    return 0;
}
