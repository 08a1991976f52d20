// commands.cpp: pack, runner, list, verify and extract.
#include "cli/commands.h"
#include "base/output.h"
#include "package/assemble.h"
#include "cli/listing_json.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <fstream>
#include <iomanip>
#include <iostream>
#include <sys/stat.h>
#include <unistd.h>
#ifndef O_NOFOLLOW
#define O_NOFOLLOW 0
#endif
#ifndef O_CLOEXEC
#define O_CLOEXEC 0
#endif

namespace selfextr {

namespace fs = std::filesystem;

namespace {

std::string SystemError(int code) { return Output_SystemError(code); }
bool WriteFd(int fd, const uint8_t *p, size_t n) { return Output_WriteFd(fd, p, n); }

// Text from a package, as a terminal may show it: control characters (C0,
// DEL and C1, which a terminal may act on) and bidirectional marks (which
// show a name in another order) escaped as \xNN and \uNNNN.
std::string Shown(const std::string &text)
{
    // An escape is at most six bytes for at least one.
    std::string out(text.size() * 6 + 1, '\0');
    out.resize(Path_AppendShown(out.data(), 0, uint32_t(out.size()), text.data(), uint32_t(text.size())));
    return out;
}

// A name as list shows it: quoted when it is empty or holds a blank, a quote,
// a backslash or anything Shown escapes, so that each line splits into
// number, name and size; inside the quotes " and \ are escaped too.
std::string Quoted(const std::string &name)
{
    bool plain = !name.empty() && Shown(name) == name;
    for (unsigned char c : name)
        plain = plain && c != ' ' && c != '"' && c != '\\';
    if (plain)
        return name;
    std::string escaped;
    for (char c : name) {
        if (c == '"' || c == '\\')
            escaped += '\\';
        escaped += c;
    }
    return "\"" + Shown(escaped) + "\"";
}

}  // namespace

namespace {

// Whether a and b are one file, by device and inode, not by name.
bool SameFile(const fs::path &a, const fs::path &b)
{
    std::error_code ec;
    return fs::equivalent(a, b, ec) && !ec;
}

}  // namespace

int Command_Runner(std::span<const uint8_t> runner, const fs::path &output, std::ostream &out, std::ostream &err)
{
    std::string error;
    if (runner.empty())
        return err << "selfextr: this build of selfextr carries no runner\n", 1;
    if (!Output_WriteFile(fs::absolute(output), runner, error))
        return err << "selfextr: " << error << "\n", 1;
    out << "wrote " << output.string() << " (the runner, " << runner.size() << " bytes)\n";
    return 0;
}

int Command_Pack(const PackOptions &options, const PackRequest &request, std::ostream &out, std::ostream &err)
{
    std::string error;
    if (options.output.empty())
        return err << "selfextr: no output: give -o FILE\n", 1;
    std::optional<Image> image;
    if (!options.stub.empty())
        image = Image_Load(options.stub, error);
    else if (!options.embeddedStub.empty())
        image = Image_Parse(std::vector<uint8_t>(options.embeddedStub.begin(), options.embeddedStub.end()), error);
    else
        error = "no stub: give --stub FILE";
    if (!image)
        return err << "selfextr: " << error << "\n", 1;
    auto dialogs = image->resources.find(ResKey::Id(kRtDialog));
    if (dialogs == image->resources.end() || !dialogs->second.count(ResKey::Id(kDialogProgress)))
        return err << "selfextr: " << options.stub.string() << ": no dialog " << kDialogProgress
                   << " (the progress window): not a selfextr stub\n", 1;

    // Everything checked and resolved before anything is written.
    Assembly assembly;
    if (!Package_Assemble(request, options.embeddedRunner, getenv("SOURCE_DATE_EPOCH"), assembly, error))
        return err << "selfextr: " << error << "\n", 1;
    const PackRequest &flat = assembly.request;
    ResTree tree = image->resources;
    std::vector<std::string> warnings;
    if (!Package_Build(flat, getenv("SOURCE_DATE_EPOCH"), tree, warnings, error))
        return err << "selfextr: " << error << "\n", 1;
    for (auto &w : warnings)
        err << "selfextr: warning: " << w << "\n";
    WriteOptions wo;
    wo.stripSignature = options.stripSignature;
    wo.timestamp = assembly.timestamp;

    // Written beside the output and renamed into place: never a partial file,
    // and the input is only read, even when it is the output too (repacking a
    // finished stub in place). No other input may be the output.
    fs::path output = fs::absolute(options.output);
    for (const PackFile &f : flat.files)
        if (SameFile(f.source, output))
            return err << "selfextr: the output " << options.output.string() << " is the input file "
                       << f.source.string() << "\n", 1;
    if (!options.manifest.empty() && SameFile(options.manifest, output))
        return err << "selfextr: the output " << options.output.string() << " is the manifest\n", 1;
    if (!flat.runnerFile.empty() && SameFile(flat.runnerFile, output))
        return err << "selfextr: the output " << options.output.string() << " is the runner\n", 1;
    if (!Image_WriteFile(*image, tree, wo, output, error))
        return err << "selfextr: " << error << "\n", 1;
    if (const Payload *p = flat.payload.get()) {
        char ratio[32];
        snprintf(ratio, sizeof ratio, "%.1f %%", p->expanded ? 100.0 * double(p->bytes.size()) / double(p->expanded) : 0.0);
        out << "payload: " << p->files << " files in " << p->folders << " folders, " << Text_Thousands(p->expanded)
            << " bytes, packed into " << Text_Thousands(p->bytes.size()) << " bytes (" << ratio << ") as " << p->name << "\n";
    }
    for (const std::string &note : assembly.notes)
        out << "note: " << note << "\n";
    out << "date: " << flat.date << " " << (flat.time.empty() ? "0:00" : flat.time) << ", " << assembly.dateFrom << "\n";
    const size_t entries = flat.files.size() + (flat.runner ? 1 : 0) + (flat.payload ? 1 : 0);
    out << "wrote " << options.output.string() << " (" << entries << (entries == 1 ? " entry" : " entries") << ")\n";
    return 0;
}

namespace {

std::string StampText(uint16_t date, uint16_t time)
{
    StampParts p = Date_StampParts(date, time);
    char text[64];
    snprintf(text, sizeof text, "%04u-%02u-%02u %u:%02u", p.year, p.month, p.day, p.hour, p.minute);
    return text;
}

}  // namespace

int Command_List(const fs::path &file, bool verifyOnly, std::ostream &out, std::ostream &err, bool json)
{
    std::string error;
    auto image = Image_Load(file, error);
    if (!image)
        return err << "selfextr: " << error << "\n", 1;
    Listing l = Package_ListImage(*image, !verifyOnly);
    // Signed: a certificate table is there (osslsigncode verify checks it).
    const std::string signatures = std::string("stub ") + (l.stubSigned ? "signed" : "not signed") +
                                   (l.runnerSigned ? std::string(", runner ") + (*l.runnerSigned ? "signed" : "not signed") : "");
    if (json) {
        out << ListingJson_Format(l, file.string());
        return verifyOnly && !l.problems.empty() ? 1 : 0;
    }
    if (!verifyOnly) {
        out << "caption: " << Shown(l.caption) << "\n"
            << "prompt:  " << Shown(l.prompt) << "\n"
            << "stamp:   " << StampText(l.dateWord, l.timeWord) << " local time (strings \"" << Shown(l.dateText)
            << "\" and \"" << Shown(l.timeText) << "\")\n"
            << "total:   " << l.total << " bytes\n";
        for (const auto &lang : l.languages)
            out << "language " << lang.tag << " (0x" << std::hex << std::uppercase << std::setw(4) << std::setfill('0')
                << lang.id << std::dec << std::setfill(' ') << "): caption: " << Shown(lang.caption)
                << "\n    prompt: " << Shown(lang.prompt) << "\n";
        if (!l.executionLevel.empty())
            out << "execution level: " << Shown(l.executionLevel) << " (application manifest)\n";
        if (l.run)
            out << "run:     " << Shown(l.run->command) << "\n"
                << "    program: " << Shown(RunnerSettings_Where(l.run->program)) << "\n"
                << (l.run->elevation.empty() ? std::string()
                                             : "    elevation: " + Shown(l.run->elevation) +
                                                   " (the runner restarts itself elevated before it expands the payload)\n");
        out << "signatures: " << signatures << "\n";
        out << "marker:  " << (l.marked ? "\"" + std::string(kPackageMarker) + "\" (RCDATA " + std::to_string(kPackageMarkerId) + ")" : "none")
            << "\n";
        out
            << "entries: " << l.entries.size() << "\n";
        for (auto &e : l.entries)
            out << "  " << e.number << "  " << Quoted(e.name) << "  " << e.size << "\n";
        if (l.payload) {
            const PayloadSummary &s = l.payload->summary;
            out << "payload: " << Quoted(l.payload->name) << ", " << s.files << " files in " << s.folders << " folders, "
                << Text_Thousands(s.expanded) << " bytes expanded, " << Text_Thousands(l.payload->data ? l.payload->data->Size() : 0)
                << " packed, " << s.blocks << (s.blocks == 1 ? " block" : " blocks") << ", dictionary "
                << Text_Thousands(s.dictionary) << " bytes\n";
            for (const PayloadItem &i : l.payload->items)
                out << "  " << (i.folder ? Quoted(i.path + "/") : Quoted(i.path) + "  " + std::to_string(i.size)) << "\n";
        }
    }
    for (auto &p : l.problems)
        (verifyOnly ? err : out) << (verifyOnly ? "selfextr: " + file.string() + ": " : "problem: ") << Shown(p) << "\n";
    for (auto &n : l.notes)
        out << (verifyOnly ? file.string() + ": note: " : "note: ") << Shown(n) << "\n";
    if (verifyOnly)
        out << file.string() << ": " << signatures << "\n";
    if (verifyOnly && l.problems.empty())
        out << file.string() << ": " << l.entries.size() << " entries, " << l.total << " bytes"
            << (l.payload ? ", a payload of " + std::to_string(l.payload->summary.files) + " files decoded and checked" : "")
            << ", no problems\n";
    return verifyOnly && !l.problems.empty() ? 1 : 0;
}

namespace {

#ifndef _WIN32
// Writes one entry into the folder open at dirFd: into a fresh file that no
// link can redirect, stamped, synced and renamed over the name. Returns the
// reason it failed, empty when it did not; nothing is left behind on failure.
std::string WriteEntry(int dirFd, const std::string &name, std::span<const uint8_t> bytes, const timespec &stamp)
{
    struct stat st;
    if (fstatat(dirFd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && !S_ISREG(st.st_mode) && !S_ISLNK(st.st_mode))
        return std::string("a ") + (S_ISDIR(st.st_mode) ? "folder" : S_ISFIFO(st.st_mode) ? "FIFO" : S_ISSOCK(st.st_mode) ? "socket" : "device") +
               " of that name is in the way; it was left alone";
    std::string temp;
    int fd = -1;
    for (int attempt = 0; fd < 0 && attempt < 100; attempt++) {
        temp = ".selfextr-" + std::to_string(getpid()) + "-" + std::to_string(attempt) + ".tmp";
        fd = openat(dirFd, temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
        if (fd < 0 && errno != EEXIST)
            return SystemError(errno);
    }
    if (fd < 0)
        return "no fresh temporary name";
    std::string why;
    timespec times[2] = {stamp, stamp};
    if (!WriteFd(fd, bytes.data(), bytes.size()))
        why = SystemError(errno ? errno : ENOSPC);
    else if (futimens(fd, times) != 0 || fsync(fd) != 0)
        why = SystemError(errno);
    if (close(fd) != 0 && why.empty())
        why = SystemError(errno);
    // A link of the entry's name is replaced itself; what it pointed at is untouched.
    if (why.empty() && renameat(dirFd, temp.c_str(), dirFd, name.c_str()) != 0)
        why = SystemError(errno);
    if (!why.empty())
        unlinkat(dirFd, temp.c_str(), 0);
    return why;
}
#endif

// Writes the payload's tree below a folder: each folder made where none is,
// never through a link; each file into a fresh temporary name, given its own
// time and renamed into place, so that a file appears whole or not at all.
// What it made is remembered, so that a tree that fails half-way is removed.
struct TreeWriter {
#ifndef _WIN32
    int root = -1, parent = -1, fd = -1;
    std::string temp, leaf;
#else
    fs::path root, target, temp;
    std::ofstream file;
#endif
    int64_t mtime = 0;
    std::string current;                          // the file being written
    std::vector<std::pair<std::string, bool>> made;  // each path made, and whether a folder

    // Everything made, last first; never through a link.
    void Remove()
    {
        Abandon();
        for (auto it = made.rbegin(); it != made.rend(); ++it) {
#ifndef _WIN32
            int dirFd = dup(root);
            size_t start = 0, slash;
            while (dirFd >= 0 && (slash = it->first.find('/', start)) != std::string::npos) {
                int next = openat(dirFd, it->first.substr(start, slash - start).c_str(),
                                  O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
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
            fs::remove(root / fs::path(reinterpret_cast<const char8_t *>(it->first.c_str())), ec);
#endif
        }
        made.clear();
    }

#ifndef _WIN32
    // The folder that holds path's last name (or path itself with whole), made as needed.
    bool Walk(const std::string &path, bool whole, int &dirFd, std::string &last, std::string &error)
    {
        dirFd = dup(root);
        size_t start = 0;
        for (;;) {
            size_t slash = path.find('/', start);
            if (slash == std::string::npos && !whole) {
                last = path.substr(start);
                return true;
            }
            std::string name = path.substr(start, slash == std::string::npos ? std::string::npos : slash - start);
            if (mkdirat(dirFd, name.c_str(), 0755) == 0)
                made.emplace_back(path.substr(0, slash), true);
            else if (errno != EEXIST)
                return close(dirFd), error = "cannot create " + path + ": " + SystemError(errno), false;
            int next = openat(dirFd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
            close(dirFd);
            if (next < 0)
                return error = "cannot create " + path + ": \"" + name + "\" is in the way (" + SystemError(errno) + ")", false;
            dirFd = next;
            if (slash == std::string::npos)
                return true;
            start = slash + 1;
        }
    }
#endif

    bool Item(const PayloadItem &item, std::string &error)
    {
        mtime = item.mtime;
        current = item.path;
#ifndef _WIN32
        int dirFd;
        if (item.folder) {
            if (!Walk(item.path, true, dirFd, leaf, error))
                return false;
            close(dirFd);
            return true;
        }
        if (!Walk(item.path, false, parent, leaf, error))
            return false;
        struct stat st;
        if (fstatat(parent, leaf.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && !S_ISREG(st.st_mode) && !S_ISLNK(st.st_mode))
            return error = "cannot write " + item.path + ": something that is not a file is in the way", false;
        for (int attempt = 0; fd < 0 && attempt < 100; attempt++) {
            temp = ".selfextr-" + std::to_string(getpid()) + "-" + std::to_string(attempt) + ".tmp";
            fd = openat(parent, temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
            if (fd < 0 && errno != EEXIST)
                return error = "cannot write " + item.path + ": " + SystemError(errno), false;
        }
        if (fd < 0)
            return error = "cannot write " + item.path + ": no fresh temporary name", false;
#else
        fs::path path = root / fs::path(reinterpret_cast<const char8_t *>(item.path.c_str()));
        std::error_code ec;
        if (item.folder) {
            if (fs::create_directories(path, ec))
                made.emplace_back(item.path, true);
            return ec ? (error = "cannot create " + item.path + ": " + ec.message(), false) : true;
        }
        target = path;
        temp = path;
        temp += ".selfextr.tmp";
        file.open(temp, std::ios::binary | std::ios::trunc);
        if (!file)
            return error = "cannot write " + item.path, false;
#endif
        return true;
    }
    bool Data(const uint8_t *p, size_t n, std::string &error)
    {
#ifndef _WIN32
        if (!WriteFd(fd, p, n))
            return error = "cannot write " + leaf + ": " + SystemError(errno ? errno : ENOSPC), false;
#else
        if (!file.write(reinterpret_cast<const char *>(p), std::streamsize(n)))
            return error = "cannot write " + target.string(), false;
#endif
        return true;
    }
    bool FileEnd(std::string &error)
    {
#ifndef _WIN32
        timespec times[2] = {{time_t(mtime), 0}, {time_t(mtime), 0}};
        bool ok = futimens(fd, times) == 0;
        ok = close(fd) == 0 && ok;
        fd = -1;
        if (!ok || renameat(parent, temp.c_str(), parent, leaf.c_str()) != 0)
            return error = "cannot write " + leaf + ": " + SystemError(errno), false;
        made.emplace_back(current, false);
        temp.clear();
        close(parent);
        parent = -1;
#else
        file.close();
        std::error_code ec;
        fs::last_write_time(temp, fs::file_time_type::clock::from_sys(std::chrono::system_clock::from_time_t(time_t(mtime))), ec);
        if (!file || ec || (fs::rename(temp, target, ec), ec))
            return error = "cannot write " + target.string(), false;
        made.emplace_back(current, false);
        temp.clear();
#endif
        return true;
    }
    // The file being written, if any, is dropped with its temporary name.
    void Abandon()
    {
#ifndef _WIN32
        if (fd >= 0)
            close(fd);
        if (!temp.empty() && parent >= 0)
            unlinkat(parent, temp.c_str(), 0);
        if (parent >= 0)
            close(parent);
        fd = parent = -1;
#else
        if (file.is_open())
            file.close();
        std::error_code ec;
        if (!temp.empty())
            fs::remove(temp, ec);
#endif
        temp.clear();
    }
    ~TreeWriter() { Abandon(); }
};

}  // namespace

int Command_Extract(const fs::path &file, const fs::path &dir, bool force, bool raw, std::ostream &out, std::ostream &err)
{
    std::string error;
    auto image = Image_Load(file, error);
    if (!image)
        return err << "selfextr: " << error << "\n", 1;
    Listing l = Package_List(image->resources);
    // What verify refuses, extract refuses; --force writes the entries that
    // can be written all the same, never one whose name is unsafe.
    if (!l.problems.empty() && !force) {
        for (auto &p : l.problems)
            err << "selfextr: " << file.string() << ": " << Shown(p) << "\n";
        err << "selfextr: " << file.string() << ": not extracted (verify fails; --force extracts what can be written)\n";
        return 1;
    }
    // The stamp is local time, as the stub applies it.
    StampParts p = Date_StampParts(l.dateWord, l.timeWord);
    std::tm tm = {};
    tm.tm_year = int(p.year) - 1900;
    tm.tm_mon = int(p.month) - 1;
    tm.tm_mday = int(p.day);
    tm.tm_hour = int(p.hour);
    tm.tm_min = int(p.minute);
    tm.tm_isdst = -1;
    const std::time_t when = std::mktime(&tm);
#ifndef _WIN32
    // The folder itself is never reached through a link.
    if (mkdir(dir.string().c_str(), 0755) != 0 && errno != EEXIST)
        return err << "selfextr: cannot create " << dir.string() << ": " << SystemError(errno) << "\n", 1;
    int dirFd = open(dir.string().c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (dirFd < 0) {
        struct stat st;
        std::string why = lstat(dir.string().c_str(), &st) == 0 && S_ISLNK(st.st_mode) ? "it is a symbolic link"
                          : errno == ENOTDIR                                          ? "it is not a folder"
                                                                                      : SystemError(errno);
        return err << "selfextr: cannot extract into " << dir.string() << ": " << why << "\n", 1;
    }
    const timespec stamp = {when, 0};
#else
    std::error_code ec;
    fs::create_directories(dir, ec);
    auto stamp = fs::file_time_type::clock::from_sys(std::chrono::system_clock::from_time_t(when));
#endif
    int failures = 0;
    // The payload's tree instead of its entry and its runner (the SETUP.EXE that
    // expands it), unless the entries are wanted as the stub writes them.
    const bool tree = l.payload && l.payload->data && !raw;
    size_t skipped = 0;
    for (auto &e : l.entries) {
        if (tree && (e.name == l.payload->name || Name_Fold(e.name) == u"SETUP.EXE")) {
            skipped++;
            continue;
        }
        if (!e.problem.empty()) {
            err << "selfextr: entry " << e.number << " is not extracted: it " << Shown(e.problem) << "\n";
            failures++;
            continue;
        }
        auto bytes = ResData_Bytes(*e.data).first(e.size);
#ifndef _WIN32
        std::string why = WriteEntry(dirFd, e.name, bytes, stamp);
#else
        std::string why;
        fs::path target = dir / e.name, temp = target;
        temp += ".selfextr.tmp";
        {
            std::ofstream o(temp, std::ios::binary | std::ios::trunc);
            o.write(reinterpret_cast<const char *>(bytes.data()), std::streamsize(bytes.size()));
            o.close();
            if (!o)
                why = "the write failed";
        }
        if (why.empty())
            fs::last_write_time(temp, stamp, ec), fs::rename(temp, target, ec), why = ec ? ec.message() : "";
        if (!why.empty())
            fs::remove(temp, ec);
#endif
        if (!why.empty()) {
            err << "selfextr: cannot write " << (dir / Shown(e.name)).string() << ": " << why << "\n";
            failures++;
        }
    }
    if (tree) {
        TreeWriter writer;
#ifndef _WIN32
        writer.root = dirFd;
#else
        writer.root = dir;
#endif
        PayloadVisitor visitor;
        visitor.item = [&](const PayloadItem &i, std::string &e) { return writer.Item(i, e); };
        visitor.data = [&](const uint8_t *p, size_t n, std::string &e) { return writer.Data(p, n, e); };
        visitor.fileEnd = [&](std::string &e) { return writer.FileEnd(e); };
        PayloadSummary summary;
        auto bytes = ResData_Bytes(*l.payload->data).first(std::min<uint64_t>(l.payload->data->Size(), [&] {
            for (auto &e : l.entries)
                if (e.name == l.payload->name)
                    return uint64_t(e.size);
            return uint64_t(0);
        }()));
        if (!Payload_Read(bytes, visitor, summary, error)) {
            // The tree appears whole or not at all; the entries written before it stay.
            writer.Remove();
            err << "selfextr: " << file.string() << ": payload " << Shown(l.payload->name) << ": " << Shown(error) << "\n";
            failures++;
        } else {
            out << "extracted the payload's " << summary.files << " files in " << summary.folders << " folders into "
                << dir.string() << "\n";
        }
    }
#ifndef _WIN32
    close(dirFd);
#endif
    const size_t written = l.entries.size() - skipped;
    out << "extracted " << written - std::min(written, size_t(failures)) << " of " << written << " entries into "
        << dir.string() << "\n";
    return failures ? 1 : 0;
}

}  // namespace selfextr
