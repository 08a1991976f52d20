// languages_test.cpp: translations written where the platform's loader finds
// them, and verify's reading of every string for every kind of user.
#include "testutil.h"
#include "cli/manifest.h"
#include "package/package.h"

using namespace selfextr;

TEST(Languages, TagsBecomeTheIdsTheLoaderFindsForEveryVariant)
{
    struct Case { const char *tag; uint16_t id; } cases[] = {
        {"de", 0x0007}, {"DE", 0x0007}, {"de-AT", 0x0C07}, {"de_CH", 0x0807}, {"pt-BR", 0x0416}, {"fr", 0x000C},
        {"zh-TW", 0x0404}};
    for (const Case &c : cases) {
        uint16_t id = 0;
        std::string error;
        EXPECT_TRUE(Language_Id(c.tag, id, error)) << c.tag << ": " << error;
        EXPECT_EQ(id, c.id) << c.tag;
    }
    uint16_t id;
    std::string error;
    EXPECT_FALSE(Language_Id("en-US", id, error));
    EXPECT_NE(error.find("default"), std::string::npos) << error;
    EXPECT_FALSE(Language_Id("xx-YY", id, error));
    EXPECT_NE(error.find("\"xx-YY\""), std::string::npos) << error;

    // The loader's order: the user's language, its neutral form, then en-US.
    ResLangs langs;
    langs[0x0409].bytes = std::vector<uint8_t>{1};
    langs[0x0007].bytes = std::vector<uint8_t>{2};
    langs[0x0416].bytes = std::vector<uint8_t>{3};
    auto pick = [&](uint16_t user) { return ResData_Bytes(*ResLangs_PickFor(langs, user))[0]; };
    EXPECT_EQ(pick(0x0407), 2);
    EXPECT_EQ(pick(0x0C07), 2);
    EXPECT_EQ(pick(0x0807), 2);
    EXPECT_EQ(pick(0x0416), 3);
    EXPECT_EQ(pick(0x0816), 1) << "pt-PT has no translation: the default";
    EXPECT_EQ(pick(0x040C), 1);
    EXPECT_EQ(pick(0), 1);
}

TEST(Languages, EachLanguageAsksInItsOwnWordsAndReadsEverythingElseAsTheDefault)
{
    fs::path dir = TempDir();
    fs::create_directories(dir / "tree");
    WriteAll(dir / "tree/a.txt", {1, 2, 3});
    PackRequest r = Request(dir, {{"README.TXT", 40}});
    r.payloadDir = dir / "tree";
    r.run = "a.txt";
    r.translations = {{"de", "Beispiel-Setup", "Beispiel installieren?"}, {"pt-BR", "Instalação", "Instalar?"}};
    PackResult res = Pack(r, dir / "p.exe");
    ASSERT_EQ(res.code, 0) << res.err;
    std::string error;
    auto image = Image_Load(dir / "p.exe", error);
    ASSERT_TRUE(image) << error;
    Listing l = Package_List(image->resources);
    EXPECT_TRUE(l.problems.empty()) << l.problems.front();
    ASSERT_EQ(l.languages.size(), 2u);
    EXPECT_EQ(l.languages[0].tag, "de");
    EXPECT_EQ(l.languages[1].caption, "Instalação");
    const ResTree &tree = image->resources;
    EXPECT_EQ(StringTable_Get(tree, kStringPrompt, kTextBytes, 0x0C07), "Beispiel installieren?");
    EXPECT_EQ(StringTable_Get(tree, kStringPrompt, kTextBytes, 0x040C), "Install the test package?");
    for (uint16_t user : {0x0407, 0x0416, 0x0436})
        for (uint16_t id : {kStringDate, kStringTime, kStringTotal, uint16_t(kEntryFirst + 1)})
            EXPECT_EQ(StringTable_Get(tree, id, kTextBytes, user), StringTable_Get(tree, id)) << user << " " << id;
    // The runner reads its command from the package for a user of any language.
    for (uint16_t user : {0x0807, 0x0411, 0x0416})
        EXPECT_EQ(StringTable_Get(tree, kStringCommand, kTextBytes, user), "a.txt") << user;

    // A package without translations holds its strings in en-US alone, as before.
    r.translations.clear();
    ASSERT_EQ(Pack(r, dir / "plain.exe").code, 0);
    auto plain = Image_Load(dir / "plain.exe", error);
    ASSERT_TRUE(plain) << error;
    for (auto &[block, langs] : plain->resources.at(ResKey::Id(kRtString)))
        EXPECT_EQ(langs.size() == 1 && langs.begin()->first == kLangEnUs, true) << block.id;
    EXPECT_TRUE(Package_List(plain->resources).languages.empty());

    // verify: a language's block that lacks the date, or gives another one.
    ResTree broken = tree;
    StringTable_Put({{kStringCaption, u"Titel"}, {kStringPrompt, u"Frage?"}}, broken, 0x0007);
    Listing b = Package_List(broken);
    ASSERT_FALSE(b.problems.empty());
    EXPECT_NE(b.problems.front().find("for a user of language de, string 102 is missing"), std::string::npos) << b.problems.front();
    StringTable_Put({{kStringCaption, u"Titel"}, {kStringPrompt, u"Frage?"}, {kStringDate, u"01-01-99"}, {kStringTime, u"0:00"}},
                    broken, 0x0007);
    b = Package_List(broken);
    ASSERT_FALSE(b.problems.empty());
    EXPECT_NE(b.problems.front().find("string 102 reads \"01-01-99\", not the default's"), std::string::npos) << b.problems.front();
}

TEST(Languages, TranslationsAreCheckedLikeTheDefaultAndNamed)
{
    fs::path dir = TempDir();
    struct Case { Translation t; const char *expect; } cases[] = {
        {{"de", "Titel", ""}, "\"de\" needs both a caption and a prompt"},
        {{"de", std::string(64, 'c'), "Frage?"}, "\"de\": caption is longer than 63 bytes"},
        {{"fr", "Titre", std::string(260, 'p')}, "\"fr\": prompt is longer than 259 bytes"},
        {{"en-US", "Title", "Question?"}, "default"},
        {{"klingon", "Title", "Question?"}, "not a BCP-47 tag"},
    };
    for (const Case &c : cases) {
        PackRequest r = Request(dir, {{"SETUP.EXE", 10}});
        r.translations = {c.t};
        PackResult res = Pack(r, dir / "x.exe");
        EXPECT_EQ(res.code, 1) << c.expect;
        EXPECT_NE(res.err.find(c.expect), std::string::npos) << res.err;
    }
    PackRequest r = Request(dir, {{"SETUP.EXE", 10}});
    r.translations = {{"de", "A", "B?"}, {"DE", "C", "D?"}};
    EXPECT_NE(Pack(r, dir / "x.exe").err.find("given twice"), std::string::npos);

    // The manifest's [language.TAG] tables, and --translation's files.
    WriteAll(dir / "m.toml", std::vector<uint8_t>{});
    std::ofstream(dir / "m.toml") << "caption = \"C\"\nprompt = \"P?\"\n[language.de]\ncaption = \"T\"\nprompt = \"F?\"\n"
                                     "[language.fr]\ncaption = \"T\"\ncolour = \"bleu\"\n";
    PackRequest m;
    std::string error;
    EXPECT_FALSE(Manifest_Read(dir / "m.toml", m, error));
    EXPECT_NE(error.find("language.fr.colour is not a key selfextr knows"), std::string::npos) << error;
    std::ofstream(dir / "de.toml") << "caption = \"Titel\"\nprompt = \"Frage?\"\n";
    Translation t;
    ASSERT_TRUE(Manifest_ReadTranslation("de-AT=" + (dir / "de.toml").string(), t, error)) << error;
    EXPECT_EQ(t.tag, "de-AT");
    EXPECT_EQ(t.prompt, "Frage?");
    EXPECT_FALSE(Manifest_ReadTranslation("de.toml", t, error));
    EXPECT_NE(error.find("TAG=FILE"), std::string::npos);
}
