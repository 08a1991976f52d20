// output.cpp: outputs written beside their name, synced and renamed into place.
#include "base/output.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include "base/posix_flags.h"
#include <sys/stat.h>
#include <unistd.h>

namespace selfextr {

namespace fs = std::filesystem;

namespace {

// The temporary output, removed on every way out, a signal among them.
char g_pendingOutput[4096];

void RemovePendingOutput(int signal)
{
    if (g_pendingOutput[0] != '\0')
        unlink(g_pendingOutput);
    std::signal(signal, SIG_DFL);
    std::raise(signal);
}

}  // namespace

std::string Output_SystemError(int code) { return std::strerror(code); }

bool Output_WriteFd(int fd, const uint8_t *p, size_t n)
{
    while (n != 0) {
        auto w = ::write(fd, p, n);
        if (w <= 0)
            return false;
        p += w;
        n -= size_t(w);
    }
    return true;
}

std::string Output_TempName(int attempt)
{
    return ".selfextr-" + std::to_string(getpid()) + "-" + std::to_string(attempt) + ".tmp";
}

int Output_CreateTemp(int dirFd, const fs::path &folder, unsigned mode, fs::path &temp)
{
    for (int attempt = 0; attempt < 100; attempt++) {
#ifdef _WIN32
        (void)dirFd;
        temp = folder / Output_TempName(attempt);
        int fd = _wopen(temp.c_str(), _O_RDWR | _O_CREAT | _O_EXCL | _O_BINARY, _S_IREAD | _S_IWRITE);
        (void)mode;
#else
        temp = dirFd >= 0 ? fs::path(Output_TempName(attempt)) : folder / Output_TempName(attempt);
        int fd = dirFd >= 0 ? openat(dirFd, temp.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode)
                            : open(temp.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode);
#endif
        if (fd >= 0 || errno != EEXIST)
            return fd;
    }
    errno = EEXIST;
    return -1;
}

bool PendingOutput::Create(const fs::path &output, std::string &error)
{
    fs::path folder = output.parent_path();
    if (folder.empty())
        folder = ".";
    if ((folder / Output_TempName(99)).string().size() >= sizeof g_pendingOutput)
        return error = "the output's path is too long", false;
    fs::path temp;
    fd = Output_CreateTemp(-1, folder, 0600, temp);
    if (fd < 0)
        return error = "cannot create a temporary file beside " + output.string() + ": " + Output_SystemError(errno), false;
    path = temp;
    const std::string name = temp.string();
    memcpy(g_pendingOutput, name.c_str(), name.size() + 1);
#ifndef _WIN32
    std::signal(SIGINT, RemovePendingOutput);
    std::signal(SIGTERM, RemovePendingOutput);
    std::signal(SIGHUP, RemovePendingOutput);
    // An executable, as the umask allows, or the mode of the file it replaces.
    mode_t mask = umask(0);
    umask(mask);
    struct stat st;
    mode_t mode = lstat(output.string().c_str(), &st) == 0 && S_ISREG(st.st_mode) ? st.st_mode & 07777 : 0777 & ~mask;
    fchmod(fd, mode);
#endif
    return true;
}

bool PendingOutput::Commit(const fs::path &output, std::string &error)
{
    bool ok = true;
#ifndef _WIN32
    if (fsync(fd) != 0)
        ok = false, error = "cannot write " + output.string() + ": " + Output_SystemError(errno);
#endif
    if (close(fd) != 0 && ok)
        ok = false, error = "cannot write " + output.string() + ": " + Output_SystemError(errno);
    fd = -1;
    std::error_code ec;
    if (ok)
        fs::rename(path, output, ec);
    if (ok && ec)
        ok = false, error = "cannot write " + output.string() + ": " + ec.message();
    if (ok)
        Forget();
    return ok;
}

void PendingOutput::Forget()
{
    g_pendingOutput[0] = '\0';
    path.clear();
}

PendingOutput::~PendingOutput()
{
    if (fd >= 0)
        close(fd);
    if (!path.empty())
        unlink(path.string().c_str());
    Forget();
}

bool Output_WriteFile(const fs::path &output, std::span<const uint8_t> bytes, std::string &error)
{
    PendingOutput pending;
    if (!pending.Create(output, error))
        return false;
    errno = 0;
    if (!Output_WriteFd(pending.fd, bytes.data(), bytes.size()))
        return error = "cannot write " + output.string() + ": " + Output_SystemError(errno ? errno : ENOSPC), false;
    return pending.Commit(output, error);
}

}  // namespace selfextr
