// decode_bench.cpp: our .xz decoder against liblzma's on the same streams, single-threaded, rounds alternating.
// decode_bench ROUNDS FILE.xz...
#include <lzma.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "decoder/crc.h"
#include "decoder/xz.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr size_t kOutBytes = 1 << 20;   // what the runner writes to a file at a time

struct Run {
    double seconds;
    uint64_t bytes;
    uint64_t crc;   // of the output, so both sides are known to agree
};

std::vector<uint8_t> ReadFile(const char *path)
{
    std::vector<uint8_t> data;
    FILE *f = std::fopen(path, "rb");
    if (!f) {
        std::perror(path);
        std::exit(1);
    }
    uint8_t buf[1 << 16];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0)
        data.insert(data.end(), buf, buf + n);
    std::fclose(f);
    return data;
}

Run RunLiblzma(const std::vector<uint8_t> &xz, std::vector<uint8_t> &out, bool hash, uint64_t *memory)
{
    lzma_stream strm = LZMA_STREAM_INIT;
    if (lzma_stream_decoder(&strm, UINT64_MAX, 0) != LZMA_OK)
        std::abort();
    auto start = Clock::now();
    strm.next_in = xz.data();
    strm.avail_in = xz.size();
    Run run{0, 0, 0};
    lzma_ret ret;
    do {
        strm.next_out = out.data();
        strm.avail_out = out.size();
        ret = lzma_code(&strm, LZMA_FINISH);
        size_t n = out.size() - strm.avail_out;
        run.bytes += n;
        if (hash)
            run.crc = selfextr::Crc64_Update(run.crc, out.data(), n);
    } while (ret == LZMA_OK);
    run.seconds = std::chrono::duration<double>(Clock::now() - start).count();
    if (ret != LZMA_STREAM_END) {
        std::fprintf(stderr, "liblzma: error %d\n", ret);
        std::exit(1);
    }
    *memory = lzma_memusage(&strm);
    lzma_end(&strm);
    return run;
}

Run RunOurs(const std::vector<uint8_t> &xz, std::vector<uint8_t> &out, bool hash, uint64_t *memory)
{
    using namespace selfextr;
    auto start = Clock::now();
    XzStreamInfo info;
    if (Xz_Scan(xz.data(), xz.size(), &info, nullptr, 0) != XZ_DONE)
        std::abort();
    // As the runner does: one buffer of the size the stream needs, untouched until used.
    std::unique_ptr<uint8_t[]> dict(new uint8_t[info.dictionaryNeeded]);
    auto d = std::make_unique<XzDecoder>();
    XzResult r = Xz_Open(d.get(), xz.data(), xz.size(), dict.get(), info.dictionaryNeeded);
    Run run{0, 0, 0};
    while (r == XZ_MORE) {
        size_t n;
        r = Xz_Decode(d.get(), out.data(), out.size(), &n);
        run.bytes += n;
        if (hash)
            run.crc = Crc64_Update(run.crc, out.data(), n);
    }
    run.seconds = std::chrono::duration<double>(Clock::now() - start).count();
    if (r != XZ_DONE) {
        std::fprintf(stderr, "ours: %s\n", Xz_ResultText(r));
        std::exit(1);
    }
    *memory = info.dictionaryNeeded + sizeof(XzDecoder);
    return run;
}

double Median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

} // namespace

int main(int argc, char **argv)
{
    if (argc < 3) {
        std::fprintf(stderr, "usage: decode_bench ROUNDS FILE.xz...\n");
        return 2;
    }
    int rounds = std::atoi(argv[1]);
    std::vector<uint8_t> out(kOutBytes);
    std::printf("%-28s %6s %10s %10s %7s %12s %12s\n", "stream", "blocks", "liblzma", "ours", "ratio", "mem liblzma",
                "mem ours");
    for (int i = 2; i < argc; i++) {
        std::vector<uint8_t> xz = ReadFile(argv[i]);
        selfextr::XzStreamInfo info;
        if (selfextr::Xz_Scan(xz.data(), xz.size(), &info, nullptr, 0) != selfextr::XZ_DONE) {
            std::fprintf(stderr, "%s: not a stream our decoder takes\n", argv[i]);
            return 1;
        }
        std::vector<double> theirs, ours;
        uint64_t memTheirs = 0, memOurs = 0;
        // A first round, untimed, hashes both outputs; the timed ones do nothing but decode.
        Run a = RunLiblzma(xz, out, true, &memTheirs);
        Run b = RunOurs(xz, out, true, &memOurs);
        if (a.bytes != b.bytes || a.crc != b.crc) {
            std::fprintf(stderr, "%s: the outputs differ\n", argv[i]);
            return 1;
        }
        for (int round = 0; round < rounds; round++) {
            a = RunLiblzma(xz, out, false, &memTheirs);
            b = RunOurs(xz, out, false, &memOurs);
            theirs.push_back(a.bytes / a.seconds / 1e6);
            ours.push_back(b.bytes / b.seconds / 1e6);
        }
        std::string name = argv[i];
        name = name.substr(name.find_last_of('/') + 1);
        double t = Median(theirs), o = Median(ours);
        std::printf("%-28s %6u %7.1f MB/s %5.1f MB/s %7.3f %9.1f MiB %9.1f MiB\n", name.c_str(), info.blocks, t, o, o / t,
                    memTheirs / 1048576.0, memOurs / 1048576.0);
        std::fflush(stdout);
    }
    return 0;
}
