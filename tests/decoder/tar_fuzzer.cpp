// libFuzzer target: the tar reader fed any bytes, in pieces whose size the
// first byte chooses, must end or fail with a reason, and whatever entry it
// gives must have a path that stays in its folder, a time Windows can set and
// data inside the input; a copy's target must obey the path rules too, and
// every entry goes through the order rules' memory, a copy's target first.
#include "decoder/tar.h"

#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size == 0)
        return 0;
    const size_t step = size_t(data[0]) * 7 + 1;
    data++, size--;
    static auto t = std::make_unique<selfextr::TarReader>();
    selfextr::Tar_Init(t.get());
    static char other[selfextr::kTarOtherBytes];
    selfextr::PathMemory seen;
    selfextr::PathMemory_Init(&seen, [](void *, uint32_t bytes) { return malloc(bytes); }, [](void *, void *block) { free(block); }, nullptr);
    struct Forget {
        selfextr::PathMemory *m;
        ~Forget() { selfextr::PathMemory_Free(m); }
    } forget{&seen};
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
            (strlen(t->entry.path) != t->entry.pathBytes || selfextr::Path_Check(t->entry.path, t->entry.pathBytes).why ||
             !selfextr::Tar_TimeFits(t->entry.mtime) ||
             (t->entry.target != nullptr &&
              (strlen(t->entry.target) != t->entry.targetBytes || t->entry.size != 0 || t->entry.folder ||
               selfextr::Path_Check(t->entry.target, t->entry.targetBytes).why))))
            __builtin_trap();
        if (s == selfextr::TAR_ENTRY) {
            uint32_t otherBytes = 0;
            uint64_t copied = 0;
            selfextr::PathProblem p = selfextr::Tar_Remember(&seen, t->entry, other, sizeof other, &otherBytes, &copied);
            if (p.why == selfextr::kPathNoMemory || otherBytes >= sizeof other || (otherBytes != 0 && other[otherBytes] != 0))
                __builtin_trap();
            // A copy accepted names, as spelled, an earlier file of its size, and is itself no target.
            if (p.why == nullptr && t->entry.target != nullptr) {
                static char check[selfextr::kTarOtherBytes];
                const std::string spelled(other, otherBytes);
                uint64_t size = 0;
                uint32_t n = 0;
                if (selfextr::PathMemory_Target(&seen, spelled.data(), uint32_t(spelled.size()), check, sizeof check, &n, &size)
                            .why != nullptr ||
                    size != copied ||
                    selfextr::PathMemory_Target(&seen, t->entry.path, t->entry.pathBytes, check, sizeof check, &n, &size).why !=
                        selfextr::kPathTargetCopy)
                    __builtin_trap();
            }
        }
        if (s == selfextr::TAR_DATA && (p < data + at || p + pn > data + at + used))
            __builtin_trap();
        if (used == 0 && s == selfextr::TAR_MORE)
            __builtin_trap();
        at += used;
    }
    return 0;
}
