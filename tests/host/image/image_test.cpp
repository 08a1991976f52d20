// The bare stub's image and resources, malformed images, and signed inputs.
#include "testutil.h"

#include <set>

#include "image/pe_layout.h"

using namespace selfextr;


TEST(StubImage, BareStubIsASmallGuiImageWithItsOwnResourcesOnly)
{
    auto bytes = ReadAll(SELFEXTR_STUB_PATH);
    EXPECT_LT(bytes.size(), 12u * 1024);
    std::string error;
    auto image = Image_Parse(bytes, error);
    ASSERT_TRUE(image) << error;
    EXPECT_EQ(Bytes_Le16(bytes, image->optOffset + pe::kOptSubsystem), 2) << "Windows GUI subsystem";
    EXPECT_EQ(image->sections.back().name, ".rsrc");
    std::set<uint16_t> types;
    for (auto &[type, names] : image->resources)
        types.insert(type.id);
    EXPECT_EQ(types, (std::set<uint16_t>{3, kRtDialog, 14}));  // icon, dialog, icon group
    auto &group = image->resources.at(ResKey::Id(14));
    ASSERT_EQ(group.size(), 1u);
    EXPECT_EQ(group.begin()->first, ResKey::Name(u"SELFEXTR"));
    const auto &icon = ResData_Bytes(image->resources.at(ResKey::Id(3)).begin()->second.begin()->second);
    EXPECT_EQ(Bytes_Le32(icon, 4), 32u);       // 32 wide
    EXPECT_EQ(Bytes_Le32(icon, 8), 64u);       // 32 high, doubled for the mask
    EXPECT_EQ(Bytes_Le16(icon, 14), 4);        // 16 colours
}

TEST(StubImage, ProgressDialogTemplate)
{
    std::string error;
    auto image = Image_Parse(ReadAll(SELFEXTR_STUB_PATH), error);
    ASSERT_TRUE(image);
    const auto &d = ResData_Bytes(image->resources.at(ResKey::Id(kRtDialog)).at(ResKey::Id(kDialogProgress)).begin()->second);
    // DLGTEMPLATE: style, exstyle, count, x, y, cx, cy; then menu, class, title, font.
    const uint32_t style = 0x80000000 /*WS_POPUP*/ | 0x10000000 /*WS_VISIBLE*/ | 0x00C00000 /*WS_CAPTION*/ |
                           0x80 /*DS_MODALFRAME*/ | 0x40 /*DS_SETFONT*/;
    ASSERT_NE(Bytes_Le16(d, 2), 0xFFFF) << "a plain template, not an extended one";
    EXPECT_EQ(Bytes_Le32(d, 0), style);
    EXPECT_EQ(Bytes_Le32(d, 4), 0u);
    EXPECT_EQ(Bytes_Le16(d, 8), 2);
    EXPECT_EQ(std::vector<int>({Bytes_Le16(d, 10), Bytes_Le16(d, 12), Bytes_Le16(d, 14), Bytes_Le16(d, 16)}), std::vector<int>({100, 100, 200, 40}));
    size_t at = 18;
    auto text = [&]() {
        std::u16string s;
        if (Bytes_Le16(d, at) == 0xFFFF) { at += 4; return std::u16string(u"#"); }
        for (; Bytes_Le16(d, at); at += 2) s.push_back(char16_t(Bytes_Le16(d, at)));
        at += 2;
        return s;
    };
    EXPECT_EQ(text(), u"");  // no menu
    EXPECT_EQ(text(), u"");  // default class
    EXPECT_EQ(text(), u"");  // no title
    EXPECT_EQ(Bytes_Le16(d, at), 8);
    at += 2;
    EXPECT_EQ(text(), u"Helv");
    struct Item { int16_t id; int x, y, cx, cy; std::u16string text; } expect[] = {
        {-1, 6, 6, 188, 8, u"Extracting Files..."}, {200, 6, 18, 189, 16, u""}};
    for (auto &e : expect) {
        at = (at + 3) & ~size_t(3);
        EXPECT_EQ(Bytes_Le32(d, at), 0x40000000u | 0x10000000u | 0x00020000u | 0x1u) << "WS_CHILD|WS_VISIBLE|WS_GROUP|SS_CENTER";
        EXPECT_EQ(std::vector<int>({Bytes_Le16(d, at + 8), Bytes_Le16(d, at + 10), Bytes_Le16(d, at + 12), Bytes_Le16(d, at + 14)}),
                  std::vector<int>({e.x, e.y, e.cx, e.cy}));
        EXPECT_EQ(int16_t(Bytes_Le16(d, at + 16)), e.id);
        at += 18;
        ASSERT_EQ(Bytes_Le16(d, at), 0xFFFF);
        EXPECT_EQ(Bytes_Le16(d, at + 2), 0x82) << "STATIC";
        at += 4;
        EXPECT_EQ(text(), e.text);
        at += 2;  // no creation data
    }
}

TEST(ImageReader, MalformedImagesGiveOneExactError)
{
    fs::path dir = TempDir();
    PackRequest r = Request(dir, {{"SETUP.EXE", 100}});
    ASSERT_EQ(Pack(r, dir / "ok.exe").code, 0);
    const auto good = ReadAll(dir / "ok.exe");
    std::string error;
    auto image = Image_Parse(good, error);
    ASSERT_TRUE(image);
    const size_t pe = image->peOffset, opt = image->optOffset, sections = image->sectionTable;
    const size_t file = image->fileHeader, rsrcRaw = image->sections.back().rawPointer;
    // Where a directory's first entry points, from the directory's start.
    const size_t firstTarget = pe::kResDirBytes + pe::kResEntryTarget;

    struct Case { std::string label; std::vector<uint8_t> bytes; std::string error; };
    std::vector<Case> cases;
    auto cut = [&](size_t n) { return std::vector<uint8_t>(good.begin(), good.begin() + long(n)); };
    auto edit = [&](auto f) { auto b = good; f(b); return b; };
    cases.push_back({"empty", {}, "not a Windows executable: no MZ header"});
    cases.push_back({"cut in MZ header", cut(40), "not a Windows executable: no MZ header"});
    cases.push_back({"cut before PE header", cut(pe + 2), "not a PE image: no PE signature where the MZ header points"});
    cases.push_back({"cut in optional header", cut(opt + 50), "optional header is truncated"});
    cases.push_back({"cut in section table", cut(sections + 30), "section table is truncated or empty"});
    cases.push_back({"cut in .rsrc", cut(rsrcRaw + 8), "section .rsrc lies past the end of the file"});
    cases.push_back({"far lfanew", edit([](auto &b) { Bytes_Set32(b, pe::kDosLfanew, 0x7FFFFFF0); }),
                     "not a PE image: no PE signature where the MZ header points"});
    cases.push_back({"amd64", edit([&](auto &b) { Bytes_Set16(b, file + pe::kFileMachine, 0x8664); }), "not an i386 image (machine 0x8664)"});
    cases.push_back({"PE32+", edit([&](auto &b) { Bytes_Set16(b, opt + pe::kOptMagic, 0x20B); }), "not a PE32 image (optional header magic 0x020B)"});
    cases.push_back({"huge section count", edit([&](auto &b) { Bytes_Set16(b, file + pe::kFileSections, 0xFFFF); }),
                     "section table is truncated or empty"});
    cases.push_back({"section past the end", edit([&](auto &b) { Bytes_Set32(b, sections + pe::kSecRawPointer, 0x10000000); }),
                     "section .text lies past the end of the file"});
    cases.push_back({".rsrc not last", edit([&](auto &b) { Bytes_Set32(b, sections + pe::kSecVirtualAddress, 0x7FFF0000); }),
                     ".rsrc is not the last section of the image"});
    cases.push_back({"huge directory count", edit([&](auto &b) { Bytes_Set16(b, rsrcRaw + pe::kResDirIdCount, 0xFFFF); }),
                     "resource directory at offset 0 has 65535 entries, more than the resource section holds"});
    // The first type's subdirectory pointing back at the root.
    cases.push_back({"loop", edit([&](auto &b) { Bytes_Set32(b, rsrcRaw + firstTarget, pe::kResSubdirectory); }),
                     "resource directory at offset 0 is reached twice (a loop)"});
    // The first language entry pointing at a directory: a fourth level.
    uint32_t typeDir = Bytes_Le32(good, rsrcRaw + firstTarget) & ~pe::kResSubdirectory;
    uint32_t nameDir = Bytes_Le32(good, rsrcRaw + typeDir + firstTarget) & ~pe::kResSubdirectory;
    cases.push_back({"too deep", edit([&](auto &b) { Bytes_Set32(b, rsrcRaw + nameDir + firstTarget, pe::kResSubdirectory | nameDir); }),
                     "resource tree is deeper than three levels"});
    cases.push_back({"data outside", edit([&](auto &b) {
                         uint32_t entry = Bytes_Le32(b, rsrcRaw + nameDir + firstTarget);
                         Bytes_Set32(b, rsrcRaw + entry + pe::kResDataRva, 0x70000000);
                     }), "resource data at RVA 1879048192 (744 bytes) lies outside the file's sections"});

    for (auto &c : cases) {
        std::string e;
        EXPECT_FALSE(Image_Parse(c.bytes, e)) << c.label;
        EXPECT_EQ(e, c.error) << c.label;
    }
}

TEST(ImageReader, RefusesNonStubsAndSignedInputs)
{
    fs::path dir = TempDir();
    PackRequest r = Request(dir, {{"SETUP.EXE", 100}});
    ASSERT_EQ(Pack(r, dir / "ok.exe").code, 0);
    auto good = ReadAll(dir / "ok.exe");
    std::string error;
    auto image = Image_Parse(good, error);
    ASSERT_TRUE(image);

    // Without dialog 2000 it is not our stub.
    ResTree noDialog = image->resources;
    noDialog.erase(ResKey::Id(kRtDialog));
    WriteAll(dir / "other.exe", WriteImage(*image, noDialog));
    PackResult res = Pack(r, dir / "out.exe", dir / "other.exe");
    EXPECT_NE(res.code, 0);
    EXPECT_NE(res.err.find("no dialog 2000"), std::string::npos) << res.err;

    // A certificate table at the end of the file: refused, or dropped on request.
    auto signedBytes = good;
    std::vector<uint8_t> cert = {16, 0, 0, 0, 0, 2, 2, 0, 1, 2, 3, 4, 5, 6, 7, 8};
    Bytes_Set32(signedBytes, image->optOffset + 96 + 8 * 4, uint32_t(signedBytes.size()));
    Bytes_Set32(signedBytes, image->optOffset + 96 + 8 * 4 + 4, uint32_t(cert.size()));
    signedBytes.insert(signedBytes.end(), cert.begin(), cert.end());
    WriteAll(dir / "signed.exe", signedBytes);
    res = Pack(r, dir / "out.exe", dir / "signed.exe");
    EXPECT_NE(res.code, 0);
    EXPECT_NE(res.err.find("the input is signed"), std::string::npos) << res.err;
    EXPECT_FALSE(fs::exists(dir / "out.exe"));
    res = Pack(r, dir / "out.exe", dir / "signed.exe", true);
    ASSERT_EQ(res.code, 0) << res.err;
    EXPECT_EQ(ReadAll(dir / "out.exe"), good);  // certificate and its directory entry gone
}

// The runner's last build step moves the linker's headers up against the MZ
// header: every section's bytes stay what both our image readers find, and
// an image with any other file offset that would have to move is refused.
TEST(ImageHeaders, CompactedHeadersKeepEverySectionAndRefuseWhatCannotMove)
{
    const auto bare = ReadAll(SELFEXTR_STUB_PATH);
    std::string error;
    auto image = Image_Parse(bare, error);
    ASSERT_TRUE(image) << error;
    ASSERT_GT(image->peOffset, pe::kDosHeaderBytes) << "the linker's layout, with a DOS program";
    std::vector<uint8_t> moved;
    ASSERT_TRUE(Image_CompactHeaders(*image, moved, error)) << error;
    auto after = Image_Parse(moved, error);
    ASSERT_TRUE(after) << error;
    EXPECT_EQ(after->peOffset, pe::kDosHeaderBytes);
    const uint32_t headers = Bytes_Le32(moved, after->optOffset + pe::kOptSizeOfHeaders);
    EXPECT_EQ(headers, after->fileAlignment);
    EXPECT_EQ(moved.size(), bare.size() - (Bytes_Le32(bare, image->optOffset + pe::kOptSizeOfHeaders) - headers));
    ASSERT_EQ(after->sections.size(), image->sections.size());
    for (size_t i = 0; i < image->sections.size(); i++) {
        const Section &s = image->sections[i], &t = after->sections[i];
        SCOPED_TRACE(s.name);
        EXPECT_EQ(t.virtualAddress, s.virtualAddress);
        EXPECT_EQ(t.rawSize, s.rawSize);
        EXPECT_TRUE(s.rawSize == 0 || t.rawPointer >= headers) << t.rawPointer;
        EXPECT_TRUE(std::equal(bare.begin() + s.rawPointer, bare.begin() + s.rawPointer + s.rawSize,
                               moved.begin() + t.rawPointer));
    }
    auto flat = [](const ResTree &tree) {
        std::vector<std::vector<uint8_t>> all;
        for (auto &[type, names] : tree)
            for (auto &[name, langs] : names)
                for (auto &[lang, data] : langs)
                    all.emplace_back(ResData_Bytes(data).begin(), ResData_Bytes(data).end());
        return all;
    };
    EXPECT_EQ(flat(after->resources), flat(image->resources));
    // The runner's own reader, which finds its stub's resources, finds the same dialog.
    PeImage was{}, now{};
    ASSERT_TRUE(PeRes_Open(bare.data(), bare.size(), &was));
    ASSERT_TRUE(PeRes_Open(moved.data(), moved.size(), &now));
    PeBytes a{}, b{};
    ASSERT_EQ(PeRes_Find(&was, kRtDialog, kDialogProgress, kLangEnUs, &a), PE_FOUND);
    ASSERT_EQ(PeRes_Find(&now, kRtDialog, kDialogProgress, kLangEnUs, &b), PE_FOUND);
    EXPECT_EQ(std::vector<uint8_t>(a.data, a.data + a.size), std::vector<uint8_t>(b.data, b.data + b.size));

    const size_t opt = image->optOffset, file = image->fileHeader, table = image->sectionTable;
    const size_t tableEnd = table + pe::kSectionHeaderBytes * image->sections.size();
    struct Case { std::string label; std::function<void(std::vector<uint8_t> &)> edit; std::string error; };
    const Case cases[] = {
        {"signed", [&](auto &b) {
             Bytes_Set32(b, opt + pe::kOptDirectories + pe::kDirBytes * pe::kDirSecurity + pe::kDirAddress, uint32_t(b.size()));
             Bytes_Set32(b, opt + pe::kOptDirectories + pe::kDirBytes * pe::kDirSecurity + pe::kDirSize, 8);
             b.resize(b.size() + 8);
         }, "the image is signed; its headers cannot move under a signature"},
        {"debug data", [&](auto &b) { Bytes_Set32(b, opt + pe::kOptDirectories + pe::kDirBytes * pe::kDirDebug + pe::kDirSize, 28); },
         "the image has debug data, whose file offsets would need moving"},
        {"COFF symbols", [&](auto &b) { Bytes_Set32(b, file + pe::kFileSymbolTable, 0x400); },
         "the image has COFF symbols, whose file offset would need moving"},
        {"line numbers", [&](auto &b) { Bytes_Set32(b, table + pe::kSecLinePointer, 0x400); },
         "section .text has COFF relocations or line numbers, whose file offsets would need moving"},
        {"overlay", [&](auto &b) { b.push_back(1); }, "the image has an overlay, whose readers may hold file offsets"},
        {"bytes after the section table", [&](auto &b) { b[tableEnd + 3] = 1; }, "the headers hold bytes after the section table"},
        {"data inside the headers", [&](auto &b) { Bytes_Set32(b, table + pe::kSecRawPointer, 0x200); },
         "section .text's data starts inside the headers"},
        {"PE header in the MZ header", [&](auto &b) {
             std::vector<uint8_t> pe(b.begin() + image->peOffset, b.begin() + tableEnd);
             std::copy(pe.begin(), pe.end(), b.begin() + 0x20);
             Bytes_Set32(b, pe::kDosLfanew, 0x20);
         }, "the PE header overlaps the MZ header"},
    };
    for (const Case &c : cases) {
        auto bytes = bare;
        c.edit(bytes);
        auto hostile = Image_Parse(bytes, error);
        ASSERT_TRUE(hostile) << c.label << ": " << error;
        std::string why;
        EXPECT_FALSE(Image_CompactHeaders(*hostile, moved, why)) << c.label;
        EXPECT_EQ(why, c.error) << c.label;
    }
}
