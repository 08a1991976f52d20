// runner_settings_test.cpp: one runner for every package, its settings the
// package's strings: carried byte for byte, refused before anything is
// written where the runner could not use them, shown by list, checked by verify.
#include "testutil.h"
#include "package/package.h"
#include "package/elevation.h"
#include "package/runner_image.h"
#include "cli/manifest.h"

using namespace selfextr;

namespace {

PackRequest RunnerRequest(const fs::path &dir, const std::string &run)
{
    fs::create_directories(dir / "tree/App/Bin");
    WriteAll(dir / "tree/App/Bin/Install.exe", Pattern(3000, 5));
    WriteAll(dir / "tree/setup.msi", Pattern(100, 6));
    WriteAll(dir / "tree/go.cmd", Pattern(10, 7));
    PackRequest r = Request(dir, {{"README.TXT", 10}});
    r.payloadDir = dir / "tree";
    r.run = run;
    return r;
}

std::vector<uint8_t> Extracted(const fs::path &package, const fs::path &dir)
{
    std::ostringstream o, e;
    EXPECT_EQ(Command_Extract(package, dir, false, true, o, e), 0) << e.str();
    return ReadAll(dir / "SETUP.EXE");
}

}  // namespace

TEST(RunnerSettings, EveryPackageCarriesTheSameRunnerAsSelfextrRunnerWritesIt)
{
    fs::path dir = TempDir();
    PackRequest a = RunnerRequest(dir / "a", "app\\bin\\install.exe /quiet");
    PackRequest b = RunnerRequest(dir / "b", "\"setup.msi\" /qn");
    WriteAll(dir / "b/tree/more.bin", Pattern(70000, 9));
    b.caption = "Other Setup";
    b.translations = {{"de", "Anderes Setup", "Installieren?"}};
    ASSERT_EQ(Pack(a, dir / "a.exe").code, 0);
    ASSERT_EQ(Pack(b, dir / "b.exe").code, 0);
    std::ostringstream o, e;
    const std::vector<uint8_t> carried = ReadAll(SELFEXTR_RUNNER_PATH);
    ASSERT_EQ(Command_Runner(carried, dir / "runner.exe", o, e), 0) << e.str();
    const auto runner = ReadAll(dir / "runner.exe");
    EXPECT_EQ(runner, carried);
    EXPECT_EQ(Extracted(dir / "a.exe", dir / "ra"), runner);
    EXPECT_EQ(Extracted(dir / "b.exe", dir / "rb"), runner);

    // What each package's runner reads is the package's own.
    std::string error;
    auto image = Image_Load(dir / "b.exe", error);
    ASSERT_TRUE(image) << error;
    Listing l = Package_ListImage(*image);
    EXPECT_TRUE(l.problems.empty()) << l.problems.front();
    ASSERT_TRUE(l.run);
    EXPECT_EQ(l.run->settings.command, "\"setup.msi\" /qn");
    EXPECT_EQ(l.run->program.file, "setup.msi");
    EXPECT_EQ(l.run->program.host, "msiexec");
    EXPECT_EQ(l.runnerSigned, false);
    EXPECT_FALSE(l.stubSigned);

    // --runner FILE (and the manifest's [payload] runner) carries FILE itself.
    std::vector<uint8_t> other = runner;
    other.resize(other.size() + 8, 0x5A);  // an overlay, as a signature is one
    WriteAll(dir / "other.exe", other);
    std::ofstream(dir / "a/m.toml") << "caption = \"M\"\nprompt = \"P?\"\ndate = 2026-12-09\n"
                                       "[payload]\ndir = \"tree\"\nrun = \"app/bin/install\"\nrunner = \"../other.exe\"\n";
    PackRequest m;
    ASSERT_TRUE(Manifest_Read(dir / "a/m.toml", m, error)) << error;
    EXPECT_EQ(m.runnerFile, dir / "a/../other.exe");
    ASSERT_EQ(Pack(m, dir / "m.exe").code, 0);
    EXPECT_EQ(Extracted(dir / "m.exe", dir / "rm"), other);
}

TEST(RunnerSettings, WhatTheRunnerCouldNotUseIsRefusedBeforeAnythingIsWritten)
{
    fs::path dir = TempDir();
    std::vector<uint8_t> runner = ReadAll(SELFEXTR_RUNNER_PATH);
    std::vector<uint8_t> later = runner;
    const std::string format = "selfextr runner settings 1";
    auto at = std::search(later.begin(), later.end(), format.begin(), format.end());
    ASSERT_NE(at, later.end());
    at[format.size() - 1] = '2';
    WriteAll(dir / "later.exe", later);
    WriteAll(dir / "text.exe", Pattern(4000, 1));
    struct Case {
        std::string run, caption;
        fs::path runner;
        const char *expect;
    };
    const std::string longest = "go.cmd " + std::string(kRunnerMaxCommand - 7, 'x');
    const Case cases[] = {
        {"app\\bin\\setup.exe", "", "", "the payload holds no \"app\\bin\\setup.exe\", the command's program: a program given with a folder"},
        {"tools/run /x", "", "", "the payload holds no \"tools\\run\" (nor \"tools\\run.exe\")"},
        {"other.msi", "", "", "no \"other.msi\", the command's program: a .msi, .bat or .cmd is started only from the payload"},
        {"INSTALL.BAT", "", "", "a .msi, .bat or .cmd is started only from the payload"},
        {"..\\planted.exe", "", "", "never one that climbs out of its folder"},
        {"C:\\Windows\\notepad.exe", "", "", "or an absolute path"},
        {"\"\" /quiet", "", "", "the command names no program"},
        {longest + "x", "", "", "the command is 8,192 UTF-16 units long; the runner starts a command of at most 8,191"},
        {"go.cmd\nrm", "", "", "control character U+000A"},
        // The longest program name the runner reads: a bare name, for the system folder.
        {std::string(kRunnerMaxProgram, 'p'), "", "", ""},
        {"\"" + std::string(kRunnerMaxProgram + 1, 'p') + "\"", "", "", "reads a program's name of at most 259 UTF-16 units"},
        {"go.cmd", "Two\tWords", "", "holds the control character U+0009, which the runner's title bars cannot show"},
        {"go.cmd", "", "text.exe", "text.exe: not a runner: not a Windows executable"},
        {"go.cmd", "", SELFEXTR_STUB_PATH, "not a selfextr runner: it carries no marker (RCDATA 1)"},
        {"go.cmd", "", "later.exe", "a runner of another selfextr: it reads the settings \"selfextr runner settings 2\""},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.run.substr(0, 40) + " " + c.caption + " " + c.runner.string());
        PackRequest r = RunnerRequest(dir, c.run);
        if (!c.caption.empty())
            r.caption = c.caption;
        if (!c.runner.empty())
            r.runnerFile = c.runner.is_absolute() ? c.runner : dir / c.runner;
        PackResult res = Pack(r, dir / "p.exe");
        if (*c.expect == '\0') {
            EXPECT_EQ(res.code, 0) << res.err;
            fs::remove(dir / "p.exe");
            continue;
        }
        EXPECT_EQ(res.code, 1);
        EXPECT_NE(res.err.find(c.expect), std::string::npos) << res.err;
        EXPECT_EQ(std::count(res.err.begin(), res.err.end(), '\n'), 1) << res.err;
        EXPECT_FALSE(fs::exists(dir / "p.exe"));
    }
    // The longest command the runner starts packs, matched as Windows matches: any case, either slash.
    for (const std::string &run : {longest, std::string("APP/BIN/INSTALL /q"), std::string("app\\.\\bin\\install.EXE")}) {
        PackResult res = Pack(RunnerRequest(dir, run), dir / "p.exe");
        EXPECT_EQ(res.code, 0) << run.substr(0, 40) << ": " << res.err;
        EXPECT_EQ(res.out.find("system folder"), std::string::npos) << res.out;
    }
    PackRequest r = RunnerRequest(dir, "go.cmd");
    r.payloadDir.clear();
    r.run.clear();
    r.runnerFile = dir / "later.exe";
    EXPECT_NE(Pack(r, dir / "p.exe").err.find("--runner is the payload's SETUP.EXE"), std::string::npos);
}

TEST(RunnerSettings, ABareNameTheSystemFolderGivesIsSaidByPackAndList)
{
    fs::path dir = TempDir();
    PackResult res = Pack(RunnerRequest(dir, "notepad.exe readme.txt"), dir / "p.exe");
    ASSERT_EQ(res.code, 0) << res.err;
    EXPECT_NE(res.out.find("note: the command's program \"notepad.exe\" is not in the payload: the runner takes it from the "
                           "Windows system folder at run time"), std::string::npos) << res.out;
    std::ostringstream o, e;
    ASSERT_EQ(Command_List(dir / "p.exe", false, o, e), 0) << e.str();
    EXPECT_NE(o.str().find("run:     notepad.exe readme.txt\n    program: \"notepad.exe\" from the Windows system folder at run time"),
              std::string::npos) << o.str();
    EXPECT_NE(o.str().find("signatures: stub not signed, runner not signed"), std::string::npos) << o.str();
}

TEST(RunnerSettings, VerifyChecksTheSettingsAsTheRunnerReadsThem)
{
    fs::path dir = TempDir();
    ASSERT_EQ(Pack(RunnerRequest(dir, "app\\bin\\install.exe"), dir / "p.exe").code, 0);
    std::string error;
    auto image = Image_Load(dir / "p.exe", error);
    ASSERT_TRUE(image) << error;
    ASSERT_TRUE(Package_List(image->resources).problems.empty());
    auto with = [&](std::map<uint16_t, std::u16string> strings) {
        ResTree tree = image->resources;
        strings[kStringTotal] = Text_Utf16(*StringTable_Get(tree, kStringTotal));
        if (!strings.count(kStringPayload))
            strings[kStringPayload] = Text_Utf16(*StringTable_Get(tree, kStringPayload));
        StringTable_Put(strings, tree);
        Listing l = Package_List(tree);
        return l.problems.empty() ? std::string() : l.problems.front();
    };
    // A program the payload lacks, a command past the runner's limit, none at all.
    EXPECT_NE(with({{kStringCommand, u"app\\bin\\other.exe"}}).find("the runner's command: the payload holds no"), std::string::npos);
    EXPECT_NE(with({{kStringCommand, std::u16string(kRunnerMaxCommand + 1, u'a')}}).find("string 3002 (the runner's command) is 8,192 UTF-16 units long; the runner takes at most 8,191"),
              std::string::npos);
    EXPECT_NE(with({}).find("the payload has no command (string 3002)"), std::string::npos);
    // A caption longer than the runner's title bars, which the stub alone would cut without a word.
    ResTree tree = image->resources;
    StringTable_Put({{kStringCaption, std::u16string(kRunnerMaxCaption + 1, u'c')}, {kStringPrompt, u"P?"}, {kStringDate, u"11-09-112"},
                     {kStringTime, u"4:00"}}, tree);
    Listing l = Package_List(tree);
    ASSERT_FALSE(l.problems.empty());
    EXPECT_NE(l.problems.front().find("the runner's title bars show at most 63 UTF-16 units"), std::string::npos) << l.problems.front();
    // A SETUP.EXE that is not a runner of this version cannot read the settings.
    tree = image->resources;
    tree[ResKey::Id(kRtEntry)][ResKey::Id(kEntryFirst + 1)][kLangEnUs].bytes = ReadAll(SELFEXTR_STUB_PATH);
    StringTable_Put({{uint16_t(kEntryFirst + 1), Text_Utf16("SETUP.EXE," + std::to_string(ReadAll(SELFEXTR_STUB_PATH).size()))}}, tree);
    l = Package_List(tree);
    bool said = false;
    for (const std::string &p : l.problems)
        said |= p.find("SETUP.EXE (entry 1001) cannot read the package's settings: not a selfextr runner") != std::string::npos;
    EXPECT_TRUE(said);
}

// The package marker: written into every package once, however often it is
// packed again; a package without it is a problem where a runner must find
// the stub, a note elsewhere, and so is a marker that reads otherwise.
TEST(RunnerSettings, EveryPackageCarriesTheMarkerAndVerifyNamesAPackageWithout)
{
    fs::path dir = TempDir();
    ASSERT_EQ(Pack(RunnerRequest(dir / "r", "app\\bin\\install.exe"), dir / "runner.exe").code, 0);
    ASSERT_EQ(Pack(Request(dir, {{"SETUP.EXE", 10}}), dir / "plain.exe").code, 0);
    // Packed again over itself: the stub given is a package.
    ASSERT_EQ(Pack(Request(dir, {{"SETUP.EXE", 20}}), dir / "again.exe", dir / "plain.exe").code, 0);
    std::string error;
    for (const char *name : {"runner.exe", "plain.exe", "again.exe"}) {
        SCOPED_TRACE(name);
        auto image = Image_Load(dir / name, error);
        ASSERT_TRUE(image) << error;
        const ResLangs *marker = ResTree_Find(image->resources, SELFEXTR_PACKAGE_MARKER_TYPE, SELFEXTR_PACKAGE_MARKER_ID);
        ASSERT_NE(marker, nullptr);
        ASSERT_EQ(marker->size(), 1u);
        auto text = ResData_Bytes(marker->begin()->second);
        EXPECT_EQ(std::string(text.begin(), text.end()), "selfextr package 1");
        Listing l = Package_List(image->resources);
        EXPECT_TRUE(l.marked);
        EXPECT_TRUE(l.problems.empty() && l.notes.empty()) << (l.problems.empty() ? l.notes.front() : l.problems.front());

        const bool runs = std::string(name) == "runner.exe";
        auto without = [&](const ResTree &tree) {
            Listing w = Package_List(tree);
            EXPECT_FALSE(w.marked);
            const std::vector<std::string> &said = runs ? w.problems : w.notes;
            EXPECT_EQ(said.size(), 1u) << ::testing::PrintToString(said);
            return said.empty() ? std::string() : said.front();
        };
        ResTree tree = image->resources;
        // The marker alone: the payload is an RCDATA resource too.
        tree[ResKey::Id(SELFEXTR_PACKAGE_MARKER_TYPE)].erase(ResKey::Id(SELFEXTR_PACKAGE_MARKER_ID));
        EXPECT_NE(without(tree).find("carries no package marker (RCDATA 2, \"selfextr package 1\")"), std::string::npos);
        tree = image->resources;
        tree[ResKey::Id(SELFEXTR_PACKAGE_MARKER_TYPE)][ResKey::Id(SELFEXTR_PACKAGE_MARKER_ID)][0x0407].bytes =
            std::vector<uint8_t>{'s', 'e', 'l', 'f'};
        EXPECT_NE(without(tree).find("marker (RCDATA 2) in language de-DE does not read"), std::string::npos);
        if (runs) {
            EXPECT_NE(without(tree).find("its runner would not find the stub that started it"), std::string::npos);
        }
    }
    std::ostringstream o, e;
    EXPECT_EQ(Command_List(dir / "plain.exe", false, o, e, false), 0);
    EXPECT_NE(o.str().find("marker:  \"selfextr package 1\" (RCDATA 2)\n"), std::string::npos) << o.str();
}

// The elevation the command's program asks for in its manifest, recorded so
// that the runner restarts itself elevated before it writes anything.
namespace {

std::string LevelOf(const std::string &xml, std::string &error)
{
    std::string level;
    std::span<const uint8_t> bytes(reinterpret_cast<const uint8_t *>(xml.data()), xml.size());
    return Elevation_OfManifest(bytes, level, error) ? level : "refused";
}

// A finished stub whose manifest asks for level ("": none): a real program image with one.
std::vector<uint8_t> ProgramAsking(const fs::path &dir, const std::string &level)
{
    PackRequest r = Request(dir, {{"A.TXT", 10}});
    r.executionLevel = level;
    EXPECT_EQ(Pack(r, dir / "program.exe").code, 0);
    return ReadAll(dir / "program.exe");
}

}  // namespace

TEST(RunnerSettingsElevation, AManifestsLevelIsReadAsWrittenInAnyForm)
{
    const std::string head = "<?xml version=\"1.0\"?><assembly xmlns=\"urn:schemas-microsoft-com:asm.v1\"><trustInfo><security>"
                             "<requestedPrivileges>";
    const std::string tail = "</requestedPrivileges></security></trustInfo></assembly>";
    struct Case {
        std::string element, level, says;
    };
    const Case cases[] = {
        {"<requestedExecutionLevel level=\"requireAdministrator\" uiAccess=\"false\"/>", "requireAdministrator", ""},
        // Attributes in any order, either quote, blanks around '=', a namespace prefix, a closing tag.
        {"<requestedExecutionLevel uiAccess='false'\r\n  level = 'highestAvailable'></requestedExecutionLevel>", "highestAvailable", ""},
        {"<ms_asmv3:requestedExecutionLevel level=\"asInvoker\" uiAccess=\"false\"></ms_asmv3:requestedExecutionLevel>", "asInvoker", ""},
        // What a comment says is not read.
        {"<!-- <requestedExecutionLevel level=\"requireAdministrator\"/> -->", "", ""},
        {"", "", ""},
        {"<requestedExecutionLevel level=\"requireAdministrator \"/>", "refused", "none of asInvoker, highestAvailable and requireAdministrator"},
        {"<requestedExecutionLevel uiAccess=\"false\"/>", "refused", "names no level"},
        {"<requestedExecutionLevel level=requireAdministrator/>", "refused", "not well formed"},
        {"<requestedExecutionLevel level=\"asInvoker\"/><requestedExecutionLevel level=\"requireAdministrator\"/>", "refused",
         "more than one requestedExecutionLevel"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.element);
        std::string error;
        EXPECT_EQ(LevelOf(head + c.element + tail, error), c.level);
        EXPECT_NE(error.find(c.says), std::string::npos) << error;
    }
    // UTF-16, as some tools write manifests.
    std::string wide;
    for (char ch : head + "<requestedExecutionLevel level=\"requireAdministrator\"/>" + tail)
        wide += ch, wide += '\0';
    std::string error;
    EXPECT_EQ(LevelOf("\xFF\xFE" + wide, error), "requireAdministrator") << error;
}

TEST(RunnerSettingsElevation, PackRecordsWhatTheProgramAsksForAndListAndVerifyAgree)
{
    fs::path dir = TempDir();
    struct Case {
        std::string manifest, run, setting;
    };
    // The program's own manifest decides; a .msi or .cmd's host elevates itself, and a
    // program from the system folder is not read.
    const Case cases[] = {
        {"requireAdministrator", "app\\bin\\install.exe /quiet", "requireAdministrator"},
        {"highestAvailable", "APP/BIN/INSTALL", "highestAvailable"},
        {"asInvoker", "app\\bin\\install.exe", ""},
        {"", "app\\bin\\install.exe", ""},
        {"requireAdministrator", "setup.msi /qn", ""},
        {"requireAdministrator", "go.cmd", ""},
        {"requireAdministrator", "notepad.exe", ""},
    };
    int n = 0;
    for (const Case &c : cases) {
        SCOPED_TRACE(c.manifest + " " + c.run);
        fs::path at = dir / std::to_string(n++);
        fs::create_directories(at / "program");
        std::vector<uint8_t> program = ProgramAsking(at / "program", c.manifest);
        PackRequest r = RunnerRequest(at, c.run);
        WriteAll(at / "tree/App/Bin/Install.exe", program);
        WriteAll(at / "tree/setup.msi", program);
        WriteAll(at / "tree/go.cmd", program);
        PackResult res = Pack(r, at / "p.exe");
        ASSERT_EQ(res.code, 0) << res.err;
        EXPECT_EQ(res.out.find("restarts itself elevated") != std::string::npos, !c.setting.empty()) << res.out;
        std::string error;
        auto image = Image_Load(at / "p.exe", error);
        ASSERT_TRUE(image) << error;
        EXPECT_EQ(StringTable_Get(image->resources, kStringElevation).value_or(""), c.setting);
        std::ostringstream o, e, j, v;
        ASSERT_EQ(Command_List(at / "p.exe", false, o, e), 0) << e.str();
        EXPECT_EQ(o.str().find("    elevation: " + c.setting + "\n") != std::string::npos,
                  !c.setting.empty()) << o.str();
        ASSERT_EQ(Command_List(at / "p.exe", false, j, e, true), 0) << e.str();
        std::string json = j.str();
        std::erase(json, ' ');
        EXPECT_EQ(json.find("\"elevation\":\"" + c.setting + "\"") != std::string::npos, !c.setting.empty()) << json;
        EXPECT_EQ(Command_List(at / "p.exe", true, v, e), 0) << v.str() << e.str();
    }
}

TEST(RunnerSettingsElevation, VerifyFindsASettingThatDisagreesWithTheProgram)
{
    fs::path dir = TempDir();
    fs::create_directories(dir / "program");
    PackRequest r = RunnerRequest(dir, "app\\bin\\install.exe");
    WriteAll(dir / "tree/App/Bin/Install.exe", ProgramAsking(dir / "program", "requireAdministrator"));
    ASSERT_EQ(Pack(r, dir / "p.exe").code, 0);
    std::string error;
    auto image = Image_Load(dir / "p.exe", error);
    ASSERT_TRUE(image) << error;
    auto problem = [&](const std::u16string &setting, const std::u16string &command) {
        ResTree tree = image->resources;
        std::map<uint16_t, std::u16string> strings;
        for (uint16_t id : {kStringTotal, kStringPayload, kStringCommand})
            strings[id] = Text_Utf16(*StringTable_Get(tree, id));
        strings[kStringCommand] = command;
        if (!setting.empty())
            strings[kStringElevation] = setting;
        else
            strings.erase(kStringElevation);
        // The block is written whole: every string of it given.
        StringTable_Put(strings, tree);
        Listing l = Package_List(tree);
        return l.problems.empty() ? std::string() : l.problems.front();
    };
    EXPECT_EQ(problem(u"requireAdministrator", u"app\\bin\\install.exe"), "");
    EXPECT_NE(problem(u"", u"app\\bin\\install.exe").find("asks for requireAdministrator, but string 3003 is missing"), std::string::npos);
    EXPECT_NE(problem(u"highestAvailable", u"app\\bin\\install.exe").find("but string 3003 says highestAvailable"), std::string::npos);
    EXPECT_NE(problem(u"requireAdministrator", u"go.cmd").find("which the command's program does not ask for"), std::string::npos);
    EXPECT_NE(problem(u"asInvoker", u"app\\bin\\install.exe").find("neither requireAdministrator nor highestAvailable"), std::string::npos);
}

TEST(RunnerSettingsElevation, AProgramWhoseManifestCannotBeReadIsRefused)
{
    fs::path dir = TempDir();
    fs::create_directories(dir / "program");
    const std::vector<uint8_t> good = ProgramAsking(dir / "program", "requireAdministrator");
    std::string error, level;
    ASSERT_TRUE(Elevation_OfImage(good, good.size(), level, error)) << error;
    ASSERT_EQ(level, "requireAdministrator");
    // Where the image's resource directory is: the optional header's third data directory.
    const uint32_t opt = Bytes_Le32(good, 0x3C) + 24, resource = opt + 96 + 2 * 8;
    std::vector<uint8_t> nowhere = good;
    Bytes_Set32(nowhere, resource, 0x7FFF0000);
    // The image cut inside its manifest: short of the file, or short of what was read of a larger one.
    const std::string mark = "<requestedExecutionLevel";
    auto inside = std::search(good.begin(), good.end(), mark.begin(), mark.end());
    ASSERT_NE(inside, good.end());
    std::vector<uint8_t> cut(good.begin(), inside);
    struct Case {
        const char *what;
        std::span<const uint8_t> image;
        uint64_t fileSize;
        const char *says;
    };
    const Case cases[] = {
        {"nowhere", nowhere, nowhere.size(), "its resource directory lies in no section's bytes"},
        {"cut", cut, cut.size(), "its manifest lies past the end of the file"},
        {"prefix", cut, good.size(), "lies past the first 256 MiB, all selfextr reads of a program"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_FALSE(Elevation_OfImage(c.image, c.fileSize, level, error));
        EXPECT_NE(error.find(c.says), std::string::npos) << error;
    }
    // pack names the program and the reason, and writes nothing.
    PackRequest r = RunnerRequest(dir, "app\\bin\\install.exe");
    WriteAll(dir / "tree/App/Bin/Install.exe", nowhere);
    PackResult res = Pack(r, dir / "p.exe");
    EXPECT_EQ(res.code, 1);
    EXPECT_NE(res.err.find("the command's program \"App/Bin/Install.exe\": its resource directory lies in no section's bytes"),
              std::string::npos) << res.err;
    EXPECT_FALSE(fs::exists(dir / "p.exe"));
    // Text that is no image: nothing to ask for.
    std::vector<uint8_t> text(100, 'x');
    EXPECT_TRUE(Elevation_OfImage(text, text.size(), level, error));
    EXPECT_EQ(level, "");
}
