// copies_test.cpp: files with the same bytes stored once in the payload as
// hard links to the first of them, and written back as files of their own.
#include "testutil.h"
#include "hostile_craft.h"

#include "cli/listing_json.h"
#include "decoder/paths.h"
#include "decoder/tar.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <map>

using namespace selfextr;

namespace {

void SetTime(const fs::path &p, time_t when)
{
    timespec times[2] = {{when, 0}, {when, 0}};
    ASSERT_EQ(utimensat(AT_FDCWD, p.c_str(), times, AT_SYMLINK_NOFOLLOW), 0) << p;
}

// Every regular file below root and its bytes; a folder as "path/".
std::map<std::string, std::vector<uint8_t>> Files(const fs::path &root)
{
    std::map<std::string, std::vector<uint8_t>> out;
    for (auto it = fs::recursive_directory_iterator(root); it != fs::recursive_directory_iterator(); ++it)
        out[fs::relative(it->path(), root).string() + (it->is_directory() ? "/" : "")] =
            it->is_directory() ? std::vector<uint8_t>() : ReadAll(it->path());
    return out;
}

PackRequest TreeRequest(const fs::path &dir, const fs::path &tree, uint32_t blockBytes = 0)
{
    PackRequest r = Request(dir, {});
    r.payloadDir = tree;
    r.run = "x.exe";
    r.payloadOptions.blockBytes = blockBytes;
    return r;
}

}  // namespace

// The first of each content in archive order is stored, every later one is a
// copy of it; a file of the same size with other bytes stays a file; an
// extract gives every copy back as a file of its own with its own time; the
// counts and the sizes count every copy; GNU tar reads the archive as a tar.
TEST(PayloadCopies, EachContentIsStoredOnceAndEveryCopyComesBackAsAFile)
{
    fs::path dir = TempDir(), tree = dir / "tree";
    const std::vector<uint8_t> sys = Pattern(200000, 1), dll = Pattern(7000, 2);
    std::vector<uint8_t> other = sys;
    other[123456] ^= 1;
    // Past 100 bytes and outside ASCII: the copy's target goes in a pax linkpath record.
    const std::string longName = "a\xC3\xBC" + std::string(110, 'n') + ".dll";
    for (const char *folder : {"drivers/x86", "drivers/x64", "drivers/arm", "lib", "lib2", "empty"})
        fs::create_directories(tree / folder);
    WriteAll(tree / "drivers/x86/a.sys", sys);
    WriteAll(tree / "drivers/x64/a.sys", sys);
    WriteAll(tree / "drivers/arm/a.sys", other);
    WriteAll(tree / "lib2/runtime.dll", dll);
    WriteAll(tree / "lib" / fs::path(reinterpret_cast<const char8_t *>(longName.c_str())), dll);
    WriteAll(tree / "lib/zz.dll", dll);
    WriteAll(tree / "x.exe", {'M', 'Z'});
    WriteAll(tree / "empty/a.txt", {});
    WriteAll(tree / "empty/b.txt", {});
    for (auto it = fs::recursive_directory_iterator(tree); it != fs::recursive_directory_iterator(); ++it)
        SetTime(it->path(), 1700000000);
    SetTime(tree / "drivers/x86/a.sys", 1600000000);
    SetTime(tree / "lib/zz.dll", 1650000000);

    PackResult res = Pack(TreeRequest(dir, tree), dir / "p.exe");
    ASSERT_EQ(res.code, 0) << res.err;
    EXPECT_NE(res.out.find(", 3 files stored once as copies of earlier ones, saving 214,000 bytes"), std::string::npos) << res.out;

    std::string error;
    auto image = Image_Load(dir / "p.exe", error);
    ASSERT_TRUE(image) << error;
    Listing l = Package_List(image->resources, true);
    ASSERT_TRUE(l.problems.empty()) << l.problems.front();
    ASSERT_TRUE(l.payload);
    EXPECT_EQ(l.payload->summary.files, 9u);
    EXPECT_EQ(l.payload->summary.copies, 3u);
    EXPECT_EQ(l.payload->summary.expanded, 3 * 200000u + 3 * 7000u + 2);
    std::map<std::string, std::string> copyOf;
    for (const PayloadItem &i : l.payload->items) {
        if (!i.copyOf.empty())
            copyOf[i.path] = i.copyOf;
        if (!i.folder)
            EXPECT_EQ(i.size, fs::file_size(tree / fs::path(reinterpret_cast<const char8_t *>(i.path.c_str())))) << i.path;
    }
    // Files of one kind sit by name, then path: the long name first, so the other two name it.
    EXPECT_EQ(copyOf, (std::map<std::string, std::string>{{"drivers/x86/a.sys", "drivers/x64/a.sys"},
                                                          {"lib2/runtime.dll", "lib/" + longName},
                                                          {"lib/zz.dll", "lib/" + longName}}));
    std::ostringstream text, terr;
    EXPECT_EQ(Command_List(dir / "p.exe", false, text, terr), 0) << terr.str();
    EXPECT_NE(text.str().find("  drivers/x86/a.sys  200000  copy of drivers/x64/a.sys\n"), std::string::npos) << text.str();
    const std::string json = ListingJson_Format(l, "p.exe");
    EXPECT_NE(json.find("\"copy_of\" : \"drivers/x64/a.sys\""), std::string::npos) << json;
    EXPECT_NE(json.find("\"copy_count\" : 3"), std::string::npos) << json;

    std::ostringstream o, e;
    ASSERT_EQ(Command_Extract(dir / "p.exe", dir / "out", false, false, o, e), 0) << e.str();
    auto got = Files(dir / "out");
    got.erase("README.TXT");
    EXPECT_EQ(got, Files(tree));
    for (const char *path : {"drivers/x86/a.sys", "drivers/x64/a.sys", "lib2/runtime.dll", "lib/zz.dll"}) {
        struct stat st;
        ASSERT_EQ(lstat((dir / "out" / path).c_str(), &st), 0) << path;
        EXPECT_TRUE(S_ISREG(st.st_mode) && st.st_nlink == 1) << path << " is not a file of its own";
        struct stat want;
        ASSERT_EQ(stat((tree / path).c_str(), &want), 0);
        EXPECT_EQ(st.st_mtime, want.st_mtime) << path;
    }

    // The raw entry is a tar that GNU tar expands to the same bytes.
    ASSERT_EQ(Command_Extract(dir / "p.exe", dir / "raw", false, true, o, e), 0) << e.str();
    fs::create_directories(dir / "tar");
    const std::string xz = (dir / "raw" / l.payload->name).string();
    ASSERT_EQ(std::system(("tar -xJf '" + xz + "' -C '" + (dir / "tar").string() + "'").c_str()), 0);
    EXPECT_EQ(Files(dir / "tar"), Files(tree));
    fs::remove_all(dir);
}

// A file twice costs its headers, not its bytes: with a block the size of
// the file, the second copy would otherwise be compressed all over again.
TEST(PayloadCopies, AMebibyteOfRandomBytesTwicePacksToAboutOneCopysSize)
{
    for (uint32_t blockBytes : {0u, 1u << 20}) {
        SCOPED_TRACE(blockBytes);
        fs::path dir = TempDir();
        const std::vector<uint8_t> random = Pattern(1 << 20, 7);
        fs::create_directories(dir / "one/sub");
        WriteAll(dir / "one/x.exe", {'M', 'Z'});
        WriteAll(dir / "one/sub/data.bin", random);
        fs::copy(dir / "one", dir / "two", fs::copy_options::recursive);
        WriteAll(dir / "two/sub/data-copy.bin", random);
        PackRequest one = TreeRequest(dir, dir / "one", blockBytes), two = TreeRequest(dir, dir / "two", blockBytes);
        one.date = two.date = "2026-01-01";
        PackResult a = Pack(one, dir / "one.exe"), b = Pack(two, dir / "two.exe");
        ASSERT_EQ(a.code, 0) << a.err;
        ASSERT_EQ(b.code, 0) << b.err;
        EXPECT_GT(fs::file_size(dir / "one.exe"), uintmax_t(1) << 20);
        EXPECT_LT(fs::file_size(dir / "two.exe"), fs::file_size(dir / "one.exe") + 1024);
        fs::remove_all(dir);
    }
}

// A file that changes between its comparison and its packing is an error, as
// it is for any file; one that is the same size but differs from its twin
// stays a file, whatever its digest's neighbours.
TEST(PayloadCopies, SameSizeOtherBytesStayFilesAndEveryFileIsReadWhole)
{
    fs::path dir = TempDir(), tree = dir / "tree";
    fs::create_directories(tree);
    WriteAll(tree / "x.exe", {'M', 'Z'});
    for (int i = 0; i < 5; i++)
        WriteAll(tree / ("f" + std::to_string(i) + ".bin"), Pattern(4096, uint32_t(100 + i)));
    PackResult res = Pack(TreeRequest(dir, tree), dir / "p.exe");
    ASSERT_EQ(res.code, 0) << res.err;
    EXPECT_EQ(res.out.find("copies of earlier ones"), std::string::npos) << res.out;
    std::string error;
    auto image = Image_Load(dir / "p.exe", error);
    ASSERT_TRUE(image) << error;
    Listing l = Package_List(image->resources, true);
    ASSERT_TRUE(l.payload);
    EXPECT_EQ(l.payload->summary.copies, 0u);
    fs::remove_all(dir);
}

// The memory's lookup of a copy's target: an earlier file, found as Windows
// finds it (case folded), given back spelled as that file was written with
// its size; never a folder, a path not seen, or another copy.
TEST(PayloadCopies, ATargetIsAnEarlierFileFoundWhateverItsCase)
{
    PathMemory m;
    PathMemory_Init(&m, [](void *, uint32_t bytes) { return malloc(bytes); }, [](void *, void *block) { free(block); }, nullptr);
    std::vector<char> other(kTarOtherBytes);
    uint32_t otherBytes = 0;
    uint64_t size = 0;
    auto add = [&](const std::string &p, PathKind kind, uint64_t bytes) {
        return PathMemory_AddKind(&m, p.data(), uint32_t(p.size()), kind, bytes, other.data(), uint32_t(other.size()), &otherBytes).why;
    };
    auto target = [&](const std::string &p) {
        return PathMemory_Target(&m, p.data(), uint32_t(p.size()), other.data(), uint32_t(other.size()), &otherBytes, &size);
    };
    ASSERT_EQ(add("Dir", PATH_KIND_FOLDER, 0), nullptr);
    ASSERT_EQ(add("Dir/\xC3\x89t\xC3\xA9.dll", PATH_KIND_FILE, uint64_t(5) << 32 | 7), nullptr);
    PathProblem p = target("dIR/\xC3\xA9T\xC3\x89.DLL");
    EXPECT_EQ(p.why, nullptr);
    EXPECT_EQ(std::string(other.data(), otherBytes), "dIR/\xC3\x89t\xC3\xA9.dll");
    EXPECT_EQ(size, uint64_t(5) << 32 | 7);
    EXPECT_EQ(target("dir").why, kPathTargetFolder);
    EXPECT_EQ(target("Dir/other.dll").why, kPathTargetMissing);
    EXPECT_EQ(target("Dir/\xC3\x89t\xC3\xA9.dll/x").why, kPathTargetMissing);
    ASSERT_EQ(add("Dir/copy.dll", PATH_KIND_COPY, 7), nullptr);
    EXPECT_EQ(target("DIR/COPY.DLL").why, kPathTargetCopy);
    EXPECT_EQ(target("DIR/COPY.DLL").subject, PATH_TARGET);
    // A copy's folder is a folder like any other, and a file is still no folder for it.
    EXPECT_EQ(add("Dir/copy.dll/x", PATH_KIND_COPY, 7), kPathFileAsFolder);
    // The lookup keeps nothing.
    EXPECT_EQ(m.count, 3u);
    PathMemory_Free(&m);

    char text[1024];
    const std::string path = "c.dll", tgt = "d";
    Path_Message(path.data(), uint32_t(path.size()), PathProblem{kPathTargetFolder, PATH_TARGET, 0, 0}, tgt.data(),
                 uint32_t(tgt.size()), text, sizeof text);
    EXPECT_STREQ(text, "payload path \"c.dll\" is a copy of \"d\", which is a folder, not a file");
}

// Copies made by another packer: a target spelt in another case, a target in
// a pax linkpath record past 100 bytes and outside ASCII; extract writes
// each copy with the bytes of the file it names.
TEST(PayloadCopies, ACopyNamingItsFileInAnotherCaseOrThroughPaxIsWrittenWithItsBytes)
{
    const std::string name = std::string("D/") + "\xC3\xA9\xC3\xA9" + std::string(100, 'l') + ".dll";
    const std::string upper = std::string("d/") + "\xC3\x89\xC3\x89" + std::string(100, 'L') + ".DLL";
    const HostilePayload p = {"copies", kHostileTar,
                              {{"D/", '5', 0}, {name.c_str(), '0', 5}, {"d/copy.dll", '1', 0, 0, upper.c_str()}, {"D/Two.dll", '1', 0, 0, "d/copy.dll"}},
                              nullptr, nullptr};
    // The last copy names a copy: refused, so this payload is cut to three entries first.
    HostilePayload three = p;
    three.entries[3] = HostileEntry{nullptr, 0, 0, nullptr, nullptr};
    fs::path dir = TempDir(), package = dir / "copies.exe";
    std::string error;
    ASSERT_TRUE(hostile::Package(three, SELFEXTR_STUB_PATH, SELFEXTR_RUNNER_PATH, package.string(), error)) << error;
    std::ostringstream out, err;
    ASSERT_EQ(Command_Extract(package, dir / "x", false, false, out, err), 0) << err.str();
    const fs::path file = dir / "x" / fs::path(reinterpret_cast<const char8_t *>(name.c_str()));
    EXPECT_EQ(ReadAll(file), (std::vector<uint8_t>{'a', 'b', 'c', 'd', 'e'}));
    EXPECT_EQ(ReadAll(dir / "x/D/copy.dll"), ReadAll(file));
    std::ostringstream text, terr;
    EXPECT_EQ(Command_List(package, false, text, terr), 0) << terr.str();
    EXPECT_NE(text.str().find("  d/copy.dll  5  copy of d/" + name.substr(2) + "\n"), std::string::npos) << text.str();

    ASSERT_TRUE(hostile::Package(p, SELFEXTR_STUB_PATH, SELFEXTR_RUNNER_PATH, package.string(), error)) << error;
    std::ostringstream vout, verr;
    EXPECT_EQ(Command_List(package, true, vout, verr), 1);
    EXPECT_NE(verr.str().find("payload path \"D/Two.dll\" is a copy of \"d/copy.dll\", which is itself a copy"), std::string::npos)
        << verr.str();
    fs::remove_all(dir);
}
