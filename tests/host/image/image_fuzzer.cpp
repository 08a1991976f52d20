// libFuzzer target: the image reader must reject any input with a message,
// never crash or hang; whatever it accepts, the listing must decode by the
// stub's rules and the writer must write back, or refuse with a message,
// without reading or writing out of bounds.
#include "package/package.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    std::string error;
    auto image = selfextr::Image_Parse(std::vector<uint8_t>(data, data + size), error);
    if (!image) {
        if (error.empty())
            __builtin_trap();
        return 0;
    }
    selfextr::Package_List(image->resources);
    uint64_t written = 0;
    volatile uint8_t seen = 0;
    selfextr::ImageSink sink;
    sink.write = [&](const uint8_t *p, size_t n) {
        for (size_t i = 0; i < n; i += 4096)
            seen = seen ^ p[i];  // read what is written, so that a bad pointer shows
        written += n;
        return true;
    };
    // The checksum lies in the headers, which were written first.
    sink.patch = [&](uint64_t at, const uint8_t *, size_t n) {
        if (at + n > written)
            __builtin_trap();
        return true;
    };
    selfextr::WriteOptions options;
    options.stripSignature = true;
    error.clear();
    if (!selfextr::Image_Write(*image, image->resources, options, sink, error) && error.empty())
        __builtin_trap();
    return 0;
}
