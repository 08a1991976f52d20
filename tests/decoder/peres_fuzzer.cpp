// libFuzzer target: the resource reader fed any bytes as an image file must
// end, and whatever it finds (the package marker, the runner's settings, any
// type and name the input's first bytes choose) must lie inside the input.
#include "decoder/peres.h"

#include <initializer_list>

static void Inside(const uint8_t *data, size_t size, const selfextr::PeBytes &found)
{
    if (found.data < data || found.size > size || found.data + found.size > data + size)
        __builtin_trap();
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    using namespace selfextr;
    PeImage image;
    if (!PeRes_Open(data, size, &image))
        return 0;
    if (image.rsrcBytes != 0 && (image.rsrcOffset >= size || image.rsrcBytes > size - image.rsrcOffset))
        __builtin_trap();
    // Chosen by the input, so that the fuzzer can reach resources it makes up.
    const uint16_t type = size > 70 ? uint16_t(data[64] | data[65] << 8) : 10, id = size > 70 ? uint16_t(data[66] | data[67] << 8) : 2;
    const uint16_t user = size > 70 ? uint16_t(data[68] | data[69] << 8) : 0x0407;
    PeBytes found;
    const uint16_t finds[][2] = {{10, 2}, {5, 2000}, {type, id}};
    for (const auto &f : finds)
        if (PeRes_Find(&image, f[0], f[1], user, &found) == PE_FOUND)
            Inside(data, size, found);
    for (uint16_t s : {uint16_t(100), uint16_t(3001), uint16_t(3002), id})
        if (PeRes_String(&image, s, user, &found) == PE_FOUND) {
            Inside(data, size, found);
            if (found.size == 0 || found.size % 2 != 0)
                __builtin_trap();
        }
    return 0;
}
