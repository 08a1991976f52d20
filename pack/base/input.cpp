// input.cpp: reading the tool's inputs, every failure with its reason.
#include "base/input.h"

#include <cerrno>
#include <cstring>
#include "base/posix_flags.h"
#include <sys/stat.h>
#include <unistd.h>

namespace selfextr {

InputFile::~InputFile()
{
    if (fd >= 0)
        close(fd);
}

bool Input_Open(const std::filesystem::path &path, InputFile &file, std::string &error)
{
    file.path = path.string();
    file.fd = open(file.path.c_str(), O_RDONLY | O_BINARY | O_NONBLOCK | O_CLOEXEC);
    if (file.fd < 0)
        return error = "cannot read " + file.path + ": " + std::strerror(errno), false;
    struct stat st;
    if (fstat(file.fd, &st) != 0)
        return error = "cannot read " + file.path + ": " + std::strerror(errno), false;
    if (S_ISDIR(st.st_mode))
        return error = "cannot read " + file.path + ": " + std::strerror(EISDIR), false;
    if (!S_ISREG(st.st_mode))
        return error = "cannot read " + file.path + ": not a regular file", false;
    file.size = uint64_t(st.st_size);
    return true;
}

bool Input_Read(InputFile &file, uint8_t *p, size_t n, std::string &error)
{
    while (n != 0) {
        ssize_t got = ::read(file.fd, p, n);
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0)
            return error = "cannot read " + file.path + ": " + std::strerror(errno), false;
        if (got == 0)
            return error = "cannot read " + file.path + ": it ended early (it shrank while it was read)", false;
        p += got;
        n -= size_t(got);
    }
    return true;
}

InputNext Input_Peek(InputFile &file, std::string &error)
{
    uint8_t byte;
    for (;;) {
        ssize_t got = ::read(file.fd, &byte, 1);
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0)
            return error = "cannot read " + file.path + ": " + std::strerror(errno), InputNext::kFailed;
        return got == 0 ? InputNext::kEnd : InputNext::kMore;
    }
}

bool Input_AtEnd(InputFile &file, std::string &error)
{
    InputNext next = Input_Peek(file, error);
    if (next == InputNext::kMore)
        error = "cannot read " + file.path + ": it grew while it was read";
    return next == InputNext::kEnd;
}

}  // namespace selfextr
