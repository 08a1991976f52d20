// commands.cpp: pack, list, verify and extract.
#include "commands.h"

#include <cstdio>
#include <ctime>
#include <fcntl.h>
#include <fstream>
#include <iostream>
#include <unistd.h>
#ifndef O_BINARY
#define O_BINARY 0
#endif

namespace selfextr {

namespace fs = std::filesystem;

std::optional<Image> Image_Load(const fs::path &path, std::string &error)
{
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return error = "cannot read " + path.string(), std::nullopt;
    std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    auto image = Image_Parse(std::move(bytes), error);
    if (!image)
        error = path.string() + ": " + error;
    return image;
}

namespace {

bool WriteFd(int fd, const uint8_t *p, size_t n)
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

}  // namespace

int Command_Pack(const PackOptions &options, const PackRequest &request, std::ostream &out, std::ostream &err)
{
    std::string error;
    auto image = Image_Load(options.stub, error);
    if (!image)
        return err << "selfextr: " << error << "\n", 1;
    auto dialogs = image->resources.find(ResKey::Id(kRtDialog));
    if (dialogs == image->resources.end() || !dialogs->second.count(ResKey::Id(kDialogProgress)))
        return err << "selfextr: " << options.stub.string() << ": no dialog 2000 (the progress window): not a selfextr stub\n", 1;

    ResTree tree = image->resources;
    std::vector<std::string> warnings;
    if (!Package_Build(request, getenv("SOURCE_DATE_EPOCH"), tree, warnings, error))
        return err << "selfextr: " << error << "\n", 1;
    for (auto &w : warnings)
        err << "selfextr: warning: " << w << "\n";

    // Written beside the output and renamed into place: never a partial file,
    // and the input is only read, even when it is the output too.
    fs::path output = fs::absolute(options.output);
    fs::path temp = output;
    temp += ".selfextr-" + std::to_string(getpid()) + ".tmp";
    int fd = open(temp.string().c_str(), O_RDWR | O_CREAT | O_TRUNC | O_BINARY, 0755);
    if (fd < 0)
        return err << "selfextr: cannot create " << temp.string() << "\n", 1;
    ImageSink sink;
    sink.write = [&](const uint8_t *p, size_t n) { return WriteFd(fd, p, n); };
    sink.patch = [&](uint64_t at, const uint8_t *p, size_t n) {
        return lseek(fd, off_t(at), SEEK_SET) == off_t(at) && WriteFd(fd, p, n);
    };
    WriteOptions wo;
    wo.stripSignature = options.stripSignature;
    bool ok = Image_Write(*image, tree, wo, sink, error);
    ok = close(fd) == 0 && ok;
    std::error_code ec;
    if (ok)
        fs::rename(temp, output, ec);
    if (!ok || ec) {
        fs::remove(temp, ec);
        return err << "selfextr: " << (error.empty() ? "cannot write " + output.string() : error) << "\n", 1;
    }
    out << "wrote " << options.output.string() << " (" << request.files.size() << " files)\n";
    return 0;
}

namespace {

std::string StampText(uint16_t date, uint16_t time)
{
    StampParts p = Stamp_Parts(date, time);
    char text[64];
    snprintf(text, sizeof text, "%04u-%02u-%02u %u:%02u", p.year, p.month, p.day, p.hour, p.minute);
    return text;
}

}  // namespace

int Command_List(const fs::path &file, bool verifyOnly, std::ostream &out, std::ostream &err)
{
    std::string error;
    auto image = Image_Load(file, error);
    if (!image)
        return err << "selfextr: " << error << "\n", 1;
    Listing l = Package_List(image->resources);
    if (!verifyOnly) {
        out << "caption: " << l.caption << "\n"
            << "prompt:  " << l.prompt << "\n"
            << "stamp:   " << StampText(l.dateWord, l.timeWord) << " local time (strings \"" << l.dateText
            << "\" and \"" << l.timeText << "\")\n"
            << "total:   " << l.total << " bytes\n"
            << "entries: " << l.entries.size() << "\n";
        for (auto &e : l.entries)
            out << "  " << e.number << "  " << e.name << "  " << e.size << "\n";
    }
    for (auto &p : l.problems)
        (verifyOnly ? err : out) << (verifyOnly ? "selfextr: " + file.string() + ": " : "problem: ") << p << "\n";
    if (verifyOnly && l.problems.empty())
        out << file.string() << ": " << l.entries.size() << " entries, " << l.total << " bytes, no problems\n";
    return verifyOnly && !l.problems.empty() ? 1 : 0;
}

int Command_Extract(const fs::path &file, const fs::path &dir, std::ostream &out, std::ostream &err)
{
    std::string error;
    auto image = Image_Load(file, error);
    if (!image)
        return err << "selfextr: " << error << "\n", 1;
    Listing l = Package_List(image->resources);
    std::error_code ec;
    fs::create_directories(dir, ec);
    // The stamp is local time, as the stub applies it.
    StampParts p = Stamp_Parts(l.dateWord, l.timeWord);
    std::tm tm = {};
    tm.tm_year = int(p.year) - 1900;
    tm.tm_mon = int(p.month) - 1;
    tm.tm_mday = int(p.day);
    tm.tm_hour = int(p.hour);
    tm.tm_min = int(p.minute);
    tm.tm_isdst = -1;
    auto stamp = fs::file_time_type::clock::from_sys(std::chrono::system_clock::from_time_t(std::mktime(&tm)));
    int failures = 0;
    for (auto &e : l.entries) {
        if (!e.problem.empty()) {
            err << "selfextr: entry " << e.number << " is not extracted: it " << e.problem << "\n";
            failures++;
            continue;
        }
        fs::path target = dir / e.name;
        std::ofstream o(target, std::ios::binary | std::ios::trunc);
        const auto &bytes = ResData_Bytes(*e.data);
        o.write(reinterpret_cast<const char *>(bytes.data()), std::streamsize(e.size));
        o.close();
        if (!o) {
            err << "selfextr: cannot write " << target.string() << "\n";
            failures++;
            continue;
        }
        fs::last_write_time(target, stamp, ec);
    }
    out << "extracted " << l.entries.size() - size_t(failures) << " of " << l.entries.size() << " entries into "
        << dir.string() << "\n";
    return failures ? 1 : 0;
}

}  // namespace selfextr
