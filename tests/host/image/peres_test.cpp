// The portable resource reader (decoder/peres.cpp) that the runner reads its
// stub with: against the tool's own model of the loader on images the tool
// wrote, and on images cut, looped, pointed outside themselves or garbage.
#include "testutil.h"

#include <map>

#include "decoder/peres.h"
#include "image/pe.h"
#include "package/package.h"

using namespace selfextr;

namespace {

// The bare stub with tree as its resources, written by the tool.
std::vector<uint8_t> WriteImage(const ResTree &tree)
{
    std::string error;
    auto stub = Image_Parse(ReadAll(SELFEXTR_STUB_PATH), error);
    EXPECT_TRUE(stub) << error;
    std::vector<uint8_t> out;
    ImageSink sink{[&](const uint8_t *p, size_t n) { out.insert(out.end(), p, p + n); return true; },
                   [&](uint64_t at, const uint8_t *p, size_t n) { std::copy(p, p + n, out.begin() + ptrdiff_t(at)); return true; }};
    EXPECT_TRUE(Image_Write(*stub, tree, WriteOptions{}, sink, error)) << error;
    return out;
}

std::string Utf8(const PeBytes &text)
{
    std::u16string units;
    for (uint32_t i = 0; i + 1 < text.size; i += 2)
        units.push_back(char16_t(text.data[i] | text.data[i + 1] << 8));
    return Text_Utf8(units);
}

std::vector<uint8_t> Data(const char *text) { return std::vector<uint8_t>(text, text + strlen(text)); }

// A package as pack lays it out: the default strings in en-US, a German
// translation under the language alone, a Brazilian one under its region,
// the runner's settings, and the marker.
ResTree Package()
{
    ResTree tree;
    std::map<uint16_t, std::u16string> strings = {{kStringCaption, u"Example Setup"}, {kStringPrompt, u"Install?"},
        {kStringDate, u"12-09-126"}, {kStringTime, u"4:00"}, {kStringTotal, u"2"}, {kEntryFirst, u"A.TXT,2"}};
    RunnerSettings_Put({.payload = "payload-0123456789abcdef.tar.xz", .command = "app\\setup.exe /quiet"}, strings);
    StringTable_Put(strings, tree);
    StringTable_Put({{kStringCaption, u"Beispiel-Setup"}, {kStringPrompt, u"Installieren?"}}, tree, 0x0007);
    StringTable_Put({{kStringCaption, u"Configuração"}, {kStringPrompt, u"Instalar?"}}, tree, 0x0416);
    tree[ResKey::Id(kRtPackageMarker)][ResKey::Id(kPackageMarkerId)][kLangEnUs].bytes = Data(SELFEXTR_PACKAGE_MARKER);
    tree[ResKey::Id(kRtDialog)][ResKey::Id(kDialogProgress)][kLangEnUs].bytes = Data("a dialog");
    return tree;
}

}  // namespace

// Every string the stub and the runner read, for users of the package's
// languages, of a region of one, of none, and neutral: what the reader finds
// in the written bytes is what the tool's model of the loader finds in the tree.
TEST(ImageResources, ReadsEveryStringAsTheToolsModelOfTheLoaderDoes)
{
    const ResTree tree = Package();
    const std::vector<uint8_t> bytes = WriteImage(tree);
    PeImage image;
    ASSERT_TRUE(PeRes_Open(bytes.data(), bytes.size(), &image));
    for (uint16_t user : {0x0000, 0x0409, 0x0407, 0x0C07, 0x0416, 0x0816, 0x040C, 0x0411}) {
        for (uint16_t id : {kStringCaption, kStringPrompt, kStringDate, kStringTime, kStringTotal, kEntryFirst,
                            uint16_t(kEntryFirst + 1), kStringPayload, kStringCommand, uint16_t(3003), uint16_t(4000)}) {
            SCOPED_TRACE("user " + std::to_string(user) + ", string " + std::to_string(id));
            PeBytes text;
            PeStatus status = PeRes_String(&image, id, user, &text);
            auto want = StringTable_Get(tree, id, 0x10000, user);
            ASSERT_EQ(status, want ? PE_FOUND : PE_MISSING);
            if (want) {
                EXPECT_EQ(Utf8(text), *want);
            }
        }
    }
    PeBytes marker;
    ASSERT_EQ(PeRes_Find(&image, kRtPackageMarker, kPackageMarkerId, 0x0411, &marker), PE_FOUND);
    EXPECT_EQ(std::string(reinterpret_cast<const char *>(marker.data), marker.size), "selfextr package 1");
    // The dialog is there, in the language it has; no other marker is.
    PeBytes dialog;
    ASSERT_EQ(PeRes_Find(&image, kRtDialog, kDialogProgress, 0x0416, &dialog), PE_FOUND);
    EXPECT_EQ(std::string(reinterpret_cast<const char *>(dialog.data), dialog.size), "a dialog");
    EXPECT_EQ(PeRes_Find(&image, kRtPackageMarker, kPackageMarkerId + 1, 0, &dialog), PE_MISSING);
    EXPECT_EQ(PeRes_Find(&image, 11, 1, 0, &dialog), PE_MISSING);
}

// The loader's order, with each language's bytes telling which was taken.
TEST(ImageResources, TakesTheLanguageTheLoaderTakes)
{
    struct Case {
        std::vector<uint16_t> has;
        uint16_t user, takes;
    } cases[] = {
        {{0x0000, 0x0007, 0x0409}, 0x0407, 0x0000},  // neutral before all
        {{0x0007, 0x0407, 0x0409}, 0x0407, 0x0407},  // the user's own
        {{0x0007, 0x0409}, 0x0C07, 0x0007},          // the language alone for any of its regions
        {{0x0407, 0x0409}, 0x0C07, 0x0409},          // another region is not the user's: en-US
        {{0x0416, 0x0409}, 0x0816, 0x0409},
        {{0x0411, 0x0416}, 0x040C, 0x0411},          // none of them: the lowest
        {{0x0C09, 0x0809}, 0x0000, 0x0809},
        {{0x0409, 0x0C09}, 0x0C09, 0x0C09},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE("user " + std::to_string(c.user) + " takes " + std::to_string(c.takes));
        ResTree tree;
        for (uint16_t lang : c.has)
            tree[ResKey::Id(10)][ResKey::Id(7)][lang].bytes = std::vector<uint8_t>{uint8_t(lang), uint8_t(lang >> 8)};
        std::vector<uint8_t> bytes = WriteImage(tree);
        PeImage image;
        ASSERT_TRUE(PeRes_Open(bytes.data(), bytes.size(), &image));
        PeBytes data;
        ASSERT_EQ(PeRes_Find(&image, 10, 7, c.user, &data), PE_FOUND);
        ASSERT_EQ(data.size, 2u);
        EXPECT_EQ(data.data[0] | data.data[1] << 8, c.takes);
        // The tool's model takes the same.
        auto picked = ResData_Bytes(*ResLangs_PickFor(*ResTree_Find(tree, 10, 7), c.user));
        EXPECT_EQ(picked[0] | picked[1] << 8, c.takes);
    }
}

namespace {

// Offsets into a written image's resource directory, for damaging it: the
// directory layout pack writes is breadth-first (root, types, names, languages).
struct Layout {
    std::vector<uint8_t> bytes;
    PeImage image;
    size_t root = 0;
    size_t At(uint32_t offset) const { return image.rsrcOffset + offset; }
    // The target field of the first id entry of the directory at offset.
    size_t FirstTarget(uint32_t offset) const
    {
        return At(offset) + 16 + 8 * Bytes_Le16(bytes, At(offset) + 12) + 4;
    }
};

Layout MarkerOnly()
{
    ResTree tree;
    tree[ResKey::Id(kRtPackageMarker)][ResKey::Id(kPackageMarkerId)][kLangEnUs].bytes = Data(SELFEXTR_PACKAGE_MARKER);
    Layout l;
    l.bytes = WriteImage(tree);
    EXPECT_TRUE(PeRes_Open(l.bytes.data(), l.bytes.size(), &l.image));
    return l;
}

PeStatus FindMarker(const std::vector<uint8_t> &bytes)
{
    PeImage image;
    if (!PeRes_Open(bytes.data(), bytes.size(), &image))
        return PE_DAMAGED;
    PeBytes data;
    PeStatus status = PeRes_Find(&image, kRtPackageMarker, kPackageMarkerId, 0x0407, &data);
    if (status == PE_FOUND) {
        EXPECT_GE(data.data, bytes.data());
        EXPECT_LE(data.data + data.size, bytes.data() + bytes.size());
    }
    return status;
}

}  // namespace

// Each damage the reader must see, in an image that is otherwise the tool's.
TEST(ImageResources, RefusesLoopsAndAnythingPointingOutsideTheBytes)
{
    const Layout good = MarkerOnly();
    ASSERT_EQ(FindMarker(good.bytes), PE_FOUND);
    const uint32_t typeDir = Bytes_Le32(good.bytes, good.FirstTarget(0)) & 0x7FFFFFFF;
    const uint32_t nameDir = Bytes_Le32(good.bytes, good.FirstTarget(typeDir)) & 0x7FFFFFFF;
    const uint32_t dataEntry = Bytes_Le32(good.bytes, good.FirstTarget(nameDir));
    struct Case {
        const char *what;
        size_t at;
        uint32_t value;
    } cases[] = {
        {"the type's names are the root (a loop)", good.FirstTarget(0), 0x80000000u},
        {"the name's languages are its own directory (a loop)", good.FirstTarget(typeDir), 0x80000000u | typeDir},
        {"a type points at data", good.FirstTarget(0), typeDir},
        {"a language points at a directory", good.FirstTarget(nameDir), 0x80000000u | nameDir},
        {"a directory past the section", good.FirstTarget(0), 0x80000000u | 0x7FFFFFF0u},
        {"a data entry past the section", good.FirstTarget(nameDir), good.image.rsrcBytes - 8},
        {"the data's RVA in no section", good.At(dataEntry), 0xFFFFF000u},
        {"the data's size past its section", good.At(dataEntry) + 4, good.image.rsrcBytes},
        {"more entries than the section holds", good.At(0) + 12, 0xFFFF0000u},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        std::vector<uint8_t> bytes = good.bytes;
        Bytes_Set32(bytes, c.at, c.value);
        EXPECT_EQ(FindMarker(bytes), PE_DAMAGED);
    }
    // The resource directory itself in no section.
    {
        std::vector<uint8_t> bytes = good.bytes;
        uint32_t pe = Bytes_Le32(bytes, 0x3C);
        Bytes_Set32(bytes, pe + 24 + 96 + 16, 0x7FFF0000u);
        EXPECT_EQ(FindMarker(bytes), PE_DAMAGED);
    }
    // Not a PE32 i386 image at all: no headers to read.
    for (size_t at : {size_t(0), size_t(Bytes_Le32(good.bytes, 0x3C)), size_t(Bytes_Le32(good.bytes, 0x3C) + 24)}) {
        std::vector<uint8_t> bytes = good.bytes;
        bytes[at] ^= 0x20;
        PeImage image;
        EXPECT_FALSE(PeRes_Open(bytes.data(), bytes.size(), &image)) << "byte " << at << " changed";
    }
}

// The image cut at every length: a header cut refuses to open, a resource
// directory or data cut is damage, never a read past the bytes (ASan watches).
TEST(ImageResources, ACutImageIsNeverReadPastItsEnd)
{
    const Layout good = MarkerOnly();
    PeBytes marker;
    ASSERT_EQ(PeRes_Find(&good.image, kRtPackageMarker, kPackageMarkerId, 0, &marker), PE_FOUND);
    const size_t end = size_t(marker.data - good.bytes.data()) + marker.size;
    for (size_t n = 0; n < good.bytes.size(); n++) {
        std::vector<uint8_t> cut(good.bytes.begin(), good.bytes.begin() + ptrdiff_t(n));
        cut.shrink_to_fit();
        PeStatus status = FindMarker(cut);
        if (n < end)
            EXPECT_NE(status, PE_FOUND) << "found in an image cut to " << n << " bytes";
        else
            EXPECT_EQ(status, PE_FOUND) << "cut to " << n << " bytes, after the marker";
    }
}

// Strings: a block shorter than its counts is damage, an empty slot missing.
TEST(ImageResources, AStringBlockIsWalkedWithinItsBytes)
{
    ResTree tree;
    auto &block = tree[ResKey::Id(kRtString)][ResKey::Id(3002 / 16 + 1)][kLangEnUs].bytes;
    std::vector<uint8_t> units;
    for (int slot = 0; slot < 16; slot++) {
        uint16_t n = slot == 3001 % 16 ? 3 : 0;  // only 3001, "abc"
        units.push_back(uint8_t(n));
        units.push_back(0);
        for (int i = 0; i < n; i++)
            units.insert(units.end(), {uint8_t('a' + i), 0});
    }
    block = units;
    std::vector<uint8_t> bytes = WriteImage(tree);
    PeImage image;
    ASSERT_TRUE(PeRes_Open(bytes.data(), bytes.size(), &image));
    PeBytes text;
    ASSERT_EQ(PeRes_String(&image, 3001, 0, &text), PE_FOUND);
    EXPECT_EQ(Utf8(text), "abc");
    EXPECT_EQ(PeRes_String(&image, 3002, 0, &text), PE_MISSING);
    EXPECT_EQ(PeRes_String(&image, 3000, 0, &text), PE_MISSING);
    EXPECT_EQ(PeRes_String(&image, 100, 0, &text), PE_MISSING);  // no such block

    // The same block claiming more units than it holds, and cut before the slot.
    units[2 * (3001 % 16)] = 200;
    block = units;
    bytes = WriteImage(tree);
    ASSERT_TRUE(PeRes_Open(bytes.data(), bytes.size(), &image));
    EXPECT_EQ(PeRes_String(&image, 3001, 0, &text), PE_DAMAGED);
    units.resize(2 * 5);
    block = units;
    bytes = WriteImage(tree);
    ASSERT_TRUE(PeRes_Open(bytes.data(), bytes.size(), &image));
    EXPECT_EQ(PeRes_String(&image, 3001, 0, &text), PE_DAMAGED);
}

// Bytes of no form at all, and the good image with bytes changed at random:
// every lookup ends, and whatever it finds lies within the bytes.
TEST(ImageResources, GarbageEndsAndStaysWithinTheBytes)
{
    const Layout good = MarkerOnly();
    for (uint32_t seed = 1; seed <= 200; seed++) {
        std::vector<uint8_t> noise = Pattern(4096, seed);
        noise[0] = 'M', noise[1] = 'Z';
        FindMarker(noise);
        std::vector<uint8_t> bytes = good.bytes;
        std::vector<uint8_t> flips = Pattern(64, seed);
        for (size_t i = 0; i + 1 < flips.size(); i += 2) {
            size_t at = good.image.rsrcOffset + (flips[i] | flips[i + 1] << 8) % (bytes.size() - good.image.rsrcOffset);
            bytes[at] = flips[(i + 7) % flips.size()];
        }
        FindMarker(bytes);
        PeImage image;
        PeBytes text;
        if (PeRes_Open(bytes.data(), bytes.size(), &image) && PeRes_String(&image, 3001, 0x0407, &text) == PE_FOUND) {
            EXPECT_LE(text.data + text.size, bytes.data() + bytes.size());
        }
    }
}
