// payload_threads_test.cpp: the payload compressed on several threads, the
// same bytes whatever their number; threads within the memory; the progress
// reports and their line; the manifest's threads and memory_limit.
#include "testutil.h"
#include "cli/manifest.h"
#include "cli/progress_line.h"
#include "decoder/xz.h"
#include "package/package.h"

using namespace selfextr;

namespace {

// Some 4.5 MiB over several files: text-like runs, noise, and a copy far
// back, so that the blocks differ in what they find.
void MakeMixedTree(const fs::path &root)
{
    fs::create_directories(root / "bin");
    fs::create_directories(root / "doc");
    std::vector<uint8_t> noise = Pattern(1500000, 7), text;
    const std::string line = "the quick brown fox jumps over the lazy dog; ";
    for (uint32_t i = 0; text.size() < 1800000; i++) {
        text.insert(text.end(), line.begin(), line.end());
        std::string n = std::to_string(i * 2654435761u) + "\n";
        text.insert(text.end(), n.begin(), n.end());
    }
    WriteAll(root / "bin/noise.bin", noise);
    WriteAll(root / "doc/text.txt", text);
    WriteAll(root / "bin/again.bin", noise);
    WriteAll(root / "small.ini", {'[', 'a', ']', '\n'});
}

}  // namespace

TEST(PayloadThreads, TheBytesAreTheSameWhateverTheThreadCount)
{
    fs::path dir = TempDir();
    MakeMixedTree(dir / "t");
    PayloadOptions options;
    options.blockBytes = 1 << 20;
    std::vector<Payload> built;
    for (uint32_t threads : {1u, 2u, 3u}) {
        options.threads = threads;
        Payload p;
        std::string error;
        ASSERT_TRUE(Payload_Build(dir / "t", nullptr, options, p, error)) << threads << ": " << error;
        built.push_back(std::move(p));
    }
    EXPECT_EQ(built[0].bytes, built[1].bytes);
    EXPECT_EQ(built[0].bytes, built[2].bytes);
    EXPECT_EQ(built[0].name, built[2].name);

    // Independent blocks of the size asked, each with a dictionary no larger
    // than the block, as the runner decodes them.
    PayloadSummary summary;
    std::string error;
    ASSERT_TRUE(Payload_Read(built[0].bytes, PayloadVisitor{}, summary, error)) << error;
    EXPECT_EQ(summary.blocks, (summary.archiveBytes + options.blockBytes - 1) / options.blockBytes);
    EXPECT_LE(summary.dictionary, options.blockBytes);
    EXPECT_GE(summary.blocks, 4u);
}

TEST(PayloadPlan, ThreadsFollowTheBlocksAndTheMemoryAndTheDictionaryTheBlock)
{
    std::string error;
    const uint64_t mib = 1 << 20;
    auto plan = [&](uint64_t archive, uint32_t blockMiB, uint32_t threads, uint64_t memory) {
        PayloadOptions o;
        o.blockBytes = blockMiB << 20, o.threads = threads, o.memoryLimit = memory;
        PayloadPlan p;
        error.clear();
        if (!Payload_Plan(archive, o, p, error))
            p.threads = 0;
        return p;
    };
    // No more threads than blocks.
    EXPECT_EQ(plan(3 * mib, 1, 8, 0).threads, 3u);
    EXPECT_EQ(plan(3 * mib + 1, 1, 8, 0).threads, 4u);
    EXPECT_EQ(plan(100, 1, 8, 0).threads, 1u);
    // A default block, threads and limit make a plan that fits the default limit.
    PayloadPlan d;
    ASSERT_TRUE(Payload_Plan(200 * mib, {}, d, error)) << error;
    EXPECT_EQ(d.blockBytes, kPayloadDefaultBlockMiB << 20);
    EXPECT_GE(d.threads, 1u);
    EXPECT_LE(d.memory, kPayloadDefaultMemoryBytes);

    // The memory caps the threads: a limit between what two and three take allows two.
    const uint64_t one = plan(64 * mib, 4, 1, kPayloadMaxMemoryBytes).memory;
    const uint64_t two = plan(64 * mib, 4, 2, kPayloadMaxMemoryBytes).memory;
    const uint64_t three = plan(64 * mib, 4, 3, kPayloadMaxMemoryBytes).memory;
    ASSERT_LT(one, two);
    ASSERT_LT(two, three);
    PayloadPlan capped = plan(64 * mib, 4, 8, (two + three) / 2);
    EXPECT_EQ(capped.threads, 2u);
    EXPECT_EQ(capped.memory, two);
    EXPECT_EQ(plan(64 * mib, 4, 8, one).threads, 1u);
    // Less than one thread takes: refused, saying what it needs.
    EXPECT_EQ(plan(64 * mib, 4, 1, one - 1).threads, 0u);
    EXPECT_NE(error.find("the memory limit of "), std::string::npos) << error;
    EXPECT_NE(error.find("in blocks of 4 MiB with one thread"), std::string::npos) << error;

    // The dictionary: the smallest power of two the archive fits, at most the
    // block (the largest power of two in it) and at most 16 MiB, whatever the
    // block, which keeps two threads under pack's memory budget.
    struct Dict { uint64_t archive; uint32_t blockMiB, dictionary; } dicts[] = {
        {100, 16, 4096},
        {5 * mib, 16, 8 << 20},
        {200 * mib, 16, 16 << 20},
        {200 * mib, 24, 16 << 20},
        {200 * mib, 1, 1 << 20},
        {200 * mib, 64, 16 << 20},
    };
    for (const Dict &c : dicts)
        EXPECT_EQ(plan(c.archive, c.blockMiB, 1, kPayloadMaxMemoryBytes).dictionary, c.dictionary)
            << c.archive << " in " << c.blockMiB << " MiB blocks";
}

TEST(PayloadProgress, ReportsClimbToTheWholeTarAndEndDoneOnce)
{
    fs::path dir = TempDir();
    MakeMixedTree(dir / "t");
    std::vector<PayloadProgress> seen;
    PayloadOptions options;
    options.blockBytes = 1 << 20;
    options.threads = 2;
    options.progress = [&](const PayloadProgress &p) { seen.push_back(p); };
    Payload p;
    std::string error;
    ASSERT_TRUE(Payload_Build(dir / "t", nullptr, options, p, error)) << error;
    PayloadSummary summary;
    ASSERT_TRUE(Payload_Read(p.bytes, PayloadVisitor{}, summary, error)) << error;

    ASSERT_GE(seen.size(), 2u);
    for (size_t i = 0; i < seen.size(); i++) {
        EXPECT_EQ(seen[i].total, summary.archiveBytes) << i;
        EXPECT_LE(seen[i].read, seen[i].total) << i;
        EXPECT_EQ(seen[i].done, i + 1 == seen.size()) << i;
        if (i > 0)
            EXPECT_GE(seen[i].read, seen[i - 1].read) << i;
    }
    EXPECT_EQ(seen.back().read, summary.archiveBytes);
    EXPECT_EQ(seen.back().written, p.bytes.size());

    // A failure ends the reports too, so that a progress line is gone before the message.
    seen.clear();
    WriteAll(dir / "t/bad:name", {1});
    EXPECT_FALSE(Payload_Build(dir / "t", nullptr, options, p, error));
    EXPECT_TRUE(seen.empty() || seen.back().done);
}

TEST(PayloadProgressLine, TheLineSaysWhatIsReadWrittenAndLeft)
{
    const uint64_t mib = 1 << 20;
    struct Case { PayloadProgress p; double seconds; std::string text; } cases[] = {
        {{0, 160 * mib, 0, false}, 0, "payload: 0.0 KiB of 160.0 MiB read, 0.0 KiB written (--), --:-- left"},
        // Under a second nothing is said of the time left.
        {{40 * mib, 160 * mib, 10 * mib, false}, 0.5, "payload: 40.0 MiB of 160.0 MiB read, 10.0 MiB written (25.0 %), --:-- left"},
        {{40 * mib, 160 * mib, 10 * mib, false}, 20, "payload: 40.0 MiB of 160.0 MiB read, 10.0 MiB written (25.0 %), 1:00 left"},
        {{512, 3ull << 30, 100, false}, 2, "payload: 0.5 KiB of 3.00 GiB read, 0.1 KiB written (19.5 %), 3495:15:10 left"},
        {{3ull << 30, 3ull << 30, 1ull << 30, false}, 99, "payload: 3.00 GiB of 3.00 GiB read, 1.00 GiB written (33.3 %), 0:00 left"},
    };
    for (const Case &c : cases) {
        std::string text = ProgressLine_Text(c.p, c.seconds);
        EXPECT_EQ(text, c.text);
        EXPECT_LT(text.size(), 80u) << text;
    }
}

TEST(PayloadManifest, ThreadsAndMemoryLimitAreReadOrRefusedNamingTheKey)
{
    fs::path dir = TempDir();
    fs::create_directories(dir / "tree");
    auto read = [&](const std::string &lines, PackRequest &r) {
        std::string text = "[payload]\ndir = \"tree\"\nrun = \"a.exe\"\n" + lines;
        WriteAll(dir / "m.toml", std::vector<uint8_t>(text.begin(), text.end()));
        std::string error;
        return Manifest_Read(dir / "m.toml", r, error) ? std::string("accepted") : error;
    };
    struct Good { std::string lines; uint32_t threads; uint64_t memory; } good[] = {
        {"threads = 3\n", 3, 0},
        {"memory_limit = \"512MiB\"\n", 0, uint64_t(512) << 20},
        {"memory_limit = \"2 GiB\"\n", 0, uint64_t(2) << 30},
        {"memory_limit = \"65536k\"\n", 0, uint64_t(64) << 20},
        {"memory_limit = 100000000\n", 0, 100000000},
        {"threads = 256\nmemory_limit = \"1gib\"\n", 256, uint64_t(1) << 30},
    };
    for (const Good &g : good) {
        PackRequest r;
        EXPECT_EQ(read(g.lines, r), "accepted") << g.lines;
        EXPECT_EQ(r.payloadOptions.threads, g.threads) << g.lines;
        EXPECT_EQ(r.payloadOptions.memoryLimit, g.memory) << g.lines;
    }
    const std::string threads = ": line 4: payload.threads must be a whole number from 1 to 256";
    const std::string memory =
        ": line 4: payload.memory_limit must be a size from 16MiB to 1024GiB, in bytes or such as \"512MiB\"";
    struct Bad { std::string lines, error; } bad[] = {
        {"threads = 0\n", threads}, {"threads = 257\n", threads}, {"threads = \"2\"\n", threads},
        {"threads = 2.0\n", threads}, {"memory_limit = 0\n", memory}, {"memory_limit = \"15MiB\"\n", memory},
        {"memory_limit = \"1025GiB\"\n", memory}, {"memory_limit = \"512 MiBs\"\n", memory},
        {"memory_limit = \"MiB\"\n", memory}, {"memory_limit = -5\n", memory}, {"memory_limit = 1e9\n", memory},
        {"memory_limit = \"99999999999999999999\"\n", memory},
    };
    for (const Bad &b : bad) {
        PackRequest r;
        EXPECT_EQ(read(b.lines, r), (dir / "m.toml").string() + b.error) << b.lines;
    }
}
