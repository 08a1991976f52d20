// tree_output.cpp: a folder tree written below a folder. On POSIX every step
// is taken relative to a folder already open without following a link, so
// that nothing swapped in by a neighbour redirects a write.
#include "base/tree_output.h"
#include "base/output.h"

#include <cerrno>
#include <chrono>
#include "base/posix_flags.h"
#include <sys/stat.h>
#include <unistd.h>

namespace selfextr {

namespace fs = std::filesystem;

namespace {

#ifdef _WIN32
fs::path Utf8Path(const std::string &path) { return fs::path(reinterpret_cast<const char8_t *>(path.c_str())); }
#else
std::string InTheWay(mode_t mode)
{
    return std::string("a ") + (S_ISDIR(mode) ? "folder" : S_ISFIFO(mode) ? "FIFO" : S_ISSOCK(mode) ? "socket" : "device") +
           " of that name is in the way; it was left alone";
}

// The folder that holds path's last name (or path itself with whole), made
// as needed; each folder made is remembered in made.
bool Walk(TreeOutput &t, const std::string &path, bool whole, int &dirFd, std::string &last, std::string &error)
{
    dirFd = dup(t.root);
    size_t start = 0;
    for (;;) {
        size_t slash = path.find('/', start);
        if (slash == std::string::npos && !whole) {
            last = path.substr(start);
            return true;
        }
        std::string name = path.substr(start, slash == std::string::npos ? std::string::npos : slash - start);
        // On failure dirFd is -1, never a number closed here that the
        // caller would close again.
        if (mkdirat(dirFd, name.c_str(), 0755) == 0) {
            t.made.emplace_back(path.substr(0, slash), true);
        } else if (errno != EEXIST) {
            const int why = errno;
            close(dirFd);
            dirFd = -1;
            return error = "cannot create " + (t.shown / path).string() + ": " + Output_SystemError(why), false;
        }
        const int next = openat(dirFd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        const int why = errno;
        close(dirFd);
        dirFd = next;
        if (next < 0)
            return error = "cannot create " + (t.shown / path).string() + ": \"" + name + "\" is in the way (" +
                           Output_SystemError(why) + ")",
                   false;
        if (slash == std::string::npos)
            return true;
        start = slash + 1;
    }
}
#endif

}  // namespace

bool TreeOutput::Open(const fs::path &dir, std::string &error)
{
    shown = dir;
#ifndef _WIN32
    // The folder itself is never reached through a link.
    if (mkdir(dir.c_str(), 0755) != 0 && errno != EEXIST)
        return error = "cannot create " + dir.string() + ": " + Output_SystemError(errno), false;
    root = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (root < 0) {
        struct stat st;
        std::string why = lstat(dir.c_str(), &st) == 0 && S_ISLNK(st.st_mode) ? "it is a symbolic link"
                          : errno == ENOTDIR                                ? "it is not a folder"
                                                                            : Output_SystemError(errno);
        return error = "cannot extract into " + dir.string() + ": " + why, false;
    }
#else
    std::error_code ec;
    fs::create_directories(dir, ec);
    if (ec)
        return error = "cannot create " + dir.string() + ": " + ec.message(), false;
#endif
    return true;
}

bool TreeOutput::Folder(const std::string &path, std::string &error)
{
#ifndef _WIN32
    int dirFd;
    if (!Walk(*this, path, true, dirFd, leaf, error))
        return false;
    close(dirFd);
#else
    std::error_code ec;
    if (fs::create_directories(shown / Utf8Path(path), ec))
        made.emplace_back(path, true);
    if (ec)
        return error = "cannot create " + (shown / path).string() + ": " + ec.message(), false;
#endif
    return true;
}

bool TreeOutput::File(const std::string &path, int64_t time, std::string &error)
{
    Abandon();
    mtime = time;
    current = path;
    const std::string named = "cannot write " + (shown / path).string() + ": ";
    fs::path tempPath;
#ifndef _WIN32
    if (!Walk(*this, path, false, parent, leaf, error))
        return false;
    struct stat st;
    if (fstatat(parent, leaf.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && !S_ISREG(st.st_mode) && !S_ISLNK(st.st_mode))
        return error = named + InTheWay(st.st_mode), false;
    fd = Output_CreateTemp(parent, {}, 0644, tempPath);
#else
    target = shown / Utf8Path(path);
    fd = Output_CreateTemp(-1, target.parent_path(), 0644, tempPath);
#endif
    if (fd < 0)
        return error = named + Output_SystemError(errno), false;
    temp = tempPath;
    return true;
}

bool TreeOutput::Data(const uint8_t *p, size_t n, std::string &error)
{
    errno = 0;
    if (!Output_WriteFd(fd, p, n))
        return error = "cannot write " + (shown / current).string() + ": " + Output_SystemError(errno ? errno : ENOSPC), false;
    return true;
}

bool TreeOutput::FileEnd(std::string &error)
{
    const std::string named = "cannot write " + (shown / current).string() + ": ";
#ifndef _WIN32
    timespec times[2] = {{time_t(mtime), 0}, {time_t(mtime), 0}};
    if (futimens(fd, times) != 0 || fsync(fd) != 0)
        return error = named + Output_SystemError(errno), false;
    const int closed = close(fd);
    fd = -1;
    // A link of the file's name is replaced itself; what it pointed at is untouched.
    if (closed != 0 || renameat(parent, temp.c_str(), parent, leaf.c_str()) != 0)
        return error = named + Output_SystemError(errno), false;
    close(parent);
    parent = -1;
#else
    const int closed = _close(fd);
    fd = -1;
    if (closed != 0)
        return error = named + Output_SystemError(errno), false;
    std::error_code ec;
    fs::last_write_time(temp, fs::file_time_type::clock::from_sys(std::chrono::system_clock::from_time_t(time_t(mtime))), ec);
    if (!ec)
        fs::rename(temp, target, ec);
    if (ec)
        return error = named + ec.message(), false;
#endif
    temp.clear();
    made.emplace_back(current, false);
    return true;
}

bool TreeOutput::Copy(const std::string &from, const std::string &path, int64_t time, std::string &error)
{
    const std::string named = "cannot read " + (shown / from).string() + ": ";
#ifndef _WIN32
    int dirFd;
    std::string name;
    if (!Walk(*this, from, false, dirFd, name, error))
        return false;
    const int source = openat(dirFd, name.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
    const int why = errno;
    close(dirFd);
#else
    const int source = _wopen((shown / Utf8Path(from)).c_str(), _O_RDONLY | _O_BINARY);
    const int why = errno;
#endif
    if (source < 0)
        return error = named + Output_SystemError(why), false;
    struct Closer {
        int fd;
        ~Closer() { close(fd); }
    } closer{source};
    struct stat st;
    if (fstat(source, &st) != 0 || !S_ISREG(st.st_mode))
        return error = named + "it is not a regular file", false;
    if (!File(path, time, error))
        return false;
    std::vector<uint8_t> chunk(1 << 20);
    for (;;) {
        const ssize_t n = read(source, chunk.data(), chunk.size());
        if (n < 0)
            return Abandon(), error = named + Output_SystemError(errno), false;
        if (n == 0)
            break;
        if (!Data(chunk.data(), size_t(n), error))
            return Abandon(), false;
    }
    return FileEnd(error);
}

void TreeOutput::Abandon()
{
#ifndef _WIN32
    if (fd >= 0)
        close(fd);
    if (!temp.empty() && parent >= 0)
        unlinkat(parent, temp.c_str(), 0);
    if (parent >= 0)
        close(parent);
    parent = -1;
#else
    if (fd >= 0)
        _close(fd);
    std::error_code ec;
    if (!temp.empty())
        fs::remove(temp, ec);
#endif
    fd = -1;
    temp.clear();
}

void TreeOutput::Remove()
{
    Abandon();
    for (auto it = made.rbegin(); it != made.rend(); ++it) {
#ifndef _WIN32
        int dirFd = dup(root);
        size_t start = 0, slash;
        while (dirFd >= 0 && (slash = it->first.find('/', start)) != std::string::npos) {
            int next = openat(dirFd, it->first.substr(start, slash - start).c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
            close(dirFd);
            dirFd = next;
            start = slash + 1;
        }
        if (dirFd >= 0) {
            unlinkat(dirFd, it->first.substr(start).c_str(), it->second ? AT_REMOVEDIR : 0);
            close(dirFd);
        }
#else
        std::error_code ec;
        fs::remove(shown / Utf8Path(it->first), ec);
#endif
    }
    made.clear();
}

TreeOutput::~TreeOutput()
{
    Abandon();
#ifndef _WIN32
    if (root >= 0)
        close(root);
#endif
}

}  // namespace selfextr
