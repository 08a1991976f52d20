// Hostile and careless input: crafted images, links, special files, bad
// manifests and names. Each case is refused with one message, or handled
// without writing where it was not asked.
#include "testutil.h"

#include "cli/manifest.h"
#include "base/output.h"
#include "image/pe_layout.h"

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <set>

using namespace selfextr;
using namespace selfextr::pe;

namespace {

struct Packed {
    fs::path dir;
    std::vector<uint8_t> bytes;
    Image image;
};

// A finished stub of the given files, read back.
Packed PackOf(const std::vector<std::pair<std::string, size_t>> &files)
{
    Packed p;
    p.dir = TempDir();
    EXPECT_EQ(Pack(Request(p.dir, files), p.dir / "ok.exe").code, 0);
    p.bytes = ReadAll(p.dir / "ok.exe");
    std::string error;
    auto image = Image_Parse(p.bytes, error);
    EXPECT_TRUE(image) << error;
    if (image)
        p.image = std::move(*image);
    return p;
}

std::string ParseError(const std::vector<uint8_t> &bytes)
{
    std::string error;
    return Image_Parse(bytes, error) ? "parsed" : error;
}

// Entries of the resource directory at section offset dir.
uint32_t Count(const std::vector<uint8_t> &b, size_t raw, uint32_t dir)
{
    return Bytes_Le16(b, raw + dir + kResDirNamedCount) + Bytes_Le16(b, raw + dir + kResDirIdCount);
}

}  // namespace

TEST(HostileImage, HeadersThatTheWriterPatchesMustLieBeforeRsrcAndAlignmentsBeBounded)
{
    Packed p = PackOf({{"SETUP.EXE", 100}});
    const size_t opt = p.image.optOffset;

    // The PE headers moved behind .rsrc's data, as an overlay: the writer
    // would patch a section header past the part of the file it keeps.
    auto moved = p.bytes;
    const size_t headers = p.image.sectionTable + 40 * p.image.sections.size() - p.image.peOffset;
    const uint32_t at = uint32_t(moved.size());
    moved.insert(moved.end(), p.bytes.begin() + p.image.peOffset, p.bytes.begin() + long(p.image.peOffset + headers));
    Bytes_Set32(moved, 0x3C, at);
    EXPECT_EQ(ParseError(moved), "the headers and section table do not lie before the .rsrc section's data");
    WriteAll(p.dir / "moved.exe", moved);
    EXPECT_NE(Pack(Request(p.dir, {{"SETUP.EXE", 1}}), p.dir / "out.exe", p.dir / "moved.exe").code, 0);
    EXPECT_FALSE(fs::exists(p.dir / "out.exe"));

    struct Case { uint32_t file, section; std::string error; } cases[] = {
        {0x80000000u, 0x80000000u, "file alignment 2147483648 is not a power of two from 512 to 65536"},
        {256, 4096, "file alignment 256 is not a power of two from 512 to 65536"},
        {0x20000, 0x20000, "file alignment 131072 is not a power of two from 512 to 65536"},
        {768, 4096, "file alignment 768 is not a power of two from 512 to 65536"},
        {4096, 512, "section alignment 512 is not a power of two at least the file alignment"},
        {512, 0x3000, "section alignment 12288 is not a power of two at least the file alignment"}};
    for (auto &c : cases) {
        auto b = p.bytes;
        Bytes_Set32(b, opt + kOptFileAlignment, c.file);
        Bytes_Set32(b, opt + kOptSectionAlignment, c.section);
        EXPECT_EQ(ParseError(b), c.error);
    }
}

// A 1 MiB entry whose language directory is rewritten to list 65,535
// languages that all name the same data entry: 1.6 MB that would be 64 GiB
// if each were copied.
TEST(HostileImage, SharedDataIsReferencedNotCopiedAndDuplicateKeysAreRefused)
{
    Packed p = PackOf({{"SETUP.EXE", 1 << 20}, {"FILLER.BIN", 600000}});
    auto b = p.bytes;
    const uint32_t raw = p.image.sections.back().rawPointer, rva = p.image.sections.back().virtualAddress;
    // root -> type 32 -> name 1000 -> language entry.
    auto child = [&](uint32_t dir, uint32_t id) -> uint32_t {
        for (uint32_t k = 0; k < Count(b, raw, dir); k++)
            if (Bytes_Le32(b, raw + dir + kResDirBytes + kResEntryBytes * k + kResEntryKey) == id)
                return Bytes_Le32(b, raw + dir + kResDirBytes + kResEntryBytes * k + kResEntryTarget) & ~kResSubdirectory;
        ADD_FAILURE() << "no entry " << id;
        return 0;
    };
    const uint32_t names = child(0, kRtEntry), langs1000 = child(names, 1000), langs1001 = child(names, 1001);
    const uint32_t dataEntry = Bytes_Le32(b, raw + langs1000 + kResDirBytes + kResEntryTarget);
    // The filler's data, section-relative: room for the new directory.
    const uint32_t filler = Bytes_Le32(b, raw + Bytes_Le32(b, raw + langs1001 + kResDirBytes + kResEntryTarget)) - rva;
    const uint32_t count = 65535;
    Bytes_Set16(b, raw + filler + kResDirNamedCount, 0);
    Bytes_Set16(b, raw + filler + kResDirIdCount, count);
    for (uint32_t k = 0; k < count; k++) {
        Bytes_Set32(b, raw + filler + kResDirBytes + kResEntryBytes * k + kResEntryKey, k);
        Bytes_Set32(b, raw + filler + kResDirBytes + kResEntryBytes * k + kResEntryTarget, dataEntry);
    }
    // Under a type of its own, which packing keeps (it replaces only the package's).
    for (uint32_t k = 0; k < Count(b, raw, 0); k++)
        if (Bytes_Le32(b, raw + kResDirBytes + kResEntryBytes * k + kResEntryKey) == kRtEntry)
            Bytes_Set32(b, raw + kResDirBytes + kResEntryBytes * k + kResEntryKey, 99);
    for (uint32_t k = 0; k < Count(b, raw, names); k++)
        if (Bytes_Le32(b, raw + names + kResDirBytes + kResEntryBytes * k + kResEntryKey) == 1000)
            Bytes_Set32(b, raw + names + kResDirBytes + kResEntryBytes * k + kResEntryTarget, kResSubdirectory | filler);
    std::string error;
    auto image = Image_Parse(b, error);
    ASSERT_TRUE(image) << error;
    const ResLangs &many = image->resources.at(ResKey::Id(99)).at(ResKey::Id(1000));
    ASSERT_EQ(many.size(), count);
    std::set<const uint8_t *> where;
    for (auto &[lang, data] : many)
        where.insert(ResData_Bytes(data).data());
    EXPECT_EQ(where.size(), 1u) << "every language names the same bytes of the image";

    // Packing over it would write every language again: refused before writing.
    WriteAll(p.dir / "many.exe", b);
    PackResult res = Pack(Request(p.dir, {{"SETUP.EXE", 1}}), p.dir / "out.exe", p.dir / "many.exe");
    EXPECT_NE(res.err.find("more than a 32-bit image holds"), std::string::npos) << res.err;
    EXPECT_FALSE(fs::exists(p.dir / "out.exe"));

    // The same language twice in one directory is malformed.
    Bytes_Set32(b, raw + filler + kResDirBytes + kResEntryBytes + kResEntryKey, 0);
    EXPECT_EQ(ParseError(b), "resource directory at offset " + std::to_string(filler) + " lists id 0 twice");
}

// 8,000 entries under one name of 60,000 characters, each with a directory of
// its own: the name would be read 8,000 times and the entries merged.
TEST(HostileImage, ANameListedTwiceInADirectoryIsRefusedAtOnce)
{
    Packed p = PackOf({{"SETUP.EXE", 600000}});
    auto b = p.bytes;
    const uint32_t raw = p.image.sections.back().rawPointer, rva = p.image.sections.back().virtualAddress;
    const uint32_t names = Bytes_Le32(b, raw + kResDirBytes + kResEntryBytes * (Count(b, raw, 0) - 1) + kResEntryTarget) & ~kResSubdirectory;  // type 32, the last
    const uint32_t langs = Bytes_Le32(b, raw + names + kResDirBytes + kResEntryTarget) & ~kResSubdirectory;
    const uint32_t area = Bytes_Le32(b, raw + Bytes_Le32(b, raw + langs + kResDirBytes + kResEntryTarget)) - rva;  // the entry's data
    const uint32_t count = 8000, nameAt = area + kResDirBytes + kResEntryBytes * count, emptyDirs = nameAt + 2 + 2 * 60000;
    std::fill(b.begin() + raw + area, b.begin() + raw + area + 600000, 0);
    Bytes_Set16(b, raw + area + kResDirNamedCount, count);
    Bytes_Set16(b, raw + nameAt, 60000);
    for (uint32_t i = 0; i < 60000; i++)
        Bytes_Set16(b, raw + nameAt + 2 + 2 * i, 'N');
    for (uint32_t k = 0; k < count; k++) {
        Bytes_Set32(b, raw + area + kResDirBytes + kResEntryBytes * k + kResEntryKey, kResSubdirectory | nameAt);
        Bytes_Set32(b, raw + area + kResDirBytes + kResEntryBytes * k + kResEntryTarget, kResSubdirectory | (emptyDirs + 16 * k));
    }
    Bytes_Set32(b, raw + kResDirBytes + kResEntryBytes * (Count(b, raw, 0) - 1) + kResEntryTarget, kResSubdirectory | area);
    EXPECT_EQ(ParseError(b), "resource directory at offset " + std::to_string(area) + " lists a name twice");
}

TEST(HostileFiles, OnlyRegularFilesAreReadAndNothingBlocks)
{
    fs::path dir = TempDir();
    ASSERT_EQ(mkfifo((dir / "fifo").c_str(), 0600), 0);
    std::string error;
    EXPECT_FALSE(Image_Load(dir / "fifo", error));
    EXPECT_EQ(error, "cannot read " + (dir / "fifo").string() + ": not a regular file");
    EXPECT_FALSE(Image_Load("/dev/zero", error));
    EXPECT_EQ(error, "cannot read /dev/zero: not a regular file");
    EXPECT_FALSE(Image_Load(dir, error));
    EXPECT_EQ(error, "cannot read " + dir.string() + ": Is a directory");
    std::ostringstream out, err;
    EXPECT_EQ(Command_List("/dev/zero", false, out, err), 1);
    PackRequest fromManifest;
    EXPECT_FALSE(Manifest_Read(dir / "fifo", fromManifest, error));
    EXPECT_EQ(error, (dir / "fifo").string() + ": not a regular file");

    // A file whose size the file system does not know is not packed as empty.
    PackRequest r = Request(dir, {{"SETUP.EXE", 10}});
    r.files.push_back({"/proc/self/status", "STATUS.TXT"});
    PackResult res = Pack(r, dir / "out.exe");
    EXPECT_NE(res.err.find("\"/proc/self/status\" reports 0 bytes but holds more"), std::string::npos) << res.err;
    r.files.back() = {dir / "fifo", "FIFO.TXT"};
    res = Pack(r, dir / "out.exe");
    EXPECT_NE(res.err.find("fifo: not a regular file"), std::string::npos) << res.err;
    EXPECT_FALSE(fs::exists(dir / "out.exe"));
}

TEST(HostileFiles, AFailedReadIsAnErrorWithTheSystemsReasonNeverAnEmptyFile)
{
    fs::path dir = TempDir();
    // Reading /proc/self/mem at offset 0 fails with EIO, as a bad disk would.
    PackRequest r = Request(dir, {{"SETUP.EXE", 10}});
    r.files.push_back({"/proc/self/mem", "MEM.BIN"});
    PackResult res = Pack(r, dir / "out.exe");
    EXPECT_EQ(res.code, 1);
    EXPECT_EQ(res.err, "selfextr: cannot read /proc/self/mem: Input/output error\n");
    EXPECT_FALSE(fs::exists(dir / "out.exe"));
    r.files.back() = {dir, "DIR.BIN"};
    res = Pack(r, dir / "out.exe");
    EXPECT_EQ(res.err, "selfextr: cannot read " + dir.string() + ": Is a directory\n");

    // A file that shrinks or grows between its size being taken and its bytes
    // being copied: the write fails, naming the file.
    r = Request(dir, {{"SETUP.EXE", 10}, {"DATA.BIN", 100000}});
    std::string error;
    auto image = Image_Load(SELFEXTR_STUB_PATH, error);
    ASSERT_TRUE(image) << error;
    for (size_t size : {size_t(99999), size_t(100001)}) {
        WriteAll(r.files[1].source, Pattern(100000, 7));
        ResTree tree = image->resources;
        std::vector<std::string> warnings;
        ASSERT_TRUE(Build(r, nullptr, tree, warnings, error)) << error;
        WriteAll(r.files[1].source, Pattern(size, 7));
        ImageSink sink;
        sink.write = [](const uint8_t *, size_t) { return true; };
        sink.patch = [](uint64_t, const uint8_t *, size_t) { return true; };
        EXPECT_FALSE(Image_Write(*image, tree, {}, sink, error));
        EXPECT_EQ(error, "cannot read " + r.files[1].source.string() +
                             (size < 100000 ? ": it ended early (it shrank while it was read)" : ": it grew while it was read"));
    }

    // No output named: a message, not an exception.
    res = Pack(Request(dir, {{"SETUP.EXE", 10}}), "");
    EXPECT_EQ(res.code, 1);
    EXPECT_EQ(res.err, "selfextr: no output: give -o FILE\n");
}

TEST(HostileFiles, TheOutputNeverReplacesAnInputOrFollowsALink)
{
    fs::path dir = TempDir();
    PackRequest r = Request(dir, {{"SETUP.EXE", 10}, {"A.TXT", 20}});
    const auto source = ReadAll(r.files[1].source);
    PackResult res = Pack(r, r.files[1].source);
    EXPECT_EQ(res.code, 1);
    EXPECT_NE(res.err.find("is the input file"), std::string::npos) << res.err;
    EXPECT_EQ(ReadAll(r.files[1].source), source);
    // The same file under another name, through a hard link.
    fs::create_hard_link(r.files[1].source, dir / "alias.exe");
    EXPECT_NE(Pack(r, dir / "alias.exe").err.find("is the input file"), std::string::npos);
    EXPECT_EQ(ReadAll(r.files[1].source), source);
    // The manifest.
    WriteAll(dir / "m.toml", {'c', '=', '1'});
    PackOptions o;
    o.stub = SELFEXTR_STUB_PATH;
    o.output = dir / "m.toml";
    o.manifest = dir / "m.toml";
    std::ostringstream out, err;
    EXPECT_EQ(Command_Pack(o, r, out, err), 1);
    EXPECT_NE(err.str().find("is the manifest"), std::string::npos) << err.str();
    EXPECT_EQ(ReadAll(dir / "m.toml").size(), 3u);

    // A link planted where a predictable temporary name would be is never followed.
    WriteAll(dir / "victim", {'v'});
    fs::create_symlink(dir / "victim", dir / Output_TempName(0));
    mode_t old = umask(027);
    ASSERT_EQ(Pack(r, dir / "out.exe").code, 0);
    umask(old);
    EXPECT_EQ(ReadAll(dir / "victim"), std::vector<uint8_t>{'v'});
    struct stat st;
    ASSERT_EQ(stat((dir / "out.exe").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0750u) << "an executable, as the umask allows";
    // Packing a finished stub in place stays allowed.
    EXPECT_EQ(Pack(r, dir / "out.exe", dir / "out.exe").code, 0);
}

TEST(HostileExtract, NeverWritesThroughALinkOrIntoASpecialFile)
{
    fs::path dir = TempDir();
    PackRequest r = Request(dir, {{"SETUP.EXE", 10}, {"A.TXT", 20}, {"B.TXT", 30}});
    ASSERT_EQ(Pack(r, dir / "ok.exe").code, 0);
    fs::path x = dir / "x";
    fs::create_directory(x);
    WriteAll(dir / "outside", {'o'});
    WriteAll(dir / "hard", {'h'});
    fs::create_symlink(dir / "outside", x / "SETUP.EXE");
    fs::create_hard_link(dir / "hard", x / "A.TXT");
    ASSERT_EQ(mkfifo((x / "B.TXT").c_str(), 0600), 0);
    std::ostringstream out, err;
    EXPECT_EQ(Command_Extract(dir / "ok.exe", x, false, false, out, err), 1);
    EXPECT_EQ(ReadAll(dir / "outside"), std::vector<uint8_t>{'o'});
    EXPECT_EQ(ReadAll(dir / "hard"), std::vector<uint8_t>{'h'});
    EXPECT_FALSE(fs::is_symlink(x / "SETUP.EXE"));
    EXPECT_EQ(ReadAll(x / "SETUP.EXE"), ReadAll(r.files[0].source));
    EXPECT_EQ(ReadAll(x / "A.TXT"), ReadAll(r.files[1].source));
    EXPECT_TRUE(fs::is_fifo(x / "B.TXT"));
    EXPECT_NE(err.str().find("B.TXT: a FIFO of that name is in the way; it was left alone"), std::string::npos) << err.str();

    // A folder that is itself a link is refused.
    fs::create_directory(dir / "real");
    fs::create_directory_symlink(dir / "real", dir / "link");
    std::ostringstream o2, e2;
    EXPECT_EQ(Command_Extract(dir / "ok.exe", dir / "link", false, false, o2, e2), 1);
    EXPECT_NE(e2.str().find("it is a symbolic link"), std::string::npos) << e2.str();
    EXPECT_TRUE(fs::is_empty(dir / "real"));
}

TEST(HostileExtract, AFullDiskSaysWhyAndLeavesNoPartialFile)
{
    fs::path dir = TempDir();
    PackRequest r = Request(dir, {{"SETUP.EXE", 10}, {"BIG.BIN", 200000}});
    ASSERT_EQ(Pack(r, dir / "ok.exe").code, 0);
    fs::path x = dir / "x";
    std::ostringstream out, err;
    // Files stop at 64 KiB: the write fails with EFBIG, as on a full disk.
    struct rlimit old, small = {65536, 65536};
    getrlimit(RLIMIT_FSIZE, &old);
    auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
    small.rlim_max = old.rlim_max;
    setrlimit(RLIMIT_FSIZE, &small);
    int code = Command_Extract(dir / "ok.exe", x, false, false, out, err);
    setrlimit(RLIMIT_FSIZE, &old);
    std::signal(SIGXFSZ, oldHandler);
    EXPECT_EQ(code, 1);
    EXPECT_NE(err.str().find("cannot write " + (x / "BIG.BIN").string() + ": File too large"), std::string::npos) << err.str();
    std::set<std::string> left;
    for (auto &e : fs::directory_iterator(x))
        left.insert(e.path().filename().string());
    EXPECT_EQ(left, std::set<std::string>{"SETUP.EXE"});
}

// A write that fails half-way through an image is reported with the system's
// reason, and neither the output nor its temporary file is left.
TEST(HostileExtract, APackIntoAFullDiskSaysWhyAndLeavesNothing)
{
    fs::path dir = TempDir(), out = dir / "out";
    fs::create_directory(out);
    PackRequest r = Request(dir, {{"SETUP.EXE", 10}, {"BIG.BIN", 200000}});
    struct rlimit old, small = {65536, 65536};
    getrlimit(RLIMIT_FSIZE, &old);
    auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
    small.rlim_max = old.rlim_max;
    setrlimit(RLIMIT_FSIZE, &small);
    PackResult res = Pack(r, out / "setup.exe");
    setrlimit(RLIMIT_FSIZE, &old);
    std::signal(SIGXFSZ, oldHandler);
    EXPECT_EQ(res.code, 1);
    EXPECT_NE(res.err.find("cannot write " + (out / "setup.exe").string() + ": File too large"), std::string::npos) << res.err;
    EXPECT_TRUE(fs::is_empty(out));
}

TEST(HostileValues, WrongTypesAndFormsAreRefusedNamingTheKeyAndLine)
{
    fs::path dir = TempDir();
    WriteAll(dir / "a.txt", {'a'});
    auto manifest = [&](const std::string &body) {
        std::string text = "caption = \"C\"\nprompt = \"P\"\n" + body;
        WriteAll(dir / "m.toml", std::vector<uint8_t>(text.begin(), text.end()));
        PackRequest r;
        std::string error;
        return Manifest_Read(dir / "m.toml", r, error) ? std::string("accepted") : error;
    };
    const std::string m = (dir / "m.toml").string() + ": ";
    struct Case { std::string body, error; } cases[] = {
        {"date = 2026-12-08T04:30:00\n", "line 3: date must be a date such as 2026-12-08"},
        {"time = 04:30:59\n", "line 3: time has seconds"},
        {"time = 4\n", "line 3: time must be a time such as 04:00"},
        {"allow_non_ascii = \"yes\"\n", "line 3: allow_non_ascii must be true or false"},
        {"caption2 = 1\n", "line 3: caption2 is not a key selfextr knows"},
        {"[file]\nsource = \"a.txt\"\n", "line 3: file must be an array of tables"},
        {"[[file]]\nsource = \"a.txt\"\nnmae = \"A\"\n", "line 5: file.nmae is not a key selfextr knows"},
        {"[[file]]\nsource = 7\n", "line 4: file.source must be a string"},
        {"[version]\nproduct = \"P\"\nvesrion = \"1\"\n", "line 5: version.vesrion is not a key selfextr knows"},
        {"[version]\nversion = 1.2\n", "line 4: version.version must be a string"},
    };
    for (auto &c : cases) {
        std::string got = manifest(c.body);
        EXPECT_EQ(got.rfind(m + c.error, 0), 0u) << c.body << got;
    }
    EXPECT_EQ(manifest("date = 2026-12-08\ntime = 04:30:00\nallow_non_ascii = true\n[[file]]\nsource = \"a.txt\"\n"), "accepted");

    PackRequest r = Request(dir, {{"SETUP.EXE", 10}});
    struct Bad { std::string time, version; const char *epoch; std::string error; } bad[] = {
        {"-1:00", "", nullptr, "time \"-1:00\" is not a time"},
        {"+4:00", "", nullptr, "time \"+4:00\" is not a time"},
        {"4: 0", "", nullptr, "is not a time"},
        {"4:00", "1.2.3.4.5", nullptr, "version \"1.2.3.4.5\" is not of the form"},
        {"4:00", "1..2", nullptr, "is not of the form"},
        {"4:00", "1.-2", nullptr, "is not of the form"},
        {"4:00", "65536", nullptr, "is not of the form"},
        // The year 67562: no file date holds it, and it must not wrap.
        {"4:00", "", "2069950000000", "file dates run from 1980 to 2107"},
    };
    for (auto &c : bad) {
        PackRequest q = r;
        q.time = c.time;
        if (!c.version.empty())
            q.version = VersionRecord{"P", c.version, "", "", ""};
        if (c.epoch)
            q.date.clear();
        std::vector<std::string> warnings;
        std::string error;
        ResTree tree;
        EXPECT_FALSE(Build(q, c.epoch, tree, warnings, error)) << c.time << c.version;
        EXPECT_NE(error.find(c.error), std::string::npos) << error;
    }
}

TEST(HostileNames, WindowsRulesForReservedNamesLengthCaseAndLookAlikes)
{
    for (std::string name : {"conin$", "CONOUT$.txt", "COM0", "lpt0.log", "COM\xC2\xB9", "LPT\xC2\xB3.TXT", "NUL .txt"})
        EXPECT_EQ(Name_Problem(name, true), "is a reserved device name") << name;
    for (std::string name : {"CONSOLE", "COM10", "NULL.TXT", "COMA", "LPT"})
        EXPECT_EQ(Name_Problem(name, true), "") << name;
    EXPECT_NE(Name_Problem(std::string(256, 'x'), false), "");
    EXPECT_EQ(Name_Problem(std::string(255, 'x'), false), "");
    // A fullwidth backslash or solidus becomes a separator in the ANSI code page.
    for (std::string name : {"A\xEF\xBC\xBC" "B", "A\xEF\xBC\x8F" "B", "A\xE2\x88\x95" "B", "A\xEF\xBC\x9A" "B"})
        EXPECT_NE(Name_Problem(name, true).find("separator"), std::string::npos) << name;
    EXPECT_EQ(Name_Fold("\xC3\xA9.txt"), Name_Fold("\xC3\x89.TXT"));
    EXPECT_NE(Name_Fold("A.TXT"), Name_Fold("B.TXT"));

    fs::path dir = TempDir();
    PackRequest r = Request(dir, {{"SETUP.EXE", 10}, {"\xC3\xA9.txt", 3}, {"\xC3\x89.TXT", 3}});
    r.allowNonAscii = true;
    PackResult res = Pack(r, dir / "out.exe");
    EXPECT_NE(res.err.find("given twice"), std::string::npos) << res.err;
}

// A package from another packer, with names and totals the stub would not
// write as listed: verify fails, list escapes, extract refuses unless forced.
TEST(HostileVerify, VerifyAppliesPacksRulesAndExtractRefusesWhatVerifyRefuses)
{
    Packed p = PackOf({{"SETUP.EXE", 4}, {"A.TXT", 3}, {"B.TXT", 3}, {"C.TXT", 3}, {"D.TXT", 3}});
    auto with = [&](std::map<uint16_t, std::u16string> strings) {
        ResTree tree = p.image.resources;
        StringTable_Put(strings, tree);
        return Package_List(tree);
    };
    auto has = [](const Listing &l, const std::string &what) {
        for (auto &s : l.problems)
            if (s.find(what) != std::string::npos)
                return true;
        return false;
    };
    Listing l = with({{1000, u"SETUP.EXE,4"}, {1001, u"CON,3"}, {1002, u"A*B,3"}, {1003, u"TRAIL.,3"}, {1004, u"setup.exe,3"}});
    EXPECT_TRUE(has(l, "entry 1001 has the name \"CON\", which is a reserved device name"));
    EXPECT_TRUE(has(l, "entry 1002 has the name \"A*B\", which holds the character '*'"));
    EXPECT_TRUE(has(l, "entry 1003 has the name \"TRAIL.\", which ends with a dot"));
    EXPECT_TRUE(has(l, "entry 1004 has the name \"setup.exe\" of an earlier entry"));

    // A wrong total: verify fails, and so does extract, unless forced.
    ResTree tree = p.image.resources;
    StringTable_Put({{kStringTotal, u"99"}, {1000, u"SETUP.EXE,4"}, {1001, u"A\tB,3"}, {1002, u"B.TXT,3"},
                        {1003, u"C.TXT,3"}, {1004, u"D.TXT,3"}}, tree);
    WriteAll(p.dir / "bad.exe", WriteImage(p.image, tree));
    std::ostringstream out, err;
    EXPECT_EQ(Command_List(p.dir / "bad.exe", false, out, err), 0);
    EXPECT_NE(out.str().find("A\\x09B"), std::string::npos) << out.str();
    EXPECT_EQ(out.str().find("A\tB"), std::string::npos);
    EXPECT_EQ(Command_Extract(p.dir / "bad.exe", p.dir / "x", false, false, out, err), 1);
    EXPECT_NE(err.str().find("not extracted (verify fails"), std::string::npos) << err.str();
    EXPECT_FALSE(fs::exists(p.dir / "x"));
    std::ostringstream o2, e2;
    EXPECT_EQ(Command_Extract(p.dir / "bad.exe", p.dir / "x", true, false, o2, e2), 1);  // entry 1001 still refused
    EXPECT_TRUE(fs::exists(p.dir / "x" / "B.TXT"));
    EXPECT_FALSE(fs::exists(p.dir / "x" / "A\tB"));
}

// Sizes are taken from the file system and summed in 64 bits: a sparse file
// of several GB is refused at once, without being read, and one of 4 GiB + 1
// is not taken for 1 byte.
TEST(LargePackages, SizesAboveTheCeilingAreRefusedWithoutReadingAndNeverWrap)
{
    fs::path dir = TempDir();
    for (uint64_t size : {uint64_t(2200000000), (uint64_t(1) << 32) + 1}) {
        PackRequest r = Request(dir, {{"SETUP.EXE", 10}});
        fs::path sparse = dir / "sparse";
        WriteAll(sparse, {});
        fs::resize_file(sparse, size);
        r.files.push_back({sparse, "BIG.BIN"});
        PackResult res = Pack(r, dir / "out.exe");
        EXPECT_EQ(res.code, 1) << size;
        EXPECT_NE(res.err.find("more than 1,000,000,000 bytes, the most a selfextr stub is shown to extract"),
                  std::string::npos) << res.err;
        EXPECT_FALSE(fs::exists(dir / "out.exe"));
    }
    // A stub based so high that the finished image leaves the 2 GiB of a 32-bit process.
    Packed p = PackOf({{"SETUP.EXE", 10}});
    auto high = p.bytes;
    Bytes_Set32(high, p.image.optOffset + 28, 0x7FFFC000u);  // ImageBase: 16 KiB below 2 GiB
    WriteAll(dir / "high.exe", high);
    PackResult high2 = Pack(Request(dir, {{"SETUP.EXE", 10}}), dir / "out.exe", dir / "high.exe");
    EXPECT_NE(high2.err.find("past the 2 GiB of a 32-bit process"), std::string::npos) << high2.err;
    EXPECT_FALSE(fs::exists(dir / "out.exe"));

    // Two files that each fit and together do not.
    PackRequest r = Request(dir, {{"SETUP.EXE", 10}});
    fs::resize_file(dir / "sparse", 600000000);
    r.files.push_back({dir / "sparse", "A.BIN"});
    r.files.push_back({dir / "sparse", "B.BIN"});
    EXPECT_NE(Pack(r, dir / "out.exe").err.find("more than 1,000,000,000 bytes"), std::string::npos);
}

TEST(LargePackages, AboveTheFormatsThirtyTwoBitRuleVerifyPassesWithANote)
{
    fs::path dir = TempDir();
    PackRequest r = Request(dir, {{"SETUP.EXE", 10}});
    WriteAll(dir / "big", {});
    fs::resize_file(dir / "big", kFormatTotal);  // with SETUP.EXE: 10 bytes above the rule
    r.files.push_back({dir / "big", "BIG.BIN"});
    PackResult res = Pack(r, dir / "out.exe");
    ASSERT_EQ(res.code, 0) << res.err;
    EXPECT_NE(res.err.find("warning: the package holds 42,949,682 bytes, more than the 42,949,672"), std::string::npos)
        << res.err;
    std::ostringstream out, err;
    EXPECT_EQ(Command_List(dir / "out.exe", true, out, err), 0) << err.str();
    EXPECT_NE(out.str().find("note: the package holds 42,949,682 bytes"), std::string::npos) << out.str();
    EXPECT_NE(out.str().find("no problems"), std::string::npos) << out.str();
    // A total the stub could not be shown to extract is a problem.
    std::string error;
    auto image = Image_Load(dir / "out.exe", error);
    ASSERT_TRUE(image) << error;
    ResTree tree = image->resources;
    StringTable_Put({{kStringTotal, u"1000000001"}}, tree);
    Listing l = Package_List(tree);
    bool flagged = false;
    for (auto &p : l.problems)
        flagged |= p.find("is more than 1,000,000,000 bytes") != std::string::npos;
    EXPECT_TRUE(flagged);
}
