// payload_write.cpp: a folder tree walked, checked, laid out as POSIX tar and
// compressed with liblzma, the same bytes from the same tree on any machine.
#include "package/payload.h"

#include "base/input.h"
#include "base/sha256.h"
#include "base/text.h"
#include "decoder/tar.h"
#include "decoder/xz.h"
#include "package/names.h"
#include "package/package.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <functional>
#include <cstring>
#include <map>
#include <sys/stat.h>
#ifdef SELFEXTR_HAVE_LZMA
#include <lzma.h>
#endif

namespace selfextr {

namespace fs = std::filesystem;

#ifdef SELFEXTR_HAVE_LZMA

namespace {

struct TreeItem {
    std::string path;  // relative, UTF-8, '/' between names
    fs::path source;
    bool folder = false;
    uint64_t size = 0;
    int64_t mtime = 0;
    size_t copyOf = SIZE_MAX;  // a copy: the index of the earlier file with the same bytes
};

constexpr uint64_t kUstarMaxSize = (uint64_t(1) << 33) - 1;  // 11 octal digits
// A dictionary over 16 MiB finds a little more (1-2 % on large trees) but
// costs 11 bytes of memory a byte in each thread: two threads at 32 MiB
// would take pack past 1 GiB.
constexpr uint32_t kMinDictionary = 4096, kMaxDictionary = 16u << 20;
static_assert(kMaxDictionary <= kXzMaxDictionary, "the decoder accepts the dictionary");

uint64_t Padded(uint64_t n) { return (n + 511) / 512 * 512; }

// Looks for what Windows cannot hold and what the archive may not carry.
struct Walker {
    const char *sourceDateEpoch;
    std::vector<TreeItem> items;
    std::map<std::string, std::string> folded;  // each path as the order rules compare it
    std::string &error;

    bool Visit(const fs::path &folder, const std::string &relative)
    {
        std::error_code ec;
        std::vector<fs::directory_entry> entries;
        for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec))
            entries.push_back(*it);
        if (ec)
            return error = "cannot read the folder " + folder.string() + ": " + ec.message(), false;
        for (const fs::directory_entry &e : entries) {
            const std::string name = e.path().filename().string();
            const std::string path = relative.empty() ? name : relative + "/" + name;
            const std::string where = "payload path \"" + e.path().string() + "\"";
            struct stat st;
            if (lstat(e.path().c_str(), &st) != 0)
                return error = "cannot read " + e.path().string() + ": " + std::strerror(errno), false;
            if (S_ISLNK(st.st_mode))
                return error = where + " is a symbolic link: a payload holds only regular files and folders", false;
            if (!S_ISREG(st.st_mode) && !S_ISDIR(st.st_mode))
                return error = where + " is " + (S_ISFIFO(st.st_mode) ? "a FIFO" : S_ISSOCK(st.st_mode) ? "a socket" : "a device") +
                               ": a payload holds only regular files and folders", false;
            if (std::string why = Name_Problem(name, NameUse::kPayload); !why.empty())
                return error = where + ": the name \"" + name + "\" " + why, false;
            std::u16string wide = Text_Utf16(path);
            if (wide.size() > kPayloadMaxPathUnits)
                return error = where + " is " + std::to_string(wide.size()) + " UTF-16 units long; a payload path holds at most " +
                               std::to_string(kPayloadMaxPathUnits), false;
            std::string key(2 * path.size(), '\0');
            key.resize(Path_Fold(path.data(), uint32_t(path.size()), key.data()));
            auto [other, fresh] = folded.emplace(key, path);
            if (!fresh)
                return error = where + " and \"" + other->second + "\" differ only in case, which Windows does not tell apart", false;
            TreeItem item;
            item.path = path;
            item.source = e.path();
            item.folder = S_ISDIR(st.st_mode);
            item.size = item.folder ? 0 : uint64_t(st.st_size);
            // A time Windows cannot set is refused, as the runner would refuse it.
            if (!Tar_TimeFits(int64_t(st.st_mtime)))
                return error = where + " " + kTarTimeOutside, false;
            item.mtime = st.st_mtime;
            // The reproducible-builds rule: no time later than the source's.
            if (sourceDateEpoch != nullptr && *sourceDateEpoch != '\0')
                item.mtime = std::min<int64_t>(item.mtime, std::strtoll(sourceDateEpoch, nullptr, 10));
            // ustar holds no time before 1970.
            item.mtime = std::max<int64_t>(0, item.mtime);
            items.push_back(item);
            if (item.folder && !Visit(e.path(), path))
                return false;
        }
        return true;
    }
};

std::string Lower(std::string s)
{
    for (char &c : s)
        if (c >= 'A' && c <= 'Z')
            c = char(c - 'A' + 'a');
    return s;
}

// Folders first, parents before children (byte order does that); then files
// of one kind next to each other: by extension, then name, then path.
void Order(std::vector<TreeItem> &items)
{
    auto key = [](const TreeItem &i) {
        std::string base = i.path.substr(i.path.rfind('/') + 1);
        size_t dot = base.rfind('.');
        std::string ext = dot == std::string::npos || dot == 0 ? "" : base.substr(dot + 1);
        return std::make_tuple(!i.folder, i.folder ? "" : Lower(ext), i.folder ? "" : Lower(base), i.path);
    };
    std::sort(items.begin(), items.end(), [&](const TreeItem &a, const TreeItem &b) { return key(a) < key(b); });
}

// A file read whole as it will be packed: exactly the size the walk saw, or an error.
bool Digest(const TreeItem &item, std::array<uint8_t, 32> &digest, std::vector<uint8_t> &chunk, std::string &error)
{
    InputFile in;
    if (!Input_Open(item.source, in, error))
        return false;
    Sha256 sha;
    Sha256_Init(sha);
    for (uint64_t left = item.size; left != 0;) {
        const size_t n = size_t(std::min<uint64_t>(left, chunk.size()));
        if (!Input_Read(in, chunk.data(), n, error))
            return false;
        Sha256_Update(sha, chunk.data(), n);
        left -= n;
    }
    if (!Input_AtEnd(in, error))
        return false;
    digest = Sha256_Finish(sha);
    return true;
}

// Whether two files of the same size hold the same bytes: a digest that
// matches is never taken for bytes that do.
bool SameBytes(const TreeItem &a, const TreeItem &b, std::vector<uint8_t> &chunk, bool &same, std::string &error)
{
    InputFile x, y;
    if (!Input_Open(a.source, x, error) || !Input_Open(b.source, y, error))
        return false;
    const size_t half = chunk.size() / 2;
    same = true;
    for (uint64_t left = a.size; left != 0;) {
        const size_t n = size_t(std::min<uint64_t>(left, half));
        if (!Input_Read(x, chunk.data(), n, error) || !Input_Read(y, chunk.data() + half, n, error))
            return false;
        if (memcmp(chunk.data(), chunk.data() + half, n) != 0)
            return same = false, true;
        left -= n;
    }
    return Input_AtEnd(x, error) && Input_AtEnd(y, error);
}

// Each file whose bytes an earlier file (in archive order) already holds
// becomes a copy of the first such file, which alone is stored: sizes
// narrow the candidates, a digest the pairs, the bytes decide.
bool FindCopies(std::vector<TreeItem> &items, std::string &error)
{
    std::map<uint64_t, std::vector<size_t>> bySize;
    for (size_t k = 0; k < items.size(); k++)
        if (!items[k].folder && items[k].size != 0)
            bySize[items[k].size].push_back(k);
    std::vector<uint8_t> chunk(1 << 20);
    for (const auto &[size, group] : bySize) {
        if (group.size() < 2)
            continue;
        std::map<std::array<uint8_t, 32>, std::vector<size_t>> stored;  // by digest, in archive order
        for (size_t k : group) {
            std::array<uint8_t, 32> digest;
            if (!Digest(items[k], digest, chunk, error))
                return false;
            std::vector<size_t> &candidates = stored[digest];
            for (size_t j : candidates) {
                bool same = false;
                if (!SameBytes(items[j], items[k], chunk, same, error))
                    return false;
                if (same) {
                    items[k].copyOf = j;
                    break;
                }
            }
            if (items[k].copyOf == SIZE_MAX)
                candidates.push_back(k);
        }
    }
    return true;
}

void PutOctal(uint8_t *field, size_t len, uint64_t value)
{
    for (size_t i = len - 1; i-- > 0; value >>= 3)
        field[i] = uint8_t('0' + (value & 7));
    field[len - 1] = 0;
}

void PutText(uint8_t *field, const std::string &text) { memcpy(field, text.data(), text.size()); }

// One ustar header: name, mode, owner 0, size, mtime, type, link name, "ustar\0" "00".
void Header(std::vector<uint8_t> &out, const std::string &name, char type, uint64_t size, int64_t mtime,
            const std::string &link = {})
{
    uint8_t h[512] = {};
    PutText(h, name);
    PutText(h + 157, link);
    PutOctal(h + 100, 8, type == '5' ? 0755 : 0644);
    PutOctal(h + 108, 8, 0);
    PutOctal(h + 116, 8, 0);
    PutOctal(h + 124, 12, size);
    PutOctal(h + 136, 12, uint64_t(mtime));
    h[156] = uint8_t(type);
    memcpy(h + 257, "ustar\0" "00", 8);
    memset(h + 148, ' ', 8);
    uint32_t sum = 0;
    for (uint8_t b : h)
        sum += b;
    PutOctal(h + 148, 7, sum);
    h[155] = ' ';
    out.insert(out.end(), h, h + 512);
}

std::string PaxRecord(const std::string &key, const std::string &value)
{
    // The length counts its own digits.
    size_t body = key.size() + value.size() + 3, len = body + 1;
    while (std::to_string(len).size() + body != len)
        len++;
    return std::to_string(len) + " " + key + "=" + value + "\n";
}

bool IsAscii(const std::string &s)
{
    return std::all_of(s.begin(), s.end(), [](char c) { return uint8_t(c) < 0x80; });
}

// The headers of one item: a pax header first where ustar cannot hold the
// path or a copy's target (over 100 bytes, or outside ASCII) or the size
// (8 GiB and more). A copy is a hard link of no bytes to the file it copies.
void Headers(std::vector<uint8_t> &out, const TreeItem &item, const std::vector<TreeItem> &items)
{
    const std::string name = item.folder ? item.path + "/" : item.path;
    const int64_t mtime = std::min<int64_t>(item.mtime, int64_t(kUstarMaxSize));
    const bool copy = item.copyOf != SIZE_MAX;
    const std::string target = copy ? items[item.copyOf].path : std::string();
    const uint64_t size = copy ? 0 : item.size;
    std::string pax;
    if (name.size() > 100 || !IsAscii(name))
        pax += PaxRecord("path", name);
    const bool paxLink = target.size() > 100 || !IsAscii(target);
    if (paxLink)
        pax += PaxRecord("linkpath", target);
    if (size > kUstarMaxSize)
        pax += PaxRecord("size", std::to_string(size));
    if (!pax.empty()) {
        Header(out, "PaxHeader", 'x', pax.size(), mtime);
        out.insert(out.end(), pax.begin(), pax.end());
        out.resize(Padded(out.size()), 0);
    }
    Header(out, pax.find(" path=") == std::string::npos ? name : "PaxPath", item.folder ? '5' : copy ? '1' : '0',
           size > kUstarMaxSize ? 0 : size, mtime, paxLink ? "PaxLinkPath" : target);
}

}  // namespace

bool Payload_CanWrite() { return true; }

namespace {

// Feeds the tar through liblzma into payload.bytes, refusing to grow past the stub's ceiling.
struct Compressor {
    lzma_stream strm = LZMA_STREAM_INIT;
    std::vector<uint8_t> &out;
    std::string &error;
    const std::function<void(const PayloadProgress &)> &progress;
    uint64_t total = 0;  // the tar's bytes
    // The last report is made whether compressing ended well or not, so that
    // a progress line is gone before any message.
    ~Compressor()
    {
        if (progress)
            progress(Progress(true));
        lzma_end(&strm);
    }

    PayloadProgress Progress(bool done)
    {
        PayloadProgress p;
        lzma_get_progress(&strm, &p.read, &p.written);
        p.written = std::max<uint64_t>(p.written, out.size());
        p.total = total, p.done = done;
        return p;
    }

    bool Code(const uint8_t *p, size_t n, lzma_action action)
    {
        // Nothing to feed: liblzma fails a second call in a row that makes no
        // progress (LZMA_BUF_ERROR), and the last call may have made none
        // (it found the output it had just filled was all there was). A file
        // whose size is a multiple of 512 needs no padding, so this happens.
        if (n == 0 && action == LZMA_RUN)
            return true;
        strm.next_in = p;
        strm.avail_in = n;
        uint8_t buffer[1 << 16];
        for (;;) {
            strm.next_out = buffer;
            strm.avail_out = sizeof buffer;
            lzma_ret r = lzma_code(&strm, action);
            out.insert(out.end(), buffer, buffer + (sizeof buffer - strm.avail_out));
            if (progress)
                progress(Progress(false));
            if (out.size() > kMaxPackageBytes)
                return error = "the payload compresses to more than " + Package_MaxBytesText(), false;
            if (r == LZMA_STREAM_END)
                return true;
            if (r != LZMA_OK)
                return error = "liblzma failed to compress the payload (code " + std::to_string(int(r)) + ")", false;
            if (strm.avail_in == 0 && strm.avail_out != 0 && action == LZMA_RUN)
                return true;
        }
    }
};

// The settings that shape the bytes, all fixed here: LZMA2 at this level,
// its dictionary the smallest power of two that holds the archive, at most
// the block (the runner decodes each block into a buffer of the block's size,
// so a larger one finds nothing more) and at most kMaxDictionary.
constexpr uint32_t kLevel = 6;
constexpr uint32_t kLevelFlags = 0;

uint32_t Dictionary(uint64_t archiveBytes, uint32_t blockBytes)
{
    uint32_t dictionary = kMinDictionary;
    while (dictionary < kMaxDictionary && dictionary < archiveBytes && uint64_t(dictionary) * 2 <= blockBytes)
        dictionary *= 2;
    return dictionary;
}

// The encoder's settings for a plan; filters[0] points at lzma.
bool Settings(const PayloadPlan &plan, lzma_options_lzma &lzma, lzma_filter *filters, lzma_mt &mt)
{
    if (lzma_lzma_preset(&lzma, kLevel | kLevelFlags))
        return false;
    lzma.dict_size = plan.dictionary;
    filters[0] = {LZMA_FILTER_LZMA2, &lzma};
    filters[1] = {LZMA_VLI_UNKNOWN, nullptr};
    mt = {};
    mt.block_size = plan.blockBytes;
    mt.filters = filters;
    mt.check = LZMA_CHECK_CRC64;
    mt.threads = plan.threads;
    return true;
}

std::string MiB(uint64_t bytes) { return Text_Thousands((bytes + (1 << 20) - 1) >> 20) + " MiB"; }

}  // namespace

bool Payload_Plan(uint64_t archiveBytes, const PayloadOptions &options, PayloadPlan &plan, std::string &error)
{
    plan.blockBytes = options.blockBytes ? options.blockBytes : kPayloadDefaultBlockMiB << 20;
    plan.dictionary = Dictionary(archiveBytes, plan.blockBytes);
    // Threads change how fast, never the bytes: liblzma cuts blocks by size
    // alone. No more threads than blocks, nor than the memory allows.
    const uint64_t blocks = std::max<uint64_t>(1, (archiveBytes + plan.blockBytes - 1) / plan.blockBytes);
    uint32_t wanted = options.threads ? options.threads : std::max<uint32_t>(1, lzma_cputhreads());
    wanted = uint32_t(std::min<uint64_t>({wanted, blocks, kPayloadMaxThreads}));
    const uint64_t limit = options.memoryLimit ? options.memoryLimit : kPayloadDefaultMemoryBytes;
    lzma_options_lzma lzma;
    lzma_filter filters[2];
    lzma_mt mt;
    for (plan.threads = wanted; plan.threads > 0; plan.threads--) {
        if (!Settings(plan, lzma, filters, mt) || (plan.memory = lzma_stream_encoder_mt_memusage(&mt)) == UINT64_MAX)
            return error = "liblzma cannot compress with level " + std::to_string(kLevel), false;
        if (plan.memory <= limit)
            return true;
    }
    plan.threads = 1;
    return error = "the memory limit of " + MiB(limit) + " is less than the " + MiB(plan.memory) +
                   " liblzma needs to compress the payload in blocks of " + MiB(plan.blockBytes) + " with one thread", false;
}

bool Payload_Build(const fs::path &dir, const char *sourceDateEpoch, const PayloadOptions &options, Payload &payload,
                   std::string &error)
{
    std::error_code ec;
    if (!fs::is_directory(fs::symlink_status(dir, ec)))
        return error = "payload folder \"" + dir.string() + "\" is not a folder", false;
    Walker walker{sourceDateEpoch, {}, {}, error};
    if (!walker.Visit(dir, ""))
        return false;
    Order(walker.items);
    if (!FindCopies(walker.items, error))
        return false;

    payload = Payload{};
    for (const TreeItem &i : walker.items) {
        (i.folder ? payload.folders : payload.files)++;
        if (!i.folder)
            payload.filePaths.push_back(i.path);
        payload.expanded += i.size;
        if (i.copyOf != SIZE_MAX)
            payload.copies++, payload.copiedBytes += i.size;
        if (payload.newest.empty() || i.mtime > payload.newestTime)
            payload.newest = i.source, payload.newestTime = i.mtime;
    }
    std::vector<uint8_t> headers;
    uint64_t archiveBytes = 1024;  // the two end blocks
    for (const TreeItem &i : walker.items)
        headers.clear(), Headers(headers, i, walker.items), archiveBytes += headers.size() + (i.copyOf == SIZE_MAX ? Padded(i.size) : 0);

    PayloadPlan plan;
    if (!Payload_Plan(archiveBytes, options, plan, error))
        return false;
    lzma_options_lzma lzma;
    lzma_filter filters[2];
    lzma_mt mt;
    Settings(plan, lzma, filters, mt);
    Compressor c{LZMA_STREAM_INIT, payload.bytes, error, options.progress, archiveBytes};
    lzma_ret r = lzma_stream_encoder_mt(&c.strm, &mt);
    if (r != LZMA_OK)
        return error = "liblzma cannot start compressing (code " + std::to_string(int(r)) + ")", false;

    std::vector<uint8_t> block;
    std::vector<uint8_t> chunk(1 << 20);
    for (const TreeItem &i : walker.items) {
        block.clear();
        Headers(block, i, walker.items);
        if (!c.Code(block.data(), block.size(), LZMA_RUN))
            return false;
        if (i.folder || i.copyOf != SIZE_MAX)
            continue;
        InputFile in;
        if (!Input_Open(i.source, in, error))
            return false;
        for (uint64_t left = i.size; left != 0;) {
            size_t n = size_t(std::min<uint64_t>(left, chunk.size()));
            if (!Input_Read(in, chunk.data(), n, error) || !c.Code(chunk.data(), n, LZMA_RUN))
                return false;
            left -= n;
        }
        if (!Input_AtEnd(in, error))
            return false;
        static const uint8_t zeros[512] = {};
        if (!c.Code(zeros, Padded(i.size) - i.size, LZMA_RUN))
            return false;
    }
    static const uint8_t end[1024] = {};
    if (!c.Code(end, sizeof end, LZMA_RUN) || !c.Code(nullptr, 0, LZMA_FINISH))
        return false;
    char hex[17];
    snprintf(hex, sizeof hex, "%016llX", static_cast<unsigned long long>(lzma_crc64(payload.bytes.data(), payload.bytes.size(), 0)));
    payload.name = std::string("payload-") + hex + ".tar.xz";
    return true;
}

#else

bool Payload_CanWrite() { return false; }

bool Payload_Plan(uint64_t, const PayloadOptions &, PayloadPlan &, std::string &error)
{
    return error = "this build of selfextr has no liblzma and cannot write a payload; use the Linux build", false;
}

bool Payload_Build(const fs::path &, const char *, const PayloadOptions &, Payload &, std::string &error)
{
    return error = "this build of selfextr has no liblzma and cannot write a payload; use the Linux build", false;
}

#endif

}  // namespace selfextr
