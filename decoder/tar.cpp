// tar.cpp: the tar reader; every field pack writes is checked, nothing else is taken.
#include "tar.h"
#include "bytes.h"

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
        const bool path = Same(key, keyLen, "path"), link = Same(key, keyLen, "linkpath");
        if (path || link) {
            if ((path ? t->paxPath : t->paxLink) || valueLen > kTarMaxPathBytes)
                return valueLen > kTarMaxPathBytes ? "a path is longer than a Windows path may be" : "a pax header names two paths";
            char *to = path ? t->path : t->target;
            for (uint32_t i = 0; i < valueLen; i++) {
                if (value[i] == 0)
                    return "a path holds a NUL byte";
                to[i] = value[i];
            }
            to[valueLen] = 0;
            (path ? t->entry.pathBytes : t->entry.targetBytes) = valueLen;
            (path ? t->paxPath : t->paxLink) = true;
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
    uint8_t type = h[kType];
    if (type == '2')
        return Fail(t, "the archive holds a symbolic link");
    if (type != '1' && !AllZero(h + kLink, kLinkLen))
        return Fail(t, "a tar entry names a link target");
    uint64_t size, mtime;
    if (!Octal(h + kSize, kSizeLen, &size) || !Octal(h + kMtime, kMtimeLen, &mtime))
        return Fail(t, "a tar header's size or time is malformed");
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
    if (type != '0' && type != '5' && type != '1')
        return Fail(t, "the archive holds an entry that is neither a file nor a folder");
    const bool folder = type == '5', copy = type == '1';
    const char *why = t->havePax ? ReadPax(t) : nullptr;
    if (why != nullptr)
        return Fail(t, why);
    if (t->paxLink && !copy)
        return Fail(t, "a tar entry names a link target");
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
    t->entry.target = nullptr;
    if (copy) {
        if (!t->paxLink) {
            uint32_t n = 0;
            while (n < kLinkLen && h[kLink + n] != 0)
                t->target[n] = char(h[kLink + n]), n++;
            t->target[n] = 0;
            t->entry.targetBytes = n;
        }
        if (t->entry.targetBytes == 0)
            return Fail(t, "a link entry names no target");
        // The target obeys the rules of any path; a refusal names it.
        t->pathProblem = Path_Check(t->target, t->entry.targetBytes);
        if (t->pathProblem.why != nullptr) {
            t->entry.path = t->target, t->entry.pathBytes = t->entry.targetBytes;
            return Fail(t, t->pathProblem.why);
        }
        t->entry.target = t->target;
    } else {
        t->entry.targetBytes = 0;
    }
    t->entry.folder = folder;
    t->entry.path = t->path;
    t->entry.size = t->paxSize ? t->paxSizeValue : size;
    t->entry.mtime = t->paxMtime ? t->paxMtimeValue : int64_t(mtime);
    t->havePax = t->paxPath = t->paxLink = t->paxSize = t->paxMtime = false;
    if (!Tar_TimeFits(t->entry.mtime)) {
        t->pathProblem = PathProblem{kTarTimeOutside, PATH_WHOLE, 0, 0};
        return Fail(t, kTarTimeOutside);
    }
    if (folder && t->entry.size != 0)
        return Fail(t, "a folder entry has a size");
    if (copy && t->entry.size != 0)
        return Fail(t, "a link entry has a size");
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
    t->havePax = t->paxPath = t->paxLink = t->paxSize = t->paxMtime = false;
    t->paxSizeValue = 0;
    t->paxMtimeValue = 0;
    t->paxBytes = 0;
    t->error = nullptr;
    t->pathProblem = PathProblem{nullptr, PATH_WHOLE, 0, 0};
    t->entries = 0;
    t->entry = TarEntry{false, t->path, 0, 0, 0, nullptr, 0};
    t->path[0] = 0;
    t->target[0] = 0;
}

PathProblem Tar_Remember(PathMemory *m, const TarEntry &entry, char *other, uint32_t room, uint32_t *otherBytes,
                         uint64_t *size)
{
    *size = entry.size;
    if (entry.target == nullptr)
        return PathMemory_AddKind(m, entry.path, entry.pathBytes, entry.folder ? PATH_KIND_FOLDER : PATH_KIND_FILE, entry.size,
                                  other, room, otherBytes);
    PathProblem p = PathMemory_Target(m, entry.target, entry.targetBytes, other, room, otherBytes, size);
    if (p.subject == PATH_TARGET) {
        for (uint32_t i = 0; i < entry.targetBytes; i++)
            other[i] = entry.target[i];
        other[entry.targetBytes] = 0;
        *otherBytes = entry.targetBytes;
    }
    if (p.why != nullptr)
        return p;
    // The copy's own path is checked without disturbing the target's spelling in other.
    uint32_t unused = 0;
    p = PathMemory_AddKind(m, entry.path, entry.pathBytes, PATH_KIND_COPY, *size, other + *otherBytes + 1,
                           room - *otherBytes - 1, &unused);
    if (p.subject == PATH_OTHER) {
        for (uint32_t i = 0; i < unused; i++)
            other[i] = other[*otherBytes + 1 + i];
        other[unused] = 0;
        *otherBytes = unused;
    }
    return p;
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
