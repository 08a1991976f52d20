// payload_test.cpp: folder trees packed as .tar.xz, read back by our decoder,
// by tar and xz, refused where Windows or the archive cannot hold them.
#include "testutil.h"
#include "decoder/tar.h"
#include "package/package.h"
#include "hostile_craft.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <chrono>
#include <cstdlib>
#include <map>

using namespace selfextr;

namespace {

struct TreeFile {
    std::string path;  // '/' between names; a trailing '/' makes a folder
    size_t size;
};

// Writes the tree below root in the given order, every item dated when.
void MakeTree(const fs::path &root, const std::vector<TreeFile> &items, time_t when)
{
    for (const TreeFile &t : items) {
        // The bytes follow from the path, whatever the order of writing.
        uint32_t seed = 11;
        for (char c : t.path)
            seed = seed * 31 + uint8_t(c);
        fs::path p = root / fs::path(reinterpret_cast<const char8_t *>(t.path.c_str()));
        if (t.path.back() == '/') {
            fs::create_directories(p);
            continue;
        }
        fs::create_directories(p.parent_path());
        WriteAll(p, Pattern(t.size, seed));
    }
    timespec times[2] = {{when, 0}, {when, 0}};
    for (auto it = fs::recursive_directory_iterator(root); it != fs::recursive_directory_iterator(); ++it)
        utimensat(AT_FDCWD, it->path().c_str(), times, AT_SYMLINK_NOFOLLOW);
}

// Every regular file below root: relative path to bytes; folders as "path/".
std::map<std::string, std::vector<uint8_t>> ReadTree(const fs::path &root)
{
    std::map<std::string, std::vector<uint8_t>> out;
    for (auto it = fs::recursive_directory_iterator(root); it != fs::recursive_directory_iterator(); ++it) {
        std::string rel = fs::relative(it->path(), root).string();
        if (it->is_directory())
            out[rel + "/"] = {};
        else
            out[rel] = ReadAll(it->path());
    }
    return out;
}

std::string Repeat(const std::string &s, size_t n)
{
    std::string out;
    while (n--)
        out += s;
    return out;
}

// A tree with what Windows paths make hard: nesting, an empty folder, names
// outside ASCII, a name of 255 UTF-16 units, a path past 260 and 8.3's reach.
std::vector<TreeFile> HardTree()
{
    const std::string long255 = Repeat("\xC3\xA9", 250) + ".data";  // 255 UTF-16 units
    const std::string deep = Repeat("folder-with-a-long-name-", 4);
    return {{"app/bin/tool.exe", 300000},
            {"app/bin/empty.dll", 0},
            {"app/share/doc/README.txt", 4000},
            {"app/share/empty/", 0},
            {"\xC3\xBC" "bersetzung/\xE6\x97\xA5\xE6\x9C\xAC.txt", 17},
            {"names/" + long255, 33},
            {deep + "/" + deep + "/" + deep + "/" + deep + "/end.bin", 70000},
            {"names/a,comma and blanks.txt", 5}};
}

PackRequest PayloadRequest(const fs::path &dir, const fs::path &tree)
{
    PackRequest r = Request(dir, {{"README.TXT", 10}});
    r.payloadDir = tree;
    r.run = "app\\bin\\tool.exe /quiet";
    return r;
}

}  // namespace

TEST(PayloadRoundTrip, ListVerifyExtractAndTarGiveBackTheTreeByteForByte)
{
    fs::path dir = TempDir();
    MakeTree(dir / "tree", HardTree(), 1700000000);
    for (uint32_t blockBytes : {0u, 1u << 20}) {
        PackRequest r = PayloadRequest(dir, dir / "tree");
        r.payloadOptions.blockBytes = blockBytes;
        // A block smaller than the tree: several independent blocks.
        if (blockBytes)
            MakeTree(dir / "tree", {{"big/random.bin", 2500000}}, 1700000000);
        PackResult res = Pack(r, dir / "p.exe");
        ASSERT_EQ(res.code, 0) << res.err;
        EXPECT_NE(res.out.find("payload: "), std::string::npos) << res.out;

        std::string error;
        auto image = Image_Load(dir / "p.exe", error);
        ASSERT_TRUE(image) << error;
        Listing l = Package_List(image->resources, true);
        EXPECT_TRUE(l.problems.empty()) << l.problems.front();
        ASSERT_TRUE(l.payload);
        EXPECT_EQ(l.payload->summary.blocks > 1, blockBytes != 0);
        auto want = ReadTree(dir / "tree");
        size_t files = 0;
        for (const PayloadItem &i : l.payload->items) {
            auto it = want.find(i.folder ? i.path + "/" : i.path);
            ASSERT_NE(it, want.end()) << i.path;
            EXPECT_EQ(i.size, it->second.size()) << i.path;
            EXPECT_EQ(i.mtime, 1700000000) << i.path;
            files += !i.folder;
        }
        EXPECT_EQ(l.payload->items.size(), want.size());

        // Our extract writes the tree and keeps each file's time.
        fs::path out = dir / ("out" + std::to_string(blockBytes));
        std::ostringstream o, e;
        ASSERT_EQ(Command_Extract(dir / "p.exe", out, false, false, o, e), 0) << e.str();
        auto got = ReadTree(out);
        got.erase("README.TXT");
        EXPECT_EQ(got, want);
        struct stat st;
        ASSERT_EQ(stat((out / "app/share/doc/README.txt").c_str(), &st), 0);
        EXPECT_EQ(st.st_mtime, 1700000000);

        // The raw entry is an ordinary archive for xz and tar.
        fs::path raw = dir / ("raw" + std::to_string(blockBytes));
        ASSERT_EQ(Command_Extract(dir / "p.exe", raw, false, true, o, e), 0) << e.str();
        fs::path xz = raw / l.payload->name, untarred = dir / ("tar" + std::to_string(blockBytes));
        fs::create_directories(untarred);
        ASSERT_EQ(std::system(("xz -t '" + xz.string() + "' && tar -xJf '" + xz.string() + "' -C '" + untarred.string() + "'").c_str()), 0);
        EXPECT_EQ(ReadTree(untarred), want);
    }
}

TEST(PayloadRoundTrip, TheSameTreeGivesTheSameBytesWhateverOrderUmaskOrClock)
{
    fs::path dir = TempDir();
    auto items = HardTree();
    MakeTree(dir / "a", items, 1700000000);
    mode_t old = umask(077);
    std::reverse(items.begin(), items.end());
    MakeTree(dir / "b", items, 1700000000);
    umask(old);
    Payload a, b, c;
    std::string error;
    ASSERT_TRUE(Payload_Build(dir / "a", nullptr, {}, a, error)) << error;
    ASSERT_TRUE(Payload_Build(dir / "b", nullptr, {}, b, error)) << error;
    EXPECT_EQ(a.bytes, b.bytes);
    EXPECT_EQ(a.name, b.name);
    // SOURCE_DATE_EPOCH clamps later times only: a tree touched now packs as before.
    MakeTree(dir / "b", {}, time(nullptr));
    ASSERT_TRUE(Payload_Build(dir / "b", "1700000000", {}, c, error)) << error;
    EXPECT_EQ(a.bytes, c.bytes);
    ASSERT_TRUE(Payload_Build(dir / "b", nullptr, {}, c, error)) << error;
    EXPECT_NE(a.bytes, c.bytes);
    EXPECT_NE(a.name, c.name);
}

// Files of whole 512-byte blocks need no padding: nothing is fed between
// them, which liblzma must never be asked for twice without progress. Sizes
// around where its output buffer first fills exactly, with a file after them.
TEST(PayloadRoundTrip, FilesOfWholeBlocksOfAnySizePack)
{
    fs::path dir = TempDir();
    for (size_t blocks : {1, 128, 255, 256, 257, 534}) {
        SCOPED_TRACE(std::to_string(blocks) + " blocks");
        fs::remove_all(dir / "t");
        fs::create_directories(dir / "t");
        WriteAll(dir / "t/a.bin", Pattern(512 * blocks, uint32_t(blocks)));
        WriteAll(dir / "t/b.exe", Pattern(70000, 3));
        Payload p;
        std::string error;
        ASSERT_TRUE(Payload_Build(dir / "t", nullptr, {}, p, error)) << error;
        PayloadSummary summary;
        PayloadVisitor visitor;
        EXPECT_TRUE(Payload_Read(p.bytes, visitor, summary, error)) << error;
        EXPECT_EQ(summary.expanded, 512 * blocks + 70000);
    }
}

TEST(PayloadRefusals, WhatWindowsOrTheArchiveCannotHoldIsRefusedNamingThePath)
{
    struct Case { std::string label; std::function<void(const fs::path &)> make; std::string expect; };
    std::vector<Case> cases = {
        {"link", [](const fs::path &t) { fs::create_symlink("target", t / "sub/link"); }, "sub/link\" is a symbolic link"},
        {"fifo", [](const fs::path &t) { mkfifo((t / "sub/fifo").c_str(), 0600); }, "sub/fifo\" is a FIFO"},
        {"device name", [](const fs::path &t) { WriteAll(t / "sub/con.txt", {1}); }, "reserved device name"},
        {"trailing dot", [](const fs::path &t) { WriteAll(t / "sub/x.", {1}); }, "ends with a dot or a blank"},
        {"colon", [](const fs::path &t) { WriteAll(t / "sub/a:b", {1}); }, "forbids"},
        {"look-alike", [](const fs::path &t) { WriteAll(t / "sub/a\xEF\xBC\x8F" "b", {1}); }, "separator or forbidden"},
        {"trailing blank", [](const fs::path &t) { fs::create_directories(t / "sub/dir "); }, "ends with a dot or a blank"},
        {"case", [](const fs::path &t) { WriteAll(t / "sub/Readme.TXT", {1}); }, "differ only in case"},
    };
    for (const Case &c : cases) {
        fs::path dir = TempDir();
        MakeTree(dir / "t", {{"sub/readme.txt", 3}}, 1700000000);
        c.make(dir / "t");
        PackResult res = Pack(PayloadRequest(dir, dir / "t"), dir / "p.exe");
        EXPECT_EQ(res.code, 1) << c.label;
        EXPECT_NE(res.err.find(c.expect), std::string::npos) << c.label << ": " << res.err;
        EXPECT_FALSE(fs::exists(dir / "p.exe")) << c.label;
    }
}

TEST(PayloadRefusals, APayloadNeedsItsCommandAndTheRunnerIsTheOnlySetup)
{
    fs::path dir = TempDir();
    MakeTree(dir / "t", {{"a.txt", 3}}, 1700000000);
    PackRequest r = PayloadRequest(dir, dir / "t");
    r.run.clear();
    EXPECT_NE(Pack(r, dir / "p.exe").err.find("add --run \"COMMAND\""), std::string::npos);
    r = PayloadRequest(dir, dir / "t");
    r.payloadDir.clear();
    EXPECT_NE(Pack(r, dir / "p.exe").err.find("--run starts a command from the payload: add --payload DIR"), std::string::npos);
    r = PayloadRequest(dir, dir / "t");
    r.run = "a.txt";
    r.files.push_back({r.files[0].source, "setup.exe"});
    EXPECT_NE(Pack(r, dir / "p.exe").err.find("named SETUP.EXE"), std::string::npos);
    EXPECT_FALSE(fs::exists(dir / "p.exe"));
}

TEST(PayloadDamage, EveryChangedByteAndEveryCutFailsVerify)
{
    fs::path dir = TempDir();
    MakeTree(dir / "t", {{"a/one.txt", 5000}, {"b/two.bin", 70000}, {"c/", 0}}, 1700000000);
    Payload p;
    std::string error;
    ASSERT_TRUE(Payload_Build(dir / "t", nullptr, {}, p, error)) << error;
    PayloadSummary summary;
    ASSERT_TRUE(Payload_Read(p.bytes, {}, summary, error)) << error;
    EXPECT_EQ(summary.files, 2u);
    EXPECT_EQ(summary.folders, 3u);
    // Each structure: stream header, block header, data, check, index, footer.
    const size_t n = p.bytes.size();
    for (size_t at : {size_t(0), size_t(7), size_t(12), size_t(14), size_t(30), n / 2, n - 60, n - 40, n - 30,
                      n - 20, n - 14, n - 9, n - 5, n - 1}) {
        std::vector<uint8_t> bad = p.bytes;
        bad[at] ^= 0x10;
        EXPECT_FALSE(Payload_Read(bad, {}, summary, error)) << "byte " << at << " of " << n;
        EXPECT_NE(error.find("damaged"), std::string::npos) << error;
    }
    for (size_t len : {size_t(0), size_t(11), size_t(12), size_t(24), n / 3, n - 13, n - 12, n - 1})
        EXPECT_FALSE(Payload_Read(std::span(p.bytes).first(len), {}, summary, error)) << "cut at " << len;

    // And through the package: verify fails on one changed byte of the entry.
    PackRequest r = PayloadRequest(dir, dir / "t");
    r.run = "b\\two.bin";
    PackResult res = Pack(r, dir / "p.exe");
    ASSERT_EQ(res.code, 0) << res.err;
    auto bytes = ReadAll(dir / "p.exe");
    auto where = std::search(bytes.begin(), bytes.end(), p.bytes.begin(), p.bytes.begin() + 64);
    ASSERT_NE(where, bytes.end());
    where[p.bytes.size() / 2] ^= 1;
    WriteAll(dir / "bad.exe", bytes);
    std::ostringstream o, e;
    EXPECT_EQ(Command_List(dir / "bad.exe", true, o, e), 1);
    EXPECT_NE(e.str().find("payload"), std::string::npos) << e.str();
    EXPECT_EQ(Command_Extract(dir / "bad.exe", dir / "x", false, false, o, e), 1);
}

namespace {

std::vector<uint8_t> TarHeader(const std::string &name, char type, uint64_t size, const char *magic = "ustar",
                               const std::string &link = {})
{
    return hostile::TarHeader(name, type, size, magic, 0, link);
}

std::vector<uint8_t> Archive(std::vector<std::vector<uint8_t>> parts, bool end = true)
{
    std::vector<uint8_t> out;
    for (auto &p : parts) {
        out.insert(out.end(), p.begin(), p.end());
        out.resize((out.size() + 511) / 512 * 512, 0);
    }
    if (end)
        out.resize(out.size() + 1024, 0);
    return out;
}

// Feeds the archive in pieces of step bytes; the first error, or "" when it ends well.
std::string ReadTar(const std::vector<uint8_t> &bytes, size_t step, std::vector<std::string> *paths = nullptr)
{
    auto t = std::make_unique<TarReader>();
    Tar_Init(t.get());
    for (size_t at = 0; at < bytes.size();) {
        size_t n = std::min(step, bytes.size() - at), used;
        const uint8_t *data;
        size_t dataBytes;
        TarStatus s = Tar_Feed(t.get(), bytes.data() + at, n, &used, &data, &dataBytes);
        if (s == TAR_ERROR)
            return t->error;
        if (s == TAR_ENTRY && paths)
            paths->push_back(t->entry.path);
        at += used;
    }
    return Tar_Ended(t.get()) ? "" : "not ended";
}

std::vector<uint8_t> Bytes(const std::string &s) { return std::vector<uint8_t>(s.begin(), s.end()); }

}  // namespace

TEST(PayloadTar, HostileArchivesAreRefusedWithTheReasonWhateverTheFeedSize)
{
    const std::string pax = "17 path=d\xC3\xA9j\xC3\xA0/x\n";
    struct Case { const char *label; std::vector<uint8_t> bytes; const char *expect; };
    std::vector<Case> cases = {
        {"dot-dot", Archive({TarHeader("../evil.txt", '0', 0)}), "is \".\" or \"..\""},
        {"inner dot-dot", Archive({TarHeader("a/../../b", '0', 0)}), "is \".\" or \"..\""},
        {"absolute", Archive({TarHeader("/etc/passwd", '0', 0)}), "absolute"},
        {"drive", Archive({TarHeader("C:x", '0', 0)}), "colon"},
        {"backslash", Archive({TarHeader("a\\..\\b", '0', 0)}), "backslash"},
        {"empty name", Archive({TarHeader("a//b", '0', 0)}), "empty name"},
        {"symlink", Archive({TarHeader("link", '2', 0)}), "link"},
        {"hard link", Archive({TarHeader("link", '1', 0)}), "a link entry names no target"},
        {"link field on a file", Archive({TarHeader("a", '0', 0, "ustar", "b")}), "names a link target"},
        {"linkpath on a file", Archive({TarHeader("x", 'x', 14), Bytes("14 linkpath=b\n"), TarHeader("a", '0', 0)}), "names a link target"},
        {"two linkpaths", Archive({TarHeader("x", 'x', 28), Bytes("14 linkpath=b\n14 linkpath=c\n"), TarHeader("a", '1', 0)}),
         "names two paths"},
        {"link target breaks the rules", Archive({TarHeader("a", '0', 0), TarHeader("c", '1', 0, "ustar", "a\\b")}),
         "backslash"},
        {"device", Archive({TarHeader("dev", '3', 0)}), "neither a file nor a folder"},
        {"global pax", Archive({TarHeader("g", 'g', 0)}), "neither a file nor a folder"},
        {"old tar", Archive({TarHeader("a", '0', 0, "ustar ")}), "not a POSIX ustar"},
        {"pax key", Archive({TarHeader("x", 'x', 14), Bytes("14 uname=root\n"), TarHeader("a", '0', 0)}), "key"},
        {"pax length", Archive({TarHeader("x", 'x', 11), Bytes("99 path=ab\n"), TarHeader("a", '0', 0)}), "malformed"},
        {"pax at end", Archive({TarHeader("x", 'x', pax.size()), Bytes(pax)}), "end of the archive"},
        {"not UTF-8", Archive({TarHeader("a\xC3(", '0', 0)}), "not UTF-8"},
        {"overlong", Archive({TarHeader("a\xC0\xAE", '0', 0)}), "not UTF-8"},
        {"folder size", Archive({TarHeader("d/", '5', 1)}), "has a size"},
        {"cut", Archive({TarHeader("a", '0', 1000)}, false), "not ended"},
        {"one end block", Archive({TarHeader("a", '0', 0), std::vector<uint8_t>(512, 0)}, false), "not ended"},
        {"trailing", [&] { auto a = Archive({TarHeader("a", '0', 0)}); a.push_back(0); return a; }(), "follow the end"},
    };
    auto sumBroken = Archive({TarHeader("a", '0', 0)});
    sumBroken[0] = 'b';
    cases.push_back({"checksum", sumBroken, "checksum"});
    for (const Case &c : cases)
        for (size_t step : {size_t(1), size_t(7), size_t(512), size_t(1 << 20)}) {
            std::string error = ReadTar(c.bytes, step);
            EXPECT_NE(error.find(c.expect), std::string::npos) << c.label << " (feed " << step << "): " << error;
        }
    // What pack writes reads back, pax path and all.
    std::vector<std::string> paths;
    EXPECT_EQ(ReadTar(Archive({TarHeader("d/", '5', 0), TarHeader("x", 'x', pax.size()), Bytes(pax),
                               TarHeader("ignored", '0', 3), Bytes("abc")}), 5, &paths), "");
    EXPECT_EQ(paths, (std::vector<std::string>{"d", "d\xC3\xA9j\xC3\xA0/x"}));
    // A copy: no data, its target from the link field or a pax linkpath record, then its end.
    const std::string linkpath = "21 linkpath=d\xC3\xA9j\xC3\xA0/x\n";
    const auto copies = Archive({TarHeader("d/", '5', 0), TarHeader("d/a", '0', 3), Bytes("abc"),
                                 TarHeader("b", '1', 0, "ustar", "d/a"), TarHeader("x", 'x', linkpath.size()),
                                 Bytes(linkpath), TarHeader("c", '1', 0, "ustar", "PaxLinkPath")});
    for (size_t step : {size_t(1), size_t(512), size_t(1 << 20)}) {
        auto t = std::make_unique<TarReader>();
        Tar_Init(t.get());
        std::vector<std::string> seen;
        for (size_t at = 0; at < copies.size();) {
            size_t used, dataBytes;
            const uint8_t *data;
            TarStatus st = Tar_Feed(t.get(), copies.data() + at, std::min(step, copies.size() - at), &used, &data, &dataBytes);
            ASSERT_NE(st, TAR_ERROR) << t->error;
            if (st == TAR_ENTRY)
                seen.push_back(std::string(t->entry.path) + (t->entry.target ? " -> " + std::string(t->entry.target) : "") + " " +
                               std::to_string(t->entry.size));
            if (st == TAR_FILE_END)
                seen.push_back("end");
            at += used;
        }
        EXPECT_TRUE(Tar_Ended(t.get()));
        EXPECT_EQ(seen, (std::vector<std::string>{"d 0", "d/a 3", "end", "b -> d/a 0", "end", "c -> d\xC3\xA9j\xC3\xA0/x 0", "end"}));
    }
}

// The bounds of the times a payload may carry are the years Windows can set,
// reckoned from the calendar rather than from the constants' arithmetic.
TEST(PayloadTime, TheBoundsAreTheFirstSecondAfter1601AndTheLastBefore30828)
{
    using namespace std::chrono;
    const auto epoch = sys_days{1970y / January / 1};
    EXPECT_EQ(seconds(kTarFirstTime - 1), sys_seconds(sys_days{year{1601} / January / 1}) - sys_seconds(epoch));
    EXPECT_EQ(seconds(kTarLastTime + 1), sys_seconds(sys_days{year{30828} / January / 1}) - sys_seconds(epoch));
    // The runner's conversion: 100 ns since 1601, never 0 ("leave unchanged"), never past the signed 64-bit range.
    EXPECT_GT((uint64_t(kTarFirstTime) + 11644473600u) * 10000000u, 0u);
    EXPECT_LT((uint64_t(kTarLastTime) + 11644473600u) * 10000000u, uint64_t(1) << 63);
}

// pack refuses an input whose time Windows cannot set, as verify and the
// runner would refuse it; tmpfs keeps such times where ext4 clamps them.
TEST(PayloadTime, PackRefusesAnInputWhoseTimeWindowsCannotSet)
{
    std::string tmpl = "/dev/shm/selfextr-time-XXXXXX";
    if (!fs::is_directory("/dev/shm") || mkdtemp(tmpl.data()) == nullptr)
        GTEST_SKIP() << "no tmpfs at /dev/shm";
    const fs::path tree = tmpl;
    for (int64_t when : {kTarFirstTime - 1, kTarLastTime + 1, int64_t(-20000000000)}) {
        fs::path dir = TempDir();
        MakeTree(tree, {{"sub/a.txt", 3}, {"app/bin/tool.exe", 5}}, 1700000000);
        timespec times[2] = {{time_t(when), 0}, {time_t(when), 0}};
        ASSERT_EQ(utimensat(AT_FDCWD, (tree / "sub/a.txt").c_str(), times, 0), 0);
        struct stat st;
        ASSERT_EQ(stat((tree / "sub/a.txt").c_str(), &st), 0);
        if (st.st_mtime != when)
            GTEST_SKIP() << "this tmpfs clamps times";
        PackResult res = Pack(PayloadRequest(dir, tree), dir / "p.exe");
        EXPECT_EQ(res.code, 1) << when;
        EXPECT_NE(res.err.find("sub/a.txt\" has a time outside the years 1601 to 30827, which Windows cannot set"), std::string::npos) << res.err;
        EXPECT_FALSE(fs::exists(dir / "p.exe"));
    }
    // The first and last second Windows can set pack.
    for (int64_t when : {kTarFirstTime, kTarLastTime}) {
        fs::path dir = TempDir();
        timespec times[2] = {{time_t(when), 0}, {time_t(when), 0}};
        ASSERT_EQ(utimensat(AT_FDCWD, (tree / "sub/a.txt").c_str(), times, 0), 0);
        PackResult ok = Pack(PayloadRequest(dir, tree), dir / "p.exe");
        EXPECT_EQ(ok.code, 0) << when << ": " << ok.err;
    }
    fs::remove_all(tree);
}

// The payload is the image's own resource, never an entry the stub writes;
// a package of the earlier layout, whose stub wrote the payload as its last
// entry, is listed, verified and extracted as before.
TEST(PayloadRoundTrip, ThePayloadIsNoEntryAndTheEarlierLayoutIsStillRead)
{
    fs::path dir = TempDir();
    MakeTree(dir / "tree", HardTree(), 1700000000);
    ASSERT_EQ(Pack(PayloadRequest(dir, dir / "tree"), dir / "p.exe").code, 0);
    std::string error;
    auto image = Image_Load(dir / "p.exe", error);
    ASSERT_TRUE(image) << error;
    Listing l = Package_List(image->resources, true);
    ASSERT_TRUE(l.payload && l.problems.empty());
    EXPECT_FALSE(l.payload->asEntry);
    ASSERT_EQ(l.entries.size(), 2u);  // README.TXT and SETUP.EXE
    EXPECT_EQ(l.total, l.entries[0].size + l.entries[1].size);

    // The same package as the earlier layout wrote it.
    ResTree old = image->resources;
    const ResLangs *payload = ResTree_Find(old, kRtPayload, kPayloadId);
    ASSERT_NE(payload, nullptr);
    const std::span<const uint8_t> bytes = ResData_Bytes(payload->at(kLangEnUs));
    std::map<uint16_t, std::u16string> strings;
    for (uint16_t id : {kStringCaption, kStringPrompt, kStringDate, kStringTime, kStringPayload, kStringCommand,
                        uint16_t(kEntryFirst), uint16_t(kEntryFirst + 1)})
        strings[id] = Text_Utf16(*StringTable_Get(old, id));
    strings[kEntryFirst + 2] = Text_Utf16(l.payload->name + "," + std::to_string(bytes.size()));
    strings[kStringTotal] = Text_Utf16(std::to_string(l.total + bytes.size()));
    old[ResKey::Id(kRtEntry)][ResKey::Id(kEntryFirst + 2)][kLangEnUs].bytes = std::vector<uint8_t>(bytes.begin(), bytes.end());
    old[ResKey::Id(kRtPayload)].erase(ResKey::Id(kPayloadId));
    old.erase(ResKey::Id(kRtString));
    StringTable_Put(strings, old);
    ASSERT_TRUE(Image_WriteFile(*image, old, {}, dir / "old.exe", error)) << error;

    std::ostringstream o, e;
    ASSERT_EQ(Command_List(dir / "old.exe", true, o, e), 0) << e.str();
    auto reloaded = Image_Load(dir / "old.exe", error);
    ASSERT_TRUE(reloaded) << error;
    Listing ol = Package_List(reloaded->resources, true);
    ASSERT_TRUE(ol.payload);
    EXPECT_TRUE(ol.payload->asEntry);
    EXPECT_EQ(ol.entries.size(), 3u);
    EXPECT_EQ(ol.payload->items.size(), l.payload->items.size());
    // extract gives the tree, without the payload's entry or the runner.
    ASSERT_EQ(Command_Extract(dir / "old.exe", dir / "out", false, false, o, e), 0) << e.str();
    auto got = ReadTree(dir / "out");
    got.erase("README.TXT");
    EXPECT_EQ(got, ReadTree(dir / "tree"));
}
