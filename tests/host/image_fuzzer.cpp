// libFuzzer target: the image reader must reject any input with a message, never crash or hang.
#include "pe.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    std::string error;
    auto image = selfextr::Image_Parse(std::vector<uint8_t>(data, data + size), error);
    if (!image && error.empty())
        __builtin_trap();
    return 0;
}
