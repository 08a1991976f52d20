// tar.cpp: the tar reader; every field pack writes is checked, nothing else is taken.
#include "tar.h"

namespace selfextr {

const char kTarTimeOutside[] = "has a time outside the years 1601 to 30827, which Windows cannot set";

namespace {

enum Phase {
    kHeader,      // gathering a 512-byte header
    kPaxBody,     // gathering a pax header's records
    kData,        // a file's bytes
    kFileEnd,     // TAR_FILE_END still to be said
    kPadding,     // zero bytes up to the next 512
    kSecondZero,  // the first zero block was seen
    kEnded,
    kFailed,
};

// ustar header fields: offset and length.
constexpr uint32_t kName = 0, kNameLen = 100, kSize = 124, kSizeLen = 12, kMtime = 136, kMtimeLen = 12,
                   kChecksum = 148, kChecksumLen = 8, kType = 156, kLink = 157, kLinkLen = 100, kMagic = 257,
                   kPrefix = 345, kPrefixLen = 155;

TarStatus Fail(TarReader *t, const char *why)
{
    t->error = why;
    t->phase = kFailed;
    return TAR_ERROR;
}

// An octal field as pack writes it: digits, then NUL or blank to its end.
bool Octal(const uint8_t *field, uint32_t len, uint64_t *value)
{
    uint64_t v = 0;
    uint32_t i = 0;
    for (; i < len && field[i] >= '0' && field[i] <= '7'; i++) {
        if (v >> 60)
            return false;
        v = v * 8 + uint64_t(field[i] - '0');
    }
    if (i == 0 || i == len)
        return false;
    for (; i < len; i++)
        if (field[i] != 0 && field[i] != ' ')
            return false;
    *value = v;
    return true;
}

bool Decimal(const char *p, uint32_t n, uint64_t *value)
{
    if (n == 0 || n > 19)
        return false;
    uint64_t v = 0;
    for (uint32_t i = 0; i < n; i++) {
        if (p[i] < '0' || p[i] > '9')
            return false;
        v = v * 10 + uint64_t(p[i] - '0');
    }
    *value = v;
    return true;
}

bool Same(const char *p, uint32_t n, const char *word)
{
    uint32_t i = 0;
    for (; i < n && word[i] != 0; i++)
        if (p[i] != word[i])
            return false;
    return i == n && word[i] == 0;
}

bool AllZero(const uint8_t *p, uint32_t n)
{
    for (uint32_t i = 0; i < n; i++)
        if (p[i] != 0)
            return false;
    return true;
}

// The records of a pax header: "LEN key=value\n", LEN counting the whole record.
const char *ReadPax(TarReader *t)
{
    uint32_t at = 0;
    while (at < t->paxBytes) {
        const char *rec = t->pax + at;
        uint32_t avail = t->paxBytes - at, lenDigits = 0;
        while (lenDigits < avail && rec[lenDigits] >= '0' && rec[lenDigits] <= '9')
            lenDigits++;
        uint64_t len;
        if (lenDigits == 0 || lenDigits >= avail || rec[lenDigits] != ' ' || !Decimal(rec, lenDigits, &len) ||
            len > avail || len < lenDigits + 4 || rec[len - 1] != '\n')
            return "a pax record is malformed";
        const char *key = rec + lenDigits + 1;
        uint32_t rest = uint32_t(len) - lenDigits - 2, keyLen = 0;
        while (keyLen < rest && key[keyLen] != '=')
            keyLen++;
        if (keyLen == 0 || keyLen == rest)
            return "a pax record is malformed";
        const char *value = key + keyLen + 1;
        uint32_t valueLen = rest - keyLen - 1;
        if (Same(key, keyLen, "path")) {
            if (t->paxPath || valueLen > kTarMaxPathBytes)
                return valueLen > kTarMaxPathBytes ? "a path is longer than a Windows path may be" : "a pax header names two paths";
            for (uint32_t i = 0; i < valueLen; i++) {
                if (value[i] == 0)
                    return "a path holds a NUL byte";
                t->path[i] = value[i];
            }
            t->path[valueLen] = 0;
            t->entry.pathBytes = valueLen;
            t->paxPath = true;
        } else if (Same(key, keyLen, "size")) {
            if (t->paxSize || !Decimal(value, valueLen, &t->paxSizeValue))
                return "a pax size record is malformed";
            t->paxSize = true;
        } else if (Same(key, keyLen, "mtime")) {
            bool negative = valueLen != 0 && value[0] == '-';
            uint64_t v;
            if (t->paxMtime || !Decimal(value + negative, valueLen - negative, &v) || v > (uint64_t(1) << 62))
                return "a pax mtime record is malformed";
            t->paxMtimeValue = negative ? -int64_t(v) : int64_t(v);
            t->paxMtime = true;
        } else {
            return "a pax record has a key that selfextr never writes";
        }
        at += uint32_t(len);
    }
    return nullptr;
}

// A complete 512-byte header: the next entry, a pax header or the first end block.
TarStatus Header(TarReader *t)
{
    const uint8_t *h = t->block;
    t->fill = 0;
    if (AllZero(h, kTarBlock)) {
        if (t->havePax)
            return Fail(t, "a pax header is followed by the end of the archive");
        t->phase = kSecondZero;
        return TAR_MORE;
    }
    uint64_t stored, sum = 0;
    for (uint32_t i = 0; i < kTarBlock; i++)
        sum += (i >= kChecksum && i < kChecksum + kChecksumLen) ? ' ' : h[i];
    if (!Octal(h + kChecksum, kChecksumLen, &stored) || stored != sum)
        return Fail(t, "a tar header's checksum does not match");
    static const uint8_t kUstar[8] = {'u', 's', 't', 'a', 'r', 0, '0', '0'};
    bool ustar = true;
    for (uint32_t i = 0; i < 8; i++)
        ustar = ustar && h[kMagic + i] == kUstar[i];
    if (!ustar)
        return Fail(t, "a tar header is not a POSIX ustar header");
    if (!AllZero(h + kLink, kLinkLen))
        return Fail(t, "a tar entry names a link target");
    uint64_t size, mtime;
    if (!Octal(h + kSize, kSizeLen, &size) || !Octal(h + kMtime, kMtimeLen, &mtime))
        return Fail(t, "a tar header's size or time is malformed");
    uint8_t type = h[kType];
    if (type == 'x') {
        if (t->havePax)
            return Fail(t, "two pax headers follow each other");
        if (size > kTarMaxPaxBytes)
            return Fail(t, "a pax header is larger than selfextr writes");
        t->havePax = true;
        t->paxBytes = uint32_t(size);
        t->left = size;
        t->padding = uint32_t((kTarBlock - size % kTarBlock) % kTarBlock);
        t->phase = kPaxBody;
        return TAR_MORE;
    }
    if (type == '1' || type == '2')
        return Fail(t, "the archive holds a link");
    if (type != '0' && type != '5')
        return Fail(t, "the archive holds an entry that is neither a file nor a folder");
    bool folder = type == '5';
    const char *why = t->havePax ? ReadPax(t) : nullptr;
    if (why != nullptr)
        return Fail(t, why);
    if (!t->paxPath) {
        // prefix "/" name, each NUL-terminated unless it fills its field.
        uint32_t n = 0, prefixLen = 0, nameLen = 0;
        while (prefixLen < kPrefixLen && h[kPrefix + prefixLen] != 0)
            prefixLen++;
        while (nameLen < kNameLen && h[kName + nameLen] != 0)
            nameLen++;
        for (uint32_t i = 0; i < prefixLen; i++)
            t->path[n++] = char(h[kPrefix + i]);
        if (prefixLen != 0)
            t->path[n++] = '/';
        for (uint32_t i = 0; i < nameLen; i++)
            t->path[n++] = char(h[kName + i]);
        t->path[n] = 0;
        t->entry.pathBytes = n;
    }
    // A folder's name ends with one '/'.
    if (folder && t->entry.pathBytes != 0 && t->path[t->entry.pathBytes - 1] == '/')
        t->path[--t->entry.pathBytes] = 0;
    t->entry.path = t->path;
    t->pathProblem = Path_Check(t->path, t->entry.pathBytes);
    if (t->pathProblem.why != nullptr)
        return Fail(t, t->pathProblem.why);
    t->entry.folder = folder;
    t->entry.path = t->path;
    t->entry.size = t->paxSize ? t->paxSizeValue : size;
    t->entry.mtime = t->paxMtime ? t->paxMtimeValue : int64_t(mtime);
    t->havePax = t->paxPath = t->paxSize = t->paxMtime = false;
    if (!Tar_TimeFits(t->entry.mtime)) {
        t->pathProblem = PathProblem{kTarTimeOutside, PATH_WHOLE, 0, 0};
        return Fail(t, kTarTimeOutside);
    }
    if (folder && t->entry.size != 0)
        return Fail(t, "a folder entry has a size");
    t->entries++;
    t->left = t->entry.size;
    t->padding = uint32_t((kTarBlock - t->entry.size % kTarBlock) % kTarBlock);
    t->phase = folder ? kHeader : t->left != 0 ? kData : kFileEnd;
    return TAR_ENTRY;
}

}  // namespace

void Tar_Init(TarReader *t)
{
    t->phase = kHeader;
    t->fill = 0;
    t->left = 0;
    t->padding = 0;
    t->havePax = t->paxPath = t->paxSize = t->paxMtime = false;
    t->paxSizeValue = 0;
    t->paxMtimeValue = 0;
    t->paxBytes = 0;
    t->error = nullptr;
    t->pathProblem = PathProblem{nullptr, PATH_WHOLE, 0, 0};
    t->entries = 0;
    t->entry = TarEntry{false, t->path, 0, 0, 0};
    t->path[0] = 0;
}

bool Tar_TimeFits(int64_t seconds) { return seconds >= kTarFirstTime && seconds <= kTarLastTime; }

bool Tar_Ended(const TarReader *t) { return t->phase == kEnded; }

TarStatus Tar_Feed(TarReader *t, const uint8_t *in, size_t inSize, size_t *used, const uint8_t **data,
                   size_t *dataBytes)
{
    size_t at = 0;
    *data = nullptr;
    *dataBytes = 0;
    TarStatus status = TAR_MORE;
    while (status == TAR_MORE && t->phase != kFailed) {
        if (t->phase == kFileEnd) {
            t->phase = t->padding != 0 ? kPadding : kHeader;
            status = TAR_FILE_END;
            break;
        }
        if (at == inSize)
            break;
        size_t avail = inSize - at;
        switch (t->phase) {
        case kHeader:
        case kSecondZero: {
            size_t n = kTarBlock - t->fill < avail ? kTarBlock - t->fill : avail;
            for (size_t i = 0; i < n; i++)
                t->block[t->fill + i] = in[at + i];
            t->fill += uint32_t(n);
            at += n;
            if (t->fill < kTarBlock)
                break;
            if (t->phase == kSecondZero) {
                if (!AllZero(t->block, kTarBlock))
                    status = Fail(t, "the archive's end is malformed");
                else
                    t->phase = kEnded, status = TAR_END;
            } else {
                status = Header(t);
            }
            break;
        }
        case kPaxBody: {
            size_t n = t->left < avail ? size_t(t->left) : avail;
            for (size_t i = 0; i < n; i++)
                t->pax[t->paxBytes - t->left + i] = char(in[at + i]);
            t->left -= n;
            at += n;
            if (t->left == 0)
                t->phase = t->padding != 0 ? kPadding : kHeader;
            break;
        }
        case kData: {
            size_t n = t->left < avail ? size_t(t->left) : avail;
            *data = in + at;
            *dataBytes = n;
            t->left -= n;
            at += n;
            if (t->left == 0)
                t->phase = kFileEnd;
            status = TAR_DATA;
            break;
        }
        case kPadding: {
            size_t n = t->padding < avail ? t->padding : avail;
            if (!AllZero(in + at, uint32_t(n))) {
                status = Fail(t, "the padding after an entry is not zero");
                break;
            }
            t->padding -= uint32_t(n);
            at += n;
            if (t->padding == 0)
                t->phase = kHeader;
            break;
        }
        case kEnded:
            status = Fail(t, "bytes follow the end of the archive");
            break;
        }
    }
    if (t->phase == kFailed && status != TAR_ERROR)
        status = TAR_ERROR;
    *used = at;
    return status;
}

const char *Tar_SizeProblem(uint64_t archiveBytes)
{
    if (archiveBytes == 0)
        return "the archive is empty";
    return archiveBytes < 2 * kTarBlock ? "the archive is cut short" : nullptr;
}

}  // namespace selfextr
