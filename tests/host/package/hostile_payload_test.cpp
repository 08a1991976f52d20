// hostile_payload_test.cpp: the payloads of hostile_payloads.h through verify,
// list and extract (the runner takes the same table under Wine), and the path
// rule's edges that no row reaches.
#include "testutil.h"
#include "hostile_craft.h"

#include "cli/listing_json.h"
#include "decoder/paths.h"
#include "decoder/tar.h"

#include <set>

using namespace selfextr;

namespace {

// A byte sequence a terminal acts on or a reader misreads: C0 but the line
// ends, DEL, C1 (U+0080 to U+009F) and the bidirectional marks.
bool HasRawMarks(const std::string &text)
{
    for (size_t i = 0; i < text.size(); i++) {
        uint8_t c = uint8_t(text[i]), d = i + 1 < text.size() ? uint8_t(text[i + 1]) : 0,
                e = i + 2 < text.size() ? uint8_t(text[i + 2]) : 0;
        if ((c < 0x20 && c != '\n') || c == 0x7F || (c == 0xC2 && d >= 0x80 && d <= 0x9F) || (c == 0xD8 && d == 0x9C))
            return true;
        if (c == 0xE2 && ((d == 0x80 && (e == 0x8E || e == 0x8F || (e >= 0xAA && e <= 0xAE))) || (d == 0x81 && e >= 0xA6 && e <= 0xA9)))
            return true;
    }
    return false;
}

}  // namespace

TEST(PayloadHostile, EveryRowIsRefusedInOneMessageByVerifyListAndExtractAndNothingIsLeft)
{
    for (const HostilePayload &p : kHostilePayloads) {
        SCOPED_TRACE(p.id);
        fs::path dir = TempDir(), package = dir / "hostile.exe";
        std::string error;
        ASSERT_TRUE(hostile::Package(p, SELFEXTR_STUB_PATH, SELFEXTR_RUNNER_PATH, package.string(), error)) << error;

        std::ostringstream out, err;
        EXPECT_EQ(Command_List(package, true, out, err), 1);
        EXPECT_NE(err.str().find(p.says), std::string::npos) << err.str();
        // One message: the payload's problem, on one line.
        const std::string said = err.str();
        EXPECT_EQ(std::count(said.begin(), said.end(), '\n'), 1) << said;
        EXPECT_FALSE(HasRawMarks(out.str() + err.str()));

        // list shows what it read before the refusal, every name escaped.
        std::ostringstream lout, lerr;
        Command_List(package, false, lout, lerr);
        EXPECT_NE(lout.str().find(p.says), std::string::npos) << lout.str();
        EXPECT_FALSE(HasRawMarks(lout.str() + lerr.str())) << lout.str();

        std::ostringstream xout, xerr;
        EXPECT_EQ(Command_Extract(package, dir / "x", false, false, xout, xerr), 1);
        EXPECT_NE(xerr.str().find(p.says), std::string::npos) << xerr.str();
        EXPECT_FALSE(fs::exists(dir / "x"));
        // Forced, the payload is written as far as it goes and then removed again.
        std::ostringstream fout, ferr;
        EXPECT_EQ(Command_Extract(package, dir / "f", true, false, fout, ferr), 1);
        EXPECT_NE(ferr.str().find(p.says), std::string::npos) << ferr.str();
        EXPECT_TRUE(fs::is_empty(dir / "f")) << fs::directory_iterator(dir / "f")->path();
        fs::remove_all(dir);
    }
}

// A row's kind next to it, passed: the rule refuses the name, not its neighbours.
TEST(PayloadHostile, ThePathRuleRefusesNoMoreThanWindowsAsks)
{
    const std::string emoji = "\xF0\x9F\x98\x80";  // two UTF-16 units
    std::string emojis127, emojis128;
    for (int i = 0; i < 127; i++)
        emojis127 += emoji;
    emojis128 = emojis127 + emoji;
    for (const std::string &ok : std::vector<std::string>{"CONSOLE", "COM10", "NULL.TXT", "LPT", "x..y", ".hidden", "a b.txt", "\xC3\xA9t\xC3\xA9/x",
                           "d/CONFIG.SYS", "\xC2\xA0nbsp", emojis127, std::string(255, 'x'),
                           // Not 8.3-shaped, or no digit after the tilde.
                           "LONGFILE~1.TXT", "LONGFI~1.TEXT", "A~1.B.C", "A~B.TXT", "~.txt", "x~1.tar.gz",
                           // Beside the look-alikes and stand-ins: middle dot, CJK brackets, fullwidth letters, U+F080.
                           "l\xC2\xB7l", "\xE3\x80\x88x\xE3\x80\x89", "\xEF\xBD\x81", "a\xEF\x82\x80",
                           // Composed: Hangul syllable, kana with its voicing mark composed.
                           "\xED\x95\x9C", "\xE3\x81\x8C"})
        EXPECT_EQ(Path_Check(ok.data(), uint32_t(ok.size())).why, nullptr) << ok;
    struct Case { std::string path, why; } refused[] = {
        {emojis128, "is longer than 255 UTF-16 units"},
        {"COM\xC2\xB9", "is a reserved device name"},
        {"conout$.log", "is a reserved device name"},
        {"d/AUX .x", "is a reserved device name"},
        {"a\x7F", "holds a control character"},
        {"a\xC2\x80", "holds a control character"},
        {"a\xC2\x9F", "holds a control character"},
        {"a\xD8\x9C", "holds a bidirectional mark"},
        {"a\xE2\x81\xA9", "holds a bidirectional mark"},
        {"a\xE2\x80\xAA", "holds a bidirectional mark"},
        {"x\xEF\xBF\xBD", "holds U+FFFD"},
        {"a\xE2\x80\x8D" "b", "holds an invisible or format character"},
        {"a\xF3\xA0\x80\x81", "holds an invisible or format character"},
        {"d/x~12345.t", "is shaped like a short 8.3 name"},
        {"\xC3\x89~1.TXT", "is shaped like a short 8.3 name"},
        {"~1", "is shaped like a short 8.3 name"},
        {"a\xEF\x81\xBF", "holds a private-use stand-in"},
        {"a\xEF\x80\x80", "holds a private-use stand-in"},
        {"\xE1\x84\x92\xE1\x85\xA1\xE1\x86\xAB", "is not in Unicode's composed form"},
        {"a\xCC\x81", "is not in Unicode's composed form"},
        {"\xE2\x84\xA6", "is not in Unicode's composed form"},
        {"a\xE2\x88\x95" "b", "holds a character that the target's code page"},
        {"a\xEF\xB9\xA8", "holds a character that the target's code page"},
        {"a/", "has an empty name"},
        {"a\xED\xA0\x80", "is not UTF-8"},
        {"a\xF4\x90\x80\x80", "is not UTF-8"},
    };
    for (const Case &c : refused) {
        const char *why = Path_Check(c.path.data(), uint32_t(c.path.size())).why;
        ASSERT_NE(why, nullptr) << c.path;
        EXPECT_EQ(std::string(why).find(c.why), 0u) << c.path << ": " << why;
    }
    // A long path is shortened in the message, at a character's edge.
    std::string longPath = std::string(119, 'a') + "\xC3\xA9" + std::string(300, 'b') + "\xE2\x80\xAE";
    PathProblem p = Path_Check(longPath.data(), uint32_t(longPath.size()));
    char text[1024];
    Path_Message(longPath.data(), uint32_t(longPath.size()), p, nullptr, 0, text, sizeof text);
    EXPECT_EQ(std::string(text).substr(0, 14 + 119 + 3), "payload path \"" + std::string(119, 'a') + "...");
    EXPECT_NE(std::string(text).find("b\\u202E\": the name"), std::string::npos) << text;
}

// Every class the rule refuses for how it looks is escaped wherever a name is
// shown, past the BMP too; what it accepts is shown as written.
TEST(PayloadHostile, RefusedCharactersAreShownEscaped)
{
    struct Case { std::string text, shown; } cases[] = {
        {"e\xCC\x81", "e\\u0301"},
        {"\xE2\x84\xAA", "\\u212A"},
        {"a\xF3\xA0\x80\x81", "a\\U000E0001"},
        {"\xC2\xA5\xE2\x82\xA9", "\\u00A5\\u20A9"},
        {"\xEF\x80\xBA", "\\uF03A"},
        {"\xC2\xAD\xEF\xBB\xBF", "\\u00AD\\uFEFF"},
        {"x\xCC\x81", "x\xCC\x81"},  // NFC already: no x with acute is encoded
        {"\xE6\x97\xA5\xE2\x80\x94x", "\xE6\x97\xA5\xE2\x80\x94x"},
    };
    for (const Case &c : cases) {
        char out[64];
        uint32_t n = Path_AppendShown(out, 0, sizeof out, c.text.data(), uint32_t(c.text.size()));
        EXPECT_EQ(std::string(out, n), c.shown) << c.text;
    }
}

// The order rules' memory against a plain set: many paths, so that its
// records and its index grow several times, and twins found after every growth.
TEST(PayloadHostile, ThePathMemoryKeepsEveryPathThroughItsGrowth)
{
    struct Counter { int blocks = 0, refuseAfter = -1; } counter;
    auto allocate = [](void *c, uint32_t bytes) -> void * {
        Counter *k = static_cast<Counter *>(c);
        if (k->refuseAfter >= 0 && k->blocks >= k->refuseAfter)
            return nullptr;
        k->blocks++;
        return malloc(bytes);
    };
    auto release = [](void *c, void *block) { static_cast<Counter *>(c)->blocks--; free(block); };
    PathMemory m;
    PathMemory_Init(&m, allocate, release, &counter);
    std::vector<char> other(kTarMaxPathBytes + 1024);
    uint32_t otherBytes;
    auto add = [&](const std::string &p, bool folder) {
        return PathMemory_Add(&m, p.data(), uint32_t(p.size()), folder, other.data(), uint32_t(other.size()), &otherBytes);
    };
    ASSERT_EQ(add("D", true).why, nullptr);
    const int kFiles = 40000;
    for (int i = 0; i < kFiles; i++)
        ASSERT_EQ(add("D/file-" + std::to_string(i) + ".txt", false).why, nullptr) << i;
    for (int i = 0; i < kFiles; i += 997) {
        PathProblem p = add("d/FILE-" + std::to_string(i) + ".TXT", false);
        EXPECT_EQ(p.why, kPathCase) << i;
        EXPECT_EQ(std::string(other.data(), otherBytes), "d/file-" + std::to_string(i) + ".txt");
        EXPECT_EQ(add("D/file-" + std::to_string(i) + ".txt", true).why, kPathTwice) << i;
        EXPECT_EQ(add("D/file-" + std::to_string(i) + ".txt/x", false).why, kPathFileAsFolder) << i;
    }
    EXPECT_EQ(add("E/x", false).why, kPathNoFolder);
    EXPECT_EQ(m.count, uint32_t(kFiles + 1));
    PathMemory_Free(&m);
    EXPECT_EQ(counter.blocks, 0);
    // No memory: said as such, and nothing remembered.
    counter.refuseAfter = 0;
    EXPECT_EQ(add("a", false).why, kPathNoMemory);
    EXPECT_EQ(m.count, 0u);
}

// Windows gives a name one folder whatever its case: a later "A/x" goes into
// the "a" made first. extract on a file system that tells case apart must
// not make a second folder beside it.
TEST(PayloadHostile, ExtractPutsAFolderSpelledInAnotherCaseIntoTheFirst)
{
    const HostilePayload p = {"case", kHostileTar,
                              {{"a/", '5', 0}, {"A/x.txt", '0', 3}, {"A/B/", '5', 0}, {"a/b/y.txt", '0', 4}}, nullptr, nullptr};
    fs::path dir = TempDir(), package = dir / "case.exe";
    std::string error;
    ASSERT_TRUE(hostile::Package(p, SELFEXTR_STUB_PATH, SELFEXTR_RUNNER_PATH, package.string(), error)) << error;
    std::ostringstream out, err;
    ASSERT_EQ(Command_Extract(package, dir / "x", false, false, out, err), 0) << err.str();
    std::set<std::string> made;
    for (auto &e : fs::recursive_directory_iterator(dir / "x"))
        made.insert(fs::relative(e.path(), dir / "x").generic_string());
    EXPECT_EQ(made, (std::set<std::string>{"a", "a/x.txt", "a/B", "a/B/y.txt"}));
}

// list --json escapes DEL, C1 and the bidirectional marks as the text listing
// does; a JSON reader gets the same text back from the escapes.
TEST(PayloadHostile, JsonShowsNoRawMarks)
{
    Listing l;
    l.caption = "photo\u202Egpj.exe";
    l.prompt = "ok\u0085\x7F\u061C\u2066?";
    const std::string json = ListingJson_Format(l, "f.exe");
    EXPECT_FALSE(HasRawMarks(json)) << json;
    EXPECT_NE(json.find(R"("photo\u202Egpj.exe")"), std::string::npos) << json;
    EXPECT_NE(json.find(R"("ok\u0085\u007F\u061C\u2066?")"), std::string::npos) << json;
    EXPECT_NE(json.find("\"file\" : \"f.exe\""), std::string::npos) << json;
}
