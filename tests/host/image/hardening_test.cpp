// How the bare stub and every finished stub look to scanners and policies:
// relocatable, NX, no section both writable and executable, read-only
// resources, an honest timestamp, and only KERNEL32, USER32 and GDI32.
#include "testutil.h"

#include <algorithm>
#include <cstdlib>
#include <set>

#include "image/pe_layout.h"

using namespace selfextr;
using namespace selfextr::pe;

namespace {

// The bare stub may grow by at most this much before someone looks at why.
constexpr size_t kBareStubCeiling = 10240;

struct Headers {
    Image image;
    uint16_t dllCharacteristics = 0;
    uint32_t timestamp = 0;
    uint32_t relocRva = 0, relocSize = 0;
};

Headers Read(const fs::path &path)
{
    std::string error;
    auto image = Image_Parse(ReadAll(path), error);
    EXPECT_TRUE(image) << path << ": " << error;
    Headers h;
    if (!image)
        return h;
    h.image = std::move(*image);
    const auto &b = h.image.bytes;
    h.dllCharacteristics = Bytes_Le16(b, h.image.optOffset + kOptDllCharacteristics);
    h.timestamp = Bytes_Le32(b, h.image.fileHeader + kFileTimeDateStamp);
    size_t reloc = h.image.optOffset + kOptDirectories + kDirBytes * kDirBaseReloc;
    h.relocRva = Bytes_Le32(b, reloc + kDirAddress);
    h.relocSize = Bytes_Le32(b, reloc + kDirSize);
    return h;
}

// The file offset of an RVA, through the section that maps it.
size_t FileOffset(const Image &image, uint32_t rva)
{
    for (const Section &s : image.sections)
        if (rva >= s.virtualAddress && rva < s.virtualAddress + std::max(s.virtualSize, s.rawSize))
            return s.rawPointer + (rva - s.virtualAddress);
    ADD_FAILURE() << "RVA " << rva << " lies in no section";
    return 0;
}

// The upper-cased names of the DLLs the import directory names.
std::set<std::string> ImportedDlls(const Image &image)
{
    const auto &b = image.bytes;
    uint32_t rva = Bytes_Le32(b, image.optOffset + kOptDirectories + kDirBytes * kDirImport + kDirAddress);
    std::set<std::string> dlls;
    // IMAGE_IMPORT_DESCRIPTOR: 20 bytes, the DLL's name RVA at 12; a zeroed one ends the list.
    for (size_t at = FileOffset(image, rva); at + 20 <= b.size() && Bytes_Le32(b, at + 12) != 0; at += 20) {
        std::string name;
        for (size_t n = FileOffset(image, Bytes_Le32(b, at + 12)); n < b.size() && b[n] != 0; n++)
            name += char(std::toupper(b[n]));
        dlls.insert(name);
    }
    return dlls;
}

// Every base relocation is a 32-bit fix-up of a pointer into the image, and
// none lies in .rsrc, which pack rewrites. Returns how many there are.
int ExpectRelocationsSound(const Headers &h)
{
    const Image &image = h.image;
    const auto &b = image.bytes;
    const uint32_t base = Bytes_Le32(b, image.optOffset + kOptImageBase), size = Bytes_Le32(b, image.optOffset + kOptSizeOfImage);
    const Section &rsrc = image.sections.back();
    int fixups = 0;
    for (size_t at = FileOffset(image, h.relocRva), end = at + h.relocSize; at + 8 <= end;) {
        uint32_t page = Bytes_Le32(b, at), blockSize = Bytes_Le32(b, at + 4);
        if (blockSize < 8 || at + blockSize > end) {
            ADD_FAILURE() << "relocation block at " << at << " of " << blockSize << " bytes";
            break;
        }
        for (size_t e = at + 8; e + 2 <= at + blockSize; e += 2) {
            uint16_t entry = Bytes_Le16(b, e);
            if (entry >> 12 == 0)  // padding
                continue;
            EXPECT_EQ(entry >> 12, 3) << "only 32-bit fix-ups in a PE32 image";
            uint32_t rva = page + (entry & 0xFFF);
            EXPECT_FALSE(rva >= rsrc.virtualAddress) << "a fix-up in .rsrc at RVA " << rva;
            uint32_t pointer = Bytes_Le32(b, FileOffset(image, rva));
            EXPECT_TRUE(pointer >= base && pointer < base + size) << "at RVA " << rva << ": " << pointer;
            fixups++;
        }
        at += blockSize;
    }
    return fixups;
}

void ExpectHardened(const Headers &h, const std::string &what)
{
    SCOPED_TRACE(what);
    EXPECT_TRUE(h.dllCharacteristics & kDllDynamicBase) << "ASLR";
    EXPECT_TRUE(h.dllCharacteristics & kDllNxCompat) << "DEP/NX";
    EXPECT_GT(h.relocSize, 0u) << "a relocatable image has base relocations";
    bool relocsInReloc = false;
    for (const Section &s : h.image.sections) {
        SCOPED_TRACE(s.name);
        EXPECT_FALSE((s.characteristics & kScnWrite) && (s.characteristics & kScnExecute));
        EXPECT_FALSE(s.rawSize == 0 && !(s.characteristics & kScnUninitializedData)) << "an empty section";
        relocsInReloc |= s.name == ".reloc" && h.relocRva >= s.virtualAddress &&
                         h.relocRva + h.relocSize <= s.virtualAddress + s.virtualSize;
    }
    EXPECT_TRUE(relocsInReloc);
    EXPECT_GT(ExpectRelocationsSound(h), 0);
    const Section &rsrc = h.image.sections.back();
    EXPECT_EQ(rsrc.name, ".rsrc");
    EXPECT_EQ(rsrc.characteristics, kScnInitializedData | kScnRead);
    EXPECT_EQ(ImportedDlls(h.image), (std::set<std::string>{"GDI32.DLL", "KERNEL32.DLL", "USER32.DLL"}));
}

class ScopedEpoch {
public:
    explicit ScopedEpoch(const char *value)
    {
        if (const char *old = getenv("SOURCE_DATE_EPOCH"))
            saved_ = old, had_ = true;
        value ? setenv("SOURCE_DATE_EPOCH", value, 1) : unsetenv("SOURCE_DATE_EPOCH");
    }
    ~ScopedEpoch() { had_ ? setenv("SOURCE_DATE_EPOCH", saved_.c_str(), 1) : unsetenv("SOURCE_DATE_EPOCH"); }

private:
    std::string saved_;
    bool had_ = false;
};

}  // namespace

TEST(StubImage, BareAndFinishedStubsAreHardenedAndStampedByTheRule)
{
    auto bare = ReadAll(SELFEXTR_STUB_PATH);
    EXPECT_LE(bare.size(), kBareStubCeiling);
    Headers stub = Read(SELFEXTR_STUB_PATH);
    ExpectHardened(stub, "bare stub");
    EXPECT_EQ(stub.timestamp, uint32_t(std::stoul(SELFEXTR_SOURCE_DATE_EPOCH))) << "the build's SOURCE_DATE_EPOCH";

    fs::path dir = TempDir();
    PackRequest request = Request(dir, {{"SETUP.EXE", 3000}, {"DATA.BIN", 70000}});
    {
        ScopedEpoch none(nullptr);
        ASSERT_EQ(Pack(request, dir / "a.exe").code, 0);
        ASSERT_EQ(Pack(request, dir / "b.exe").code, 0);
    }
    Headers finished = Read(dir / "a.exe");
    ExpectHardened(finished, "finished stub");
    EXPECT_EQ(finished.timestamp, 847512000u) << "the package's date and time, 1996-11-09 04:00, read as UTC";
    EXPECT_EQ(ReadAll(dir / "a.exe"), ReadAll(dir / "b.exe")) << "no clock in the image";
    {
        ScopedEpoch epoch("1765000000");
        ASSERT_EQ(Pack(request, dir / "c.exe").code, 0);
        EXPECT_EQ(Read(dir / "c.exe").timestamp, 1765000000u);
        // 2106-02-07 06:28:16, one second past what the field holds, is still a valid file date.
        ScopedEpoch late("4294967296");
        PackResult r = Pack(request, dir / "d.exe");
        EXPECT_EQ(r.code, 1);
        EXPECT_NE(r.err.find("the last day an image's timestamp holds"), std::string::npos) << r.err;
        EXPECT_FALSE(fs::exists(dir / "d.exe"));
    }
    fs::remove_all(dir);
}

TEST(StubImage, AStubWithAWritableExecutableSectionIsRefused)
{
    fs::path dir = TempDir();
    auto bytes = ReadAll(SELFEXTR_STUB_PATH);
    std::string error;
    auto image = Image_Parse(bytes, error);
    ASSERT_TRUE(image) << error;
    size_t text = image->sectionTable + kSecCharacteristics;  // the first section, .text
    ASSERT_EQ(image->sections.front().name, ".text");
    uint32_t flags = Bytes_Le32(bytes, text) | kScnWrite;
    for (int i = 0; i < 4; i++)
        bytes[text + i] = uint8_t(flags >> (8 * i));
    WriteAll(dir / "wx.exe", bytes);
    PackResult r = Pack(Request(dir, {{"SETUP.EXE", 10}}), dir / "out.exe", dir / "wx.exe");
    EXPECT_EQ(r.code, 1);
    EXPECT_NE(r.err.find("section .text is both writable and executable"), std::string::npos) << r.err;
    EXPECT_FALSE(fs::exists(dir / "out.exe"));
    fs::remove_all(dir);
}

TEST(StubImage, TheExecutionLevelIsAManifestOnlyWhenAskedFor)
{
    fs::path dir = TempDir();
    PackRequest request = Request(dir, {{"SETUP.EXE", 10}});
    for (const char *level : {"asInvoker", "highestAvailable", "requireAdministrator"}) {
        SCOPED_TRACE(level);
        request.executionLevel = level;
        ASSERT_EQ(Pack(request, dir / "level.exe").code, 0);
        std::string error;
        auto image = Image_Load(dir / "level.exe", error);
        ASSERT_TRUE(image) << error;
        const auto &manifest = image->resources.at(ResKey::Id(kRtManifest)).at(ResKey::Id(kManifestId));
        auto xml = ResData_Bytes(manifest.begin()->second);
        std::string text(xml.begin(), xml.end());
        EXPECT_NE(text.find(std::string("<requestedExecutionLevel level=\"") + level + "\" uiAccess=\"false\"/>"),
                  std::string::npos);
        EXPECT_NE(text.find("<supportedOS Id=\"{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}\"/>"), std::string::npos);
        EXPECT_EQ(Package_List(image->resources).executionLevel, level);
    }
    // Packed again without a level, the finished stub carries no manifest.
    request.executionLevel.clear();
    PackResult again = Pack(request, dir / "level.exe", dir / "level.exe");
    ASSERT_EQ(again.code, 0) << again.err;
    std::string error;
    auto image = Image_Load(dir / "level.exe", error);
    ASSERT_TRUE(image) << error;
    EXPECT_FALSE(image->resources.count(ResKey::Id(kRtManifest)));
    EXPECT_EQ(Package_List(image->resources).executionLevel, "");

    request.executionLevel = "administrator";
    PackResult r = Pack(request, dir / "bad.exe");
    EXPECT_EQ(r.code, 1);
    EXPECT_NE(r.err.find("execution level \"administrator\" is not one of asInvoker, highestAvailable and requireAdministrator"),
              std::string::npos) << r.err;
    fs::remove_all(dir);
}

// The runner passes the same checks, bare and as a package's SETUP.EXE, which
// is the bare runner byte for byte; it carries its own asInvoker manifest so
// that installer detection never elevates it for its name.
TEST(RunnerImage, TheRunnerIsHardenedSmallDeterministicAndCarriedUnchanged)
{
    auto bare = ReadAll(SELFEXTR_RUNNER_PATH);
    // 32,768 bytes before its manifest (1 KiB of .rsrc), the search for its
    // stub's image, the payload path rule and its wording (decoder/paths.cpp)
    // and its folder's access list, marker and sweep came in; 59,904 once
    // deletion through handles, its stub's image read through one handle, the
    // elevated restart and the Unicode tables of the path rule (NFC and case
    // folding, about 9 KiB) came in; 54,784 with arguments pushed rather than
    // stored, the primary composites as steps and the manifest in one line.
    // 60,416 once parallel decoding with its writers (+2.5 KiB) and files
    // stored once (+3.5 KiB) came in; 54,784 with -Oz, its words kept as
    // bytes, every block decoded flat (no window, no 64-bit division) and
    // one length decoder; 52,736 with its headers in 512 bytes (no DOS
    // program), compiled as one whole program, and its most-called imports
    // through thunks; 53,248 once decoding began before the folder and the
    // progress window waited for a slow expansion; 51,712 with three imports
    // fewer, no writable constant, no side-effect analysis across the
    // program, a shorter index scan and the combining classes and fold
    // offsets packed; 49,152, the aim of 48 KiB, with the small fields of its
    // state before the buffers, its static buffers and tables reached through
    // registers, and eleven more passes traded for size.
    EXPECT_LE(bare.size(), 49152u) << "the runner's size goal";
    Headers runner = Read(SELFEXTR_RUNNER_PATH);
    ExpectHardened(runner, "bare runner");
    // Its headers against the MZ header, in one 512-byte block: no DOS program.
    EXPECT_EQ(runner.image.peOffset, kDosHeaderBytes);
    EXPECT_EQ(Bytes_Le32(runner.image.bytes, runner.image.optOffset + kOptSizeOfHeaders), runner.image.fileAlignment);
    EXPECT_EQ(runner.timestamp, uint32_t(std::stoul(SELFEXTR_SOURCE_DATE_EPOCH)));
    auto manifest = ResTree_Find(runner.image.resources, kRtManifest, kManifestId);
    ASSERT_NE(manifest, nullptr);
    auto xml = ResData_Bytes(manifest->begin()->second);
    EXPECT_EQ(AppManifest_Level(std::string(xml.begin(), xml.end())), "asInvoker");
    EXPECT_EQ(runner.image.resources.count(ResKey::Id(kRtString)), 0u) << "the runner's settings are the package's";

    fs::path dir = TempDir();
    fs::create_directories(dir / "tree/app");
    WriteAll(dir / "tree/app/install.exe", Pattern(5000, 3));
    PackRequest request = Request(dir, {{"README.TXT", 30}});
    request.payloadDir = dir / "tree";
    request.run = "app\\install.exe /quiet";
    ScopedEpoch none(nullptr);
    ASSERT_EQ(Pack(request, dir / "a.exe").code, 0);
    ASSERT_EQ(Pack(request, dir / "b.exe").code, 0);
    EXPECT_EQ(ReadAll(dir / "a.exe"), ReadAll(dir / "b.exe"));
    std::ostringstream out, err;
    ASSERT_EQ(Command_Extract(dir / "a.exe", dir / "raw", false, true, out, err), 0) << err.str();
    EXPECT_EQ(ReadAll(dir / "raw/SETUP.EXE"), bare);
    std::string error;
    auto package = Image_Load(dir / "a.exe", error);
    ASSERT_TRUE(package) << error;
    EXPECT_EQ(StringTable_Get(package->resources, kStringCommand), "app\\install.exe /quiet");
    fs::remove_all(dir);
}
