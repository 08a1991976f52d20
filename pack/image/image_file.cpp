// image_file.cpp: an image read whole from a file, and written to one atomically.
#include "image/pe.h"

#include "base/input.h"
#include "base/output.h"

#include <cerrno>
#include <unistd.h>

namespace selfextr {

namespace fs = std::filesystem;

// The largest input read: a PE32 image cannot be larger.
constexpr uint64_t kMaxInputBytes = 0xFFFFFFFFu;

std::optional<Image> Image_Load(const fs::path &path, std::string &error)
{
    InputFile in;
    std::vector<uint8_t> bytes;
    if (!Input_Open(path, in, error))
        return std::nullopt;
    if (in.size > kMaxInputBytes)
        return error = "cannot read " + path.string() + ": larger than any 32-bit image (" + std::to_string(in.size) +
                       " bytes)", std::nullopt;
    bytes.resize(size_t(in.size));
    if (!Input_Read(in, bytes.data(), bytes.size(), error) || !Input_AtEnd(in, error))
        return std::nullopt;
    auto image = Image_Parse(std::move(bytes), error);
    if (!image)
        error = path.string() + ": " + error;
    return image;
}

bool Image_WriteFile(const Image &image, const ResTree &tree, const WriteOptions &options, const fs::path &output,
                     std::string &error)
{
    PendingOutput pending;
    if (!pending.Create(output, error))
        return false;
    ImageSink sink;
    int fd = pending.fd;
    // Why the file refused bytes, kept at the moment it did.
    int refusedBy = 0;
    auto took = [&](bool ok) {
        if (!ok && refusedBy == 0)
            refusedBy = errno != 0 ? errno : ENOSPC;
        return ok;
    };
    sink.write = [&](const uint8_t *p, size_t n) {
        errno = 0;
        return took(Output_WriteFd(fd, p, n));
    };
    sink.patch = [&](uint64_t at, const uint8_t *p, size_t n) {
        errno = 0;
        return took(lseek(fd, off_t(at), SEEK_SET) == off_t(at) && Output_WriteFd(fd, p, n));
    };
    Failure failure;
    if (!Image_Write(image, tree, options, sink, failure)) {
        error = failure.kind == FailureKind::Write ? "cannot write " + output.string() + ": " + Output_SystemError(refusedBy)
                                                   : failure.message;
        return false;
    }
    return pending.Commit(output, error);
}

}  // namespace selfextr
