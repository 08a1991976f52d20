// selfextr pack: dates, validation, round trips, determinism and repacking.
#include "testutil.h"
#include "cli/manifest.h"
#include "cli/options.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <cstdlib>
#include <functional>

using namespace selfextr;

TEST(PackDates, IsoDatesAndTimesStampExactlyThatMoment)
{
    struct Case { const char *iso, *text; } dates[] = {
        {"2026-12-08", "12-08-126"}, {"1996-11-09", "11-09-96"}, {"1980-01-01", "01-01-80"},
        {"2027-12-31", "12-31-127"}, {"2028-01-01", "01-01-00"}, {"2107-12-31", "12-31-79"}, {"2024-02-29", "02-29-124"}};
    for (auto &c : dates) {
        std::string out, error;
        ASSERT_TRUE(Date_Encode(c.iso, out, error)) << c.iso << ": " << error;
        EXPECT_EQ(out, c.text);
        // The stub's reading of the year field gives the year back.
        int n = std::atoi(out.c_str() + 6);
        EXPECT_EQ(1980 + (n + 48) % 128, std::atoi(c.iso));
    }
    struct Bad { const char *iso, *why; } bad[] = {
        {"1979-12-31", "from 1980 to 2107"}, {"2108-01-01", "from 1980 to 2107"}, {"2023-02-29", "not a day"},
        {"2026-13-01", "not a day"}, {"12-08-26", "not an ISO date"}, {"2026-1-08", "not an ISO date"}};
    for (auto &b : bad) {
        std::string out, error;
        EXPECT_FALSE(Date_Encode(b.iso, out, error)) << b.iso;
        EXPECT_NE(error.find(b.why), std::string::npos) << error;
        EXPECT_NE(error.find(b.iso), std::string::npos) << error;
    }
    std::string out, error;
    ASSERT_TRUE(Date_EncodeTime("04:05", out, error));
    EXPECT_EQ(out, "4:05");
    EXPECT_FALSE(Date_EncodeTime("10:00", out, error));
    EXPECT_NE(error.find("single hour digit"), std::string::npos);
    EXPECT_FALSE(Date_EncodeTime("4:60", out, error));
    EXPECT_FALSE(Date_EncodeTime("4", out, error));
    ASSERT_TRUE(Date_FromEpoch("1765152000", out, error));  // 2025-12-08T00:00:00Z
    EXPECT_EQ(out, "2025-12-08");
    EXPECT_FALSE(Date_FromEpoch("soon", out, error));
}

TEST(PackDates, WithoutADateTheEpochOrElseTheNewestInputGivesIt)
{
    fs::path dir = TempDir();
    PackRequest r = Request(dir, {{"SETUP.EXE", 10}, {"A.TXT", 3}, {"B.TXT", 4}});
    r.date.clear();
    r.time.clear();
    // The middle file is the newest: 2025-03-04 23:30 UTC (the suite runs in UTC).
    const time_t stamps[] = {1700000000, 1741131000, 1600000000};
    for (size_t i = 0; i < 3; i++) {
        timespec t[2] = {{stamps[i], 0}, {stamps[i], 0}};
        ASSERT_EQ(utimensat(AT_FDCWD, r.files[i].source.c_str(), t, 0), 0);
    }
    std::string iso, from, error;
    ASSERT_TRUE(Package_DefaultDate(r.files, nullptr, nullptr, iso, from, error)) << error;
    EXPECT_EQ(iso, "2025-03-04");
    EXPECT_NE(from.find(r.files[1].source.string()), std::string::npos) << from;
    ASSERT_TRUE(Package_DefaultDate(r.files, nullptr, "1765152000", iso, from, error)) << error;
    EXPECT_EQ(iso, "2025-12-08");
    EXPECT_EQ(from, "from SOURCE_DATE_EPOCH, a UTC date");

    // pack says which date it used; the same inputs give the same bytes.
    unsetenv("SOURCE_DATE_EPOCH");
    PackResult first = Pack(r, dir / "a.exe"), second = Pack(r, dir / "b.exe");
    ASSERT_EQ(first.code, 0) << first.err;
    EXPECT_NE(first.out.find("date: 2025-03-04 0:00, the newest modification time among the inputs (" +
                             r.files[1].source.string() + "), a local date\n"), std::string::npos) << first.out;
    EXPECT_EQ(ReadAll(dir / "a.exe"), ReadAll(dir / "b.exe"));
    std::ostringstream out, err;
    ASSERT_EQ(Command_List(dir / "a.exe", false, out, err), 0);
    EXPECT_NE(out.str().find("stamp:   2025-03-04 0:00"), std::string::npos) << out.str();
    r.time = "9:15";
    EXPECT_NE(Pack(r, dir / "c.exe").out.find("date: 2025-03-04 9:15, the newest"), std::string::npos);

    // An input older than any file date can hold names itself.
    timespec old[2] = {{315000000, 0}, {315000000, 0}};  // 1979-12-25
    for (auto &f : r.files)
        ASSERT_EQ(utimensat(AT_FDCWD, f.source.c_str(), old, 0), 0);
    EXPECT_FALSE(Package_DefaultDate(r.files, nullptr, "", iso, from, error));
    EXPECT_NE(error.find("1979-12-25, which cannot be stamped"), std::string::npos) << error;
    EXPECT_FALSE(Package_DefaultDate({}, nullptr, nullptr, iso, from, error));
    EXPECT_NE(error.find("no date"), std::string::npos);
}

TEST(PackValidation, EveryRejectionNamesItsInputAndWritesNothing)
{
    fs::path dir = TempDir();
    auto with = [&](const std::string &name) { return Request(dir, {{"SETUP.EXE", 10}, {name, 3}}); };
    struct Case { std::string label; PackRequest request; std::string expect; };
    std::vector<Case> cases;
    for (std::string name : {"A\\B", "A/B", "C:X", "A*", "A?", "A\"B", "A<B", "A>B", "A|B"})
        cases.push_back({name, with(name), "\"" + name + "\""});
    cases.push_back({"comma", with("A,B"), "comma"});
    cases.push_back({"control", with("A\tB"), "control character"});
    cases.push_back({"dot", with("."), "\".\""});
    cases.push_back({"dotdot", with(".."), "\"..\""});
    for (std::string name : {"CON", "prn", "AUX.TXT", "nul.dat", "COM1", "com9.log", "LPT1", "LPT9.X"})
        cases.push_back({name, with(name), "reserved device name"});
    cases.push_back({"trailing dot", with("A."), "ends with a dot"});
    cases.push_back({"trailing blank", with("A "), "ends with a dot or a blank"});
    cases.push_back({"duplicate", with("setup.exe"), "given twice"});
    cases.push_back({"non-ascii", with("\xC3\xA9T\xC3\xA9.TXT"), "not ASCII"});
    cases.push_back({"long name", with(std::string(256, 'N')), "longer than 255 characters"});
    // 130 characters of two bytes each in a double-byte code page, + ",3".
    std::string wide;
    for (int i = 0; i < 130; i++)
        wide += "\xC3\xA9";
    PackRequest longDescriptor = with(wide);
    longDescriptor.allowNonAscii = true;
    cases.push_back({"long descriptor", longDescriptor, "longer than 259 bytes"});
    PackRequest r = with("OK.TXT");
    r.caption = std::string(64, 'c');
    cases.push_back({"caption", r, "longer than 63 bytes"});
    r = with("OK.TXT");
    r.caption.clear();
    cases.push_back({"no caption", r, "no caption"});
    r = with("OK.TXT");
    r.prompt.clear();
    cases.push_back({"no prompt", r, "no prompt"});
    r = with("OK.TXT");
    r.prompt = std::string(260, 'p');
    cases.push_back({"prompt", r, "longer than 259 bytes"});
    r = with("OK.TXT");
    r.files.clear();
    for (int i = 0; i < 261; i++)
        r.files.push_back({dir / "src-1", "F" + std::to_string(i)});
    cases.push_back({"261 files", r, "at most 260"});
    r = with("OK.TXT");
    r.files[1].source = dir / "missing";
    cases.push_back({"missing", r, "cannot read " + (dir / "missing").string() + ": No such file or directory"});
    r = with("OK.TXT");
    fs::path big = dir / "big";
    WriteAll(big, {});
    fs::resize_file(big, kMaxPackageBytes - 9);  // sparse; with SETUP.EXE's 10 bytes: one byte too many
    r.files[1].source = big;
    cases.push_back({"total", r, "more than 1,000,000,000 bytes"});
    r = with("OK.TXT");
    r.time = "12:30";
    cases.push_back({"hour", r, "12:30"});

    for (auto &c : cases) {
        fs::path out = dir / "out.exe";
        PackResult res = Pack(c.request, out);
        EXPECT_NE(res.code, 0) << c.label;
        EXPECT_NE(res.err.find(c.expect), std::string::npos) << c.label << ": " << res.err;
        EXPECT_FALSE(fs::exists(out)) << c.label;
    }
    // No leftovers of the temporary output either.
    for (auto &e : fs::directory_iterator(dir))
        EXPECT_EQ(e.path().string().find(".selfextr-"), std::string::npos) << e.path();

    PackRequest ok = with("e\xC3\xA9.TXT");
    ok.allowNonAscii = true;
    EXPECT_EQ(Pack(ok, dir / "ok.exe").code, 0);
}

TEST(PackRoundTrip, ListAndExtractGiveBackEveryByte)
{
    fs::path dir = TempDir();
    PackRequest r = Request(dir, {{"SETUP.EXE", 5000}, {"BIG.BIN", 70000}, {" A.TXT", 5}, {"EMPTY.TXT", 0}});
    r.date = "2026-12-08";
    r.version = VersionRecord{"Test Product", "1.2.3.4", "Test Company", "Test package", "(c) 2026"};
    PackResult res = Pack(r, dir / "out.exe");
    ASSERT_EQ(res.code, 0) << res.err;
    EXPECT_EQ(res.err, "");  // SETUP.EXE present: no warning

    std::string error;
    auto image = Image_Load(dir / "out.exe", error);
    ASSERT_TRUE(image) << error;
    Listing l = Package_List(image->resources);
    EXPECT_TRUE(l.problems.empty()) << l.problems.front();
    EXPECT_EQ(l.caption, "Test Setup");
    EXPECT_EQ(l.dateText, "12-08-126");
    EXPECT_EQ(l.dateWord, (46 << 9) | (12 << 5) | 8);
    EXPECT_EQ(l.timeWord, 4 << 11);
    EXPECT_EQ(l.total, 75005u);
    ASSERT_EQ(l.entries.size(), 4u);
    EXPECT_EQ(l.entries[2].name, " A.TXT");
    EXPECT_EQ(l.entries[2].descriptor, " A.TXT,5");
    ASSERT_TRUE(image->resources.count(ResKey::Id(kRtVersion)));

    std::ostringstream out, err;
    ASSERT_EQ(Command_Extract(dir / "out.exe", dir / "x", false, false, out, err), 0) << err.str();
    for (size_t i = 0; i < r.files.size(); i++) {
        EXPECT_EQ(ReadAll(dir / "x" / r.files[i].name), ReadAll(r.files[i].source)) << r.files[i].name;
        auto t = std::chrono::file_clock::to_sys(fs::last_write_time(dir / "x" / r.files[i].name));
        EXPECT_EQ(std::chrono::system_clock::to_time_t(t), 1796702400) << "2026-12-08 04:00 UTC";
    }
}

TEST(PackRoundTrip, DeterministicAndStableThroughParseAndWrite)
{
    fs::path dir = TempDir();
    PackRequest r = Request(dir, {{"SETUP.EXE", 33333}, {"B.DAT", 7}});
    ASSERT_EQ(Pack(r, dir / "one.exe").code, 0);
    ASSERT_EQ(Pack(r, dir / "two.exe").code, 0);
    auto one = ReadAll(dir / "one.exe");
    EXPECT_EQ(one, ReadAll(dir / "two.exe"));

    // Writing a parsed finished stub with its own tree gives the same bytes.
    std::string error;
    auto image = Image_Parse(one, error);
    ASSERT_TRUE(image) << error;
    EXPECT_EQ(WriteImage(*image, image->resources), one);
}

// The optional header's checksum as the loader's checker computes it: 16-bit
// words added one at a time with the carry folded back, the field itself
// left out, the file's length added last.
static uint32_t ReferenceCheckSum(const std::vector<uint8_t> &b)
{
    size_t field = Bytes_Le32(b, 0x3C) + 24 + 64;
    uint32_t sum = 0;
    for (size_t i = 0; i < b.size(); i += 2) {
        if (i == field || i == field + 2)
            continue;
        sum += b[i] | (i + 1 < b.size() ? b[i + 1] << 8 : 0);
        sum = (sum & 0xFFFF) + (sum >> 16);
    }
    return sum + uint32_t(b.size());
}

TEST(PackRoundTrip, ChecksumMatchesTheLoadersOwn)
{
    // Odd sizes put entries at odd lengths of the stream; the large one spans
    // several read blocks and ends off a block boundary.
    fs::path dir = TempDir();
    PackRequest r = Request(dir, {{"SETUP.EXE", 3}, {"ODD.BIN", 1}, {"BIG.BIN", 3 * 131072 + 5}, {"C.TXT", 0}});
    ASSERT_EQ(Pack(r, dir / "out.exe").code, 0);
    auto bytes = ReadAll(dir / "out.exe");
    uint32_t stored = Bytes_Le32(bytes, Bytes_Le32(bytes, 0x3C) + 24 + 64);
    EXPECT_EQ(stored, ReferenceCheckSum(bytes));
    // A file of all 0xFF bytes carries out of every word.
    WriteAll(r.files[2].source, std::vector<uint8_t>(200001, 0xFF));
    ASSERT_EQ(Pack(r, dir / "ones.exe").code, 0);
    bytes = ReadAll(dir / "ones.exe");
    EXPECT_EQ(Bytes_Le32(bytes, Bytes_Le32(bytes, 0x3C) + 24 + 64), ReferenceCheckSum(bytes));
}

TEST(PackRoundTrip, PackingAgainReplacesTheWholePackage)
{
    fs::path dir = TempDir();
    PackRequest big = Request(dir, {{"SETUP.EXE", 10}, {"A", 1}, {"B", 2}, {"C", 3}, {"D", 4}});
    big.version = VersionRecord{"P", "1.0", "", "", ""};
    ASSERT_EQ(Pack(big, dir / "first.exe").code, 0);
    PackRequest small = Request(dir, {{"OTHER.EXE", 6}});
    PackResult res = Pack(small, dir / "second.exe", dir / "first.exe");
    ASSERT_EQ(res.code, 0) << res.err;
    EXPECT_NE(res.err.find("no file is named SETUP.EXE"), std::string::npos);

    std::string error;
    auto image = Image_Load(dir / "second.exe", error);
    ASSERT_TRUE(image);
    Listing l = Package_List(image->resources);
    EXPECT_TRUE(l.problems.empty());
    ASSERT_EQ(l.entries.size(), 1u);
    EXPECT_EQ(l.entries[0].name, "OTHER.EXE");
    EXPECT_FALSE(StringTable_Get(image->resources, 1001));
    EXPECT_EQ(image->resources.at(ResKey::Id(kRtEntry)).size(), 1u);
    EXPECT_FALSE(image->resources.count(ResKey::Id(kRtVersion)));
    // The stub's own resources stay.
    EXPECT_TRUE(image->resources.at(ResKey::Id(kRtDialog)).count(ResKey::Id(kDialogProgress)));
    EXPECT_TRUE(image->resources.at(ResKey::Id(14)).count(ResKey::Name(u"SELFEXTR")));
    // Repacked from the packed stub: the same bytes as packed from the bare one.
    ASSERT_EQ(Pack(small, dir / "third.exe").code, 0);
    EXPECT_EQ(ReadAll(dir / "second.exe"), ReadAll(dir / "third.exe"));
}

TEST(PackRoundTrip, AFailureNeverTouchesTheInput)
{
    fs::path dir = TempDir();
    PackRequest r = Request(dir, {{"SETUP.EXE", 10}});
    ASSERT_EQ(Pack(r, dir / "s.exe").code, 0);
    auto before = ReadAll(dir / "s.exe");
    r.files.push_back({dir / "missing", "X"});
    EXPECT_NE(Pack(r, dir / "s.exe", dir / "s.exe").code, 0);
    EXPECT_EQ(ReadAll(dir / "s.exe"), before);
}

TEST(PackVerify, FlagsWhatTheStubWouldNotExtractAsListed)
{
    fs::path dir = TempDir();
    PackRequest r = Request(dir, {{"SETUP.EXE", 10}, {"A.TXT", 20}, {"B.TXT", 30}});
    ASSERT_EQ(Pack(r, dir / "ok.exe").code, 0);
    std::string error;
    auto image = Image_Load(dir / "ok.exe", error);
    ASSERT_TRUE(image);

    auto problems = [&](auto change) {
        ResTree tree = image->resources;
        change(tree);
        return Package_List(tree).problems;
    };
    auto has = [](const std::vector<std::string> &ps, const std::string &what) {
        for (auto &p : ps)
            if (p.find(what) != std::string::npos)
                return true;
        return false;
    };
    EXPECT_TRUE(problems([](ResTree &) {}).empty());
    auto gap = problems([](ResTree &t) { t[ResKey::Id(kRtEntry)].erase(ResKey::Id(1001)); });
    EXPECT_TRUE(has(gap, "entry 1002 follows a gap"));
    EXPECT_TRUE(has(gap, "descriptor 1001 has no data"));
    EXPECT_TRUE(has(gap, "differs from the sum"));
    auto shortData = problems([](ResTree &t) {
        t[ResKey::Id(kRtEntry)][ResKey::Id(1002)][kLangEnUs].bytes = std::vector<uint8_t>(29);
    });
    EXPECT_TRUE(has(shortData, "claims 30 bytes but its data holds 29"));
    auto noDescriptor = problems([](ResTree &t) {
        t[ResKey::Id(kRtEntry)][ResKey::Id(1003)][kLangEnUs].bytes = std::vector<uint8_t>(1);
    });
    EXPECT_TRUE(has(noDescriptor, "entry 1003 has data but no descriptor"));
    auto noStrings = problems([](ResTree &t) { t.erase(ResKey::Id(kRtString)); });
    EXPECT_TRUE(has(noStrings, "string 100 (caption) is missing"));
    EXPECT_TRUE(has(noStrings, "string 3000 (total) is missing"));

    std::ostringstream out, err;
    EXPECT_EQ(Command_List(dir / "ok.exe", true, out, err), 0);
    EXPECT_NE(out.str().find("3 entries, 60 bytes, no problems"), std::string::npos);
}

TEST(PackExtract, RefusesNamesThatLeaveTheFolder)
{
    fs::path dir = TempDir();
    PackRequest r = Request(dir, {{"SETUP.EXE", 4}, {"SAFE.TXT", 3}});
    ASSERT_EQ(Pack(r, dir / "ok.exe").code, 0);
    std::string error;
    auto image = Image_Load(dir / "ok.exe", error);
    ASSERT_TRUE(image);
    // Entry 1001 renamed "..\EVIL.TXT".
    ResTree tree = image->resources;
    StringTable_Put({{1000, u"SETUP.EXE,4"}, {1001, u"..\\EVIL.TXT,3"}}, tree);
    WriteAll(dir / "evil.exe", WriteImage(*image, tree));

    std::ostringstream o, e;
    EXPECT_EQ(Command_Extract(dir / "evil.exe", dir / "x", true, false, o, e), 1);
    EXPECT_NE(e.str().find("would leave"), std::string::npos) << e.str();
    EXPECT_TRUE(fs::exists(dir / "x" / "SETUP.EXE"));
    EXPECT_FALSE(fs::exists(dir / "EVIL.TXT"));
    EXPECT_NE(Command_List(dir / "evil.exe", true, o, e), 0);
}

// Each option given on the command line replaces its own value only: a
// version field given alone keeps the manifest's other fields.
TEST(PackOptions, TheCommandLineOverridesTheManifestValueByValue)
{
    PackRequest manifest;
    manifest.caption = "From Manifest";
    manifest.prompt = "Manifest prompt?";
    manifest.date = "2026-12-08";
    manifest.version = VersionRecord{"Product", "1.0", "Company", "Description", "(c) Company"};
    manifest.files.push_back({"dist/SETUP.EXE", "SETUP.EXE"});
    PackOptionValues given;
    given.caption = "From Options";
    given.version.version = "2.0";
    given.executionLevel = "asInvoker";
    given.inputs = {{false, "README.TXT"}, {false, "build/a.bin=A.BIN"}};
    PackRequest r = Options_Merge(manifest, given);
    EXPECT_EQ(r.caption, "From Options");
    EXPECT_EQ(r.prompt, "Manifest prompt?");
    EXPECT_EQ(r.date, "2026-12-08");
    EXPECT_EQ(r.time, "");
    EXPECT_EQ(r.executionLevel, "asInvoker");
    ASSERT_TRUE(r.version);
    EXPECT_EQ(r.version->product, "Product");
    EXPECT_EQ(r.version->version, "2.0");
    EXPECT_EQ(r.version->company, "Company");
    EXPECT_EQ(r.version->copyright, "(c) Company");
    ASSERT_EQ(r.files.size(), 3u);
    EXPECT_EQ(r.files[0].name, "SETUP.EXE");
    EXPECT_EQ(r.files[1].source, "README.TXT");
    EXPECT_EQ(r.files[1].name, "README.TXT");
    EXPECT_EQ(r.files[2].source, "build/a.bin");
    EXPECT_EQ(r.files[2].name, "A.BIN");

    // Without a manifest, a version field alone makes a record of it.
    PackOptionValues alone;
    alone.version.product = "Only";
    r = Options_Merge(PackRequest{}, alone);
    ASSERT_TRUE(r.version);
    EXPECT_EQ(r.version->product, "Only");
    EXPECT_EQ(r.version->version, "");
    EXPECT_FALSE(Options_Merge(PackRequest{}, PackOptionValues{}).version);
}

// --dir and [[file]] dir: a folder's regular files in the byte order of their
// names, in place among the other inputs; anything but a flat folder of
// regular files is refused with its name, and nothing is written.
TEST(PackFolders, AFolderGivesItsFilesInByteOrderAmongTheOtherInputs)
{
    fs::path dir = TempDir(), folder = dir / "dist";
    fs::create_directories(folder);
    for (const char *name : {"b.txt", "SETUP.EXE", "A.TXT", "NSIS copyright.txt"})
        WriteAll(folder / name, {uint8_t(name[0])});
    WriteAll(dir / "first.bin", {1, 2});
    PackRequest r = Request(dir, {});
    r.files = {{dir / "first.bin", "FIRST.BIN"}, {folder, "", true}, {dir / "first.bin", "LAST.BIN"}};
    PackResult packed = Pack(r, dir / "out.exe");
    ASSERT_EQ(packed.code, 0) << packed.err;
    EXPECT_NE(packed.out.find("(6 entries)"), std::string::npos) << packed.out;
    std::string error;
    auto image = Image_Load(dir / "out.exe", error);
    ASSERT_TRUE(image) << error;
    std::vector<std::string> names;
    for (auto &e : Package_List(image->resources).entries)
        names.push_back(e.name);
    EXPECT_EQ(names, (std::vector<std::string>{"FIRST.BIN", "A.TXT", "NSIS copyright.txt", "SETUP.EXE", "b.txt", "LAST.BIN"}));
    std::ostringstream out, err;
    EXPECT_EQ(Command_List(dir / "out.exe", false, out, err), 0);
    EXPECT_NE(out.str().find("  1002  \"NSIS copyright.txt\"  1\n"), std::string::npos) << out.str();

    // The same from a manifest, relative to its folder.
    std::ofstream(dir / "package.toml") << "caption = \"C\"\nprompt = \"P?\"\ndate = 2026-12-08\n"
                                           "[[file]]\ndir = \"dist\"\n[[file]]\nsource = \"first.bin\"\n";
    PackRequest fromManifest;
    ASSERT_TRUE(Manifest_Read(dir / "package.toml", fromManifest, error)) << error;
    std::vector<PackFile> files;
    ASSERT_TRUE(Package_ExpandFolders(fromManifest.files, files, error)) << error;
    ASSERT_EQ(files.size(), 5u);
    EXPECT_EQ(files[0].name, "A.TXT");
    EXPECT_EQ(files[0].source, dir / "dist" / "A.TXT");
    EXPECT_EQ(files[4].name, "first.bin");
    std::ofstream(dir / "both.toml") << "caption = \"C\"\nprompt = \"P?\"\n[[file]]\ndir = \"dist\"\nsource = \"first.bin\"\n";
    EXPECT_FALSE(Manifest_Read(dir / "both.toml", fromManifest, error));
    EXPECT_NE(error.find("file.dir goes alone"), std::string::npos) << error;

    struct Case { const char *label; std::function<void(const fs::path &)> make; std::string message; };
    std::vector<Case> cases = {
        {"subfolder", [](const fs::path &f) { fs::create_directories(f / "sub"); },
         "holds the folder \"sub\": a package is flat, the stub creates no folders"},
        {"link", [&](const fs::path &f) { fs::create_symlink(dir / "first.bin", f / "link.bin"); },
         "holds the symbolic link \"link.bin\": only regular files are packed"},
        {"FIFO", [](const fs::path &f) { ASSERT_EQ(mkfifo((f / "pipe").c_str(), 0600), 0); },
         "holds \"pipe\", which is not a regular file"},
        {"empty", [](const fs::path &) {}, "holds no files"},
    };
    for (auto &c : cases) {
        SCOPED_TRACE(c.label);
        fs::path bad = dir / c.label;
        fs::create_directories(bad);
        if (std::string(c.label) != "empty")
            WriteAll(bad / "OK.TXT", {1});
        c.make(bad);
        PackRequest b = Request(dir, {});
        b.files = {{bad, "", true}};
        PackResult res = Pack(b, dir / "bad.exe");
        EXPECT_EQ(res.code, 1);
        EXPECT_NE(res.err.find("folder \"" + bad.string() + "\" " + c.message), std::string::npos) << res.err;
        EXPECT_FALSE(fs::exists(dir / "bad.exe"));
    }
    PackRequest notFolder = Request(dir, {});
    notFolder.files = {{dir / "first.bin", "", true}};
    EXPECT_NE(Pack(notFolder, dir / "bad.exe").err.find("is not a folder"), std::string::npos);
    fs::remove_all(dir);
}
