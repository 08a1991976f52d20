// package.cpp: the package strings, entries and version record, and the stub's view of them.
#include "package.h"

#include "../src/decimal.h"
#include "../src/descriptor.h"
#include "../src/stampwords.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <chrono>
#include <cstring>
#include <locale.h>
#include <set>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <wctype.h>
#ifndef O_NONBLOCK
#define O_NONBLOCK 0
#endif
#ifdef _WIN32
#define NOMINMAX
#include <windows.h>
#endif

namespace selfextr {

namespace {

std::u16string Utf16(const std::string &s)
{
    std::u16string out;
    for (size_t i = 0; i < s.size();) {
        unsigned char c = s[i];
        uint32_t cp = 0xFFFD;
        size_t n = c < 0x80 ? 1 : (c >> 5) == 6 ? 2 : (c >> 4) == 14 ? 3 : (c >> 3) == 30 ? 4 : 1;
        if (i + n <= s.size()) {
            cp = n == 1 ? c : c & (0x7F >> n);
            for (size_t k = 1; k < n; k++)
                cp = cp << 6 | (s[i + k] & 0x3F);
        }
        i += n;
        if (cp >= 0x10000) {
            cp -= 0x10000;
            out.push_back(char16_t(0xD800 + (cp >> 10)));
            out.push_back(char16_t(0xDC00 + (cp & 0x3FF)));
        } else {
            out.push_back(char16_t(cp));
        }
    }
    return out;
}

std::string Utf8(const std::u16string &s)
{
    std::string out;
    for (size_t i = 0; i < s.size(); i++) {
        uint32_t cp = s[i];
        if (cp >= 0xD800 && cp < 0xDC00 && i + 1 < s.size())
            cp = 0x10000 + ((cp - 0xD800) << 10) + (s[++i] - 0xDC00);
        if (cp < 0x80) out += char(cp);
        else if (cp < 0x800) { out += char(0xC0 | cp >> 6); out += char(0x80 | (cp & 0x3F)); }
        else if (cp < 0x10000) { out += char(0xE0 | cp >> 12); out += char(0x80 | (cp >> 6 & 0x3F)); out += char(0x80 | (cp & 0x3F)); }
        else { out += char(0xF0 | cp >> 18); out += char(0x80 | (cp >> 12 & 0x3F)); out += char(0x80 | (cp >> 6 & 0x3F)); out += char(0x80 | (cp & 0x3F)); }
    }
    return out;
}

// Bytes the text may take in the target's ANSI code page: a non-ASCII
// character may take two in a double-byte code page.
size_t AnsiBytes(const std::u16string &s)
{
    size_t n = 0;
    for (char16_t c : s)
        n += c < 0x80 ? 1 : 2;
    return n;
}

constexpr long long kEpochOf2108 = 4354819200;  // 2108-01-01 00:00:00 UTC

bool IsLeap(int y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; }

// Exactly count decimal digits: no sign, no blank.
bool ReadNumber(const std::string &s, size_t from, size_t count, int &value)
{
    if (count == 0 || count > 9 || from + count > s.size())
        return false;
    for (size_t i = from; i < from + count; i++)
        if (s[i] < '0' || s[i] > '9')
            return false;
    auto r = std::from_chars(s.data() + from, s.data() + from + count, value);
    return r.ec == std::errc() && r.ptr == s.data() + from + count;
}

void PushU16(std::vector<uint8_t> &b, uint32_t v) { b.push_back(uint8_t(v)); b.push_back(uint8_t(v >> 8)); }
void PushU32(std::vector<uint8_t> &b, uint32_t v) { PushU16(b, v & 0xFFFF); PushU16(b, v >> 16); }
void SetU16(std::vector<uint8_t> &b, size_t at, uint32_t v) { b[at] = uint8_t(v); b[at + 1] = uint8_t(v >> 8); }
void Pad4(std::vector<uint8_t> &b) { while (b.size() % 4) b.push_back(0); }

// One node of a version record: wLength, wValueLength, wType, key, value, children.
size_t OpenNode(std::vector<uint8_t> &b, const std::u16string &key, uint32_t valueLength, uint32_t type)
{
    size_t at = b.size();
    PushU16(b, 0);
    PushU16(b, valueLength);
    PushU16(b, type);
    for (char16_t c : key) PushU16(b, c);
    PushU16(b, 0);
    Pad4(b);
    return at;
}
void CloseNode(std::vector<uint8_t> &b, size_t at) { SetU16(b, at, uint32_t(b.size() - at)); Pad4(b); }

// One to four dot-separated numbers from 0 to 65535; missing ones are 0.
bool ParseVersion(const std::string &text, uint16_t parts[4])
{
    size_t from = 0;
    for (int n = 0; n < 4; n++) {
        size_t dot = text.find('.', from);
        size_t end = dot == std::string::npos ? text.size() : dot;
        int v;
        if (!ReadNumber(text, from, end - from, v) || v > 65535)
            return false;
        parts[n] = uint16_t(v);
        if (dot == std::string::npos) {
            for (n++; n < 4; n++)
                parts[n] = 0;
            return true;
        }
        from = dot + 1;
    }
    return false;  // a fifth part
}

std::vector<uint8_t> VersionBytes(const VersionRecord &v, const uint16_t ver[4])
{
    std::vector<uint8_t> b;
    size_t root = OpenNode(b, u"VS_VERSION_INFO", 52, 0);
    uint32_t ms = uint32_t(ver[0]) << 16 | ver[1], ls = uint32_t(ver[2]) << 16 | ver[3];
    for (uint32_t x : {0xFEEF04BDu, 0x00010000u, ms, ls, ms, ls, 0x3Fu, 0u, 0x00040004u, 1u, 0u, 0u, 0u})
        PushU32(b, x);
    Pad4(b);
    size_t sfi = OpenNode(b, u"StringFileInfo", 0, 1);
    size_t table = OpenNode(b, u"040904B0", 0, 1);
    std::pair<const char16_t *, const std::string *> fields[] = {
        {u"CompanyName", &v.company}, {u"FileDescription", &v.description}, {u"FileVersion", &v.version},
        {u"LegalCopyright", &v.copyright}, {u"ProductName", &v.product}, {u"ProductVersion", &v.version}};
    for (auto &[key, value] : fields) {
        if (value->empty())
            continue;
        std::u16string text = Utf16(*value);
        size_t s = OpenNode(b, key, uint32_t(text.size() + 1), 1);
        for (char16_t c : text) PushU16(b, c);
        PushU16(b, 0);
        CloseNode(b, s);
    }
    CloseNode(b, table);
    CloseNode(b, sfi);
    size_t vfi = OpenNode(b, u"VarFileInfo", 0, 1);
    size_t var = OpenNode(b, u"Translation", 4, 0);
    PushU32(b, 0x04B00409u);
    CloseNode(b, var);
    CloseNode(b, vfi);
    CloseNode(b, root);
    return b;
}

const ResLangs *Find(const ResTree &tree, uint16_t type, uint16_t id)
{
    auto t = tree.find(ResKey::Id(type));
    if (t == tree.end()) return nullptr;
    auto n = t->second.find(ResKey::Id(id));
    return n == t->second.end() || n->second.empty() ? nullptr : &n->second;
}

// The language a lookup of the stub finds first: neutral, then en-US, then the lowest.
const ResData *Pick(const ResLangs &langs)
{
    for (uint16_t lang : {uint16_t(0), kLangEnUs})
        if (auto it = langs.find(lang); it != langs.end())
            return &it->second;
    return &langs.begin()->second;
}

// 1000000000 as "1,000,000,000".
std::string Thousands(uint64_t n)
{
    std::string digits = std::to_string(n), out;
    for (size_t i = 0; i < digits.size(); i++) {
        if (i != 0 && (digits.size() - i) % 3 == 0)
            out += ',';
        out += digits[i];
    }
    return out;
}

std::string FormatNote(uint64_t total)
{
    return "the package holds " + Thousands(total) + " bytes, more than the " + Thousands(kFormatTotal) +
           " of the format's 32-bit percentage rule: a selfextr stub extracts it, a stub that follows that rule shows a wrong percentage";
}

bool HoldsBytes(const std::filesystem::path &path)
{
    int fd = open(path.string().c_str(), O_RDONLY | O_NONBLOCK);
    char byte;
    bool holds = fd >= 0 && read(fd, &byte, 1) == 1;
    if (fd >= 0)
        close(fd);
    return holds;
}

}  // namespace

bool Date_Encode(const std::string &iso, std::string &out, std::string &error)
{
    int y, m, d;
    if (iso.size() != 10 || iso[4] != '-' || iso[7] != '-' || !ReadNumber(iso, 0, 4, y) || !ReadNumber(iso, 5, 2, m) ||
        !ReadNumber(iso, 8, 2, d)) {
        error = "date \"" + iso + "\" is not an ISO date such as 2026-12-08";
        return false;
    }
    static const int days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    if (m < 1 || m > 12 || d < 1 || d > days[m - 1] + (m == 2 && IsLeap(y))) {
        error = "date \"" + iso + "\" is not a day of the calendar";
        return false;
    }
    if (y < 1980 || y > 2107) {
        error = "date \"" + iso + "\" cannot be stamped: file dates run from 1980 to 2107";
        return false;
    }
    int n = ((y - 1980 - 48) % 128 + 128) % 128;
    char text[32];
    snprintf(text, sizeof text, "%02d-%02d-%02d", m, d, n);
    out = text;
    return true;
}

bool Time_Encode(const std::string &hm, std::string &out, std::string &error)
{
    size_t colon = hm.find(':');
    int h, m;
    if (colon == std::string::npos || colon == 0 || colon > 2 || hm.size() != colon + 3 ||
        !ReadNumber(hm, 0, colon, h) || !ReadNumber(hm, colon + 1, 2, m) || m > 59 || h > 23) {
        error = "time \"" + hm + "\" is not a time such as 4:00";
        return false;
    }
    if (h > 9) {
        error = "time \"" + hm + "\" cannot be stamped: the stub reads a single hour digit, so only 0:00 to 9:59 can be given";
        return false;
    }
    out = std::to_string(h) + ":" + hm.substr(colon + 1);
    return true;
}

namespace {

// SOURCE_DATE_EPOCH as seconds: digits only, and before 2108, past which no
// file date can hold it (checked before any calendar, whose years would not either).
bool ReadEpoch(const char *epoch, long long &seconds, std::string &error)
{
    std::string text = epoch;
    auto r = std::from_chars(text.data(), text.data() + text.size(), seconds);
    if (text.empty() || text[0] == '-' || text[0] == '+' || r.ec != std::errc() || r.ptr != text.data() + text.size()) {
        error = "SOURCE_DATE_EPOCH \"" + text + "\" is not a count of seconds";
        return false;
    }
    if (seconds >= kEpochOf2108) {
        error = "SOURCE_DATE_EPOCH \"" + text + "\" cannot be stamped: file dates run from 1980 to 2107";
        return false;
    }
    return true;
}

}  // namespace

bool Date_FromEpoch(const char *epoch, std::string &iso, std::string &error)
{
    long long seconds;
    if (!ReadEpoch(epoch, seconds, error))
        return false;
    auto day = std::chrono::floor<std::chrono::days>(std::chrono::sys_seconds(std::chrono::seconds(seconds)));
    std::chrono::year_month_day ymd(day);
    char buffer[16];
    snprintf(buffer, sizeof buffer, "%04d-%02u-%02u", int(ymd.year()), unsigned(ymd.month()), unsigned(ymd.day()));
    iso = buffer;
    return true;
}

bool Package_Timestamp(const PackRequest &request, const char *sourceDateEpoch, uint32_t &stamp, std::string &error)
{
    long long seconds;
    if (sourceDateEpoch != nullptr && *sourceDateEpoch != '\0') {
        if (!ReadEpoch(sourceDateEpoch, seconds, error))
            return false;
    } else {
        int y, m, d, h = 0, minute = 0;
        std::string time = request.time.empty() ? "0:00" : request.time;
        size_t colon = time.find(':');
        if (!ReadNumber(request.date, 0, 4, y) || !ReadNumber(request.date, 5, 2, m) || !ReadNumber(request.date, 8, 2, d) ||
            colon == std::string::npos || !ReadNumber(time, 0, colon, h) || !ReadNumber(time, colon + 1, 2, minute))
            return error = "no date for the image's timestamp: give one (2026-12-08) or set SOURCE_DATE_EPOCH", false;
        auto day = std::chrono::sys_days(std::chrono::year(y) / std::chrono::month(unsigned(m)) / std::chrono::day(unsigned(d)));
        seconds = day.time_since_epoch().count() * 86400LL + h * 3600LL + minute * 60LL;
    }
    // The field holds 32 unsigned bits of seconds: up to 2106-02-07 06:28:15 UTC.
    if (seconds > 0xFFFFFFFFLL)
        return error = "the release time lies past 2106-02-07, the last day an image's timestamp holds", false;
    stamp = uint32_t(seconds);
    return true;
}

bool ExecutionLevel_Known(const std::string &level)
{
    return level == "asInvoker" || level == "highestAvailable" || level == "requireAdministrator";
}

std::string Manifest_Xml(const std::string &level)
{
    // supportedOS: Vista, 7, 8, 8.1 and 10 (11 shares 10's id).
    return "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"yes\"?>\r\n"
           "<assembly xmlns=\"urn:schemas-microsoft-com:asm.v1\" manifestVersion=\"1.0\">\r\n"
           "  <trustInfo xmlns=\"urn:schemas-microsoft-com:asm.v3\">\r\n"
           "    <security>\r\n"
           "      <requestedPrivileges>\r\n"
           "        <requestedExecutionLevel level=\"" + level + "\" uiAccess=\"false\"/>\r\n"
           "      </requestedPrivileges>\r\n"
           "    </security>\r\n"
           "  </trustInfo>\r\n"
           "  <compatibility xmlns=\"urn:schemas-microsoft-com:compatibility.v1\">\r\n"
           "    <application>\r\n"
           "      <supportedOS Id=\"{e2011457-1546-43c5-a5fe-008deee3d3f0}\"/>\r\n"
           "      <supportedOS Id=\"{35138b9a-5d96-4fbd-8e2d-a2440225f93a}\"/>\r\n"
           "      <supportedOS Id=\"{4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38}\"/>\r\n"
           "      <supportedOS Id=\"{1f676c76-80e1-4239-95bb-83d0f6d0da78}\"/>\r\n"
           "      <supportedOS Id=\"{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}\"/>\r\n"
           "    </application>\r\n"
           "  </compatibility>\r\n"
           "</assembly>\r\n";
}

std::string Name_Problem(const std::string &name, bool allowNonAscii)
{
    if (name.empty())
        return "is empty";
    if (name == "." || name == "..")
        return "is \".\" or \"..\"";
    for (unsigned char c : name) {
        if (c < 32 || c == 127)
            return "holds a control character";
        if (strchr("\\/:*?\"<>|", c))
            return std::string("holds the character '") + char(c) + "', which Windows forbids in file names";
        if (c == ',')
            return "holds a comma, which would split its descriptor";
        if (c >= 128 && !allowNonAscii)
            return "is not ASCII (the stub reads names through the target's ANSI code page; --allow-non-ascii permits it)";
    }
    std::u16string wide = Utf16(name);
    if (wide.size() > kMaxNameUnits)
        return "is longer than " + std::to_string(kMaxNameUnits) + " characters, the most a Windows file name holds";
    for (char16_t c : wide) {
        // The ANSI code page's best fit turns these into separators or
        // forbidden characters when the stub reads the name.
        bool fullwidthForbidden = c >= 0xFF01 && c <= 0xFF5E && strchr("\\/:*?\"<>|", int(c - 0xFF01 + 0x21));
        if (fullwidthForbidden || c == 0x2215 || c == 0x2216 || c == 0x2044 || c == 0x29F5 || c == 0xFE68 ||
            c == 0xFE55 || c == 0xFE56 || c == 0xFE57 || c == 0xFE64 || c == 0xFE65 || c == 0xFF0C)
            return "holds a character that the target's code page reads as a separator or forbidden character";
        if (c == 0xFFFD)
            return "is not valid UTF-8";
    }
    if (name.back() == '.' || name.back() == ' ')
        return "ends with a dot or a blank, which Windows drops";
    // Windows reserves the device names with any extension, ignoring case and
    // blanks before the dot; COM and LPT take the digits 0 to 9 and the
    // superscripts 1 to 3.
    std::u16string stem = Name_Fold(name);
    stem.resize(std::min(stem.size(), stem.find(u'.')));
    while (!stem.empty() && stem.back() == u' ')
        stem.pop_back();
    static const std::set<std::u16string> devices = {u"CON", u"PRN", u"AUX", u"NUL", u"CONIN$", u"CONOUT$"};
    bool numbered = stem.size() == 4 && (stem.compare(0, 3, u"COM") == 0 || stem.compare(0, 3, u"LPT") == 0) &&
                    ((stem[3] >= u'0' && stem[3] <= u'9') || stem[3] == 0xB9 || stem[3] == 0xB2 || stem[3] == 0xB3);
    if (devices.count(stem) || numbered)
        return "is a reserved device name";
    return {};
}

std::u16string Name_Fold(const std::string &name)
{
    // Windows compares names through its upper-case table, which follows the
    // simple upper-case mapping of each UTF-16 unit.
    std::u16string folded = Utf16(name);
#ifdef _WIN32
    for (char16_t &c : folded) {
        wchar_t w = wchar_t(c);
        CharUpperBuffW(&w, 1);
        c = char16_t(w);
    }
#else
    static locale_t utf8 = newlocale(LC_CTYPE_MASK, "C.UTF-8", locale_t(0));
    for (char16_t &c : folded) {
        if (c < 128)
            c = char16_t(std::toupper(int(c)));
        else if (utf8 != locale_t(0) && (c < 0xD800 || c > 0xDFFF))
            c = char16_t(towupper_l(wint_t(c), utf8));
    }
#endif
    return folded;
}

bool Name_LeavesFolder(const std::string &name)
{
    return name.empty() || name == "." || name == ".." || name.find_first_of("\\/:") != std::string::npos;
}

bool Package_Build(const PackRequest &request, const char *sourceDateEpoch, ResTree &tree,
                   std::vector<std::string> &warnings, std::string &error)
{
    std::u16string caption = Utf16(request.caption), prompt = Utf16(request.prompt);
    // An empty string is a missing one: the question would have no title or no text.
    if (caption.empty())
        return error = "no caption: give one (the title of the question and the progress window)", false;
    if (prompt.empty())
        return error = "no prompt: give the question the stub asks", false;
    if (AnsiBytes(caption) > kCaptionBytes - 1)
        return error = "caption \"" + request.caption + "\" is longer than " + std::to_string(kCaptionBytes - 1) + " bytes", false;
    if (AnsiBytes(prompt) > kTextBytes - 1)
        return error = "prompt is longer than " + std::to_string(kTextBytes - 1) + " bytes", false;

    std::string iso = request.date, date, time;
    if (iso.empty()) {
        if (sourceDateEpoch == nullptr || *sourceDateEpoch == '\0')
            return error = "no date: give one (2026-12-08) or set SOURCE_DATE_EPOCH", false;
        if (!Date_FromEpoch(sourceDateEpoch, iso, error))
            return false;
    }
    if (!Date_Encode(iso, date, error) || !Time_Encode(request.time.empty() ? "0:00" : request.time, time, error))
        return false;

    if (request.files.size() > kMaxEntries)
        return error = std::to_string(request.files.size()) + " files: a package holds at most " + std::to_string(kMaxEntries), false;
    std::set<std::u16string> seen;
    uint64_t total = 0;
    std::vector<std::pair<std::string, uint64_t>> descriptors;
    bool hasSetup = false;
    for (const PackFile &f : request.files) {
        if (std::string why = Name_Problem(f.name, request.allowNonAscii); !why.empty())
            return error = "file name \"" + f.name + "\" " + why, false;
        std::u16string folded = Name_Fold(f.name);
        if (!seen.insert(folded).second)
            return error = "file name \"" + f.name + "\" is given twice (names are compared ignoring case)", false;
        hasSetup |= folded == u"SETUP.EXE";
        // Only a regular file has a size that says what reading it gives.
        struct stat st;
        if (stat(f.source.string().c_str(), &st) != 0 || access(f.source.string().c_str(), R_OK) != 0)
            return error = "file \"" + f.source.string() + "\" is missing or unreadable", false;
        if (!S_ISREG(st.st_mode))
            return error = "file \"" + f.source.string() + "\" is not a regular file", false;
        uint64_t size = uint64_t(st.st_size);
        // A file the file system does not size (such as those of /proc) says
        // 0 bytes and holds more: its size would be a lie in the package.
        if (size == 0 && HoldsBytes(f.source))
            return error = "file \"" + f.source.string() + "\" reports 0 bytes but holds more (a file whose size is not known)", false;
        std::string descriptor = f.name + "," + std::to_string(size);
        if (AnsiBytes(Utf16(descriptor)) > kTextBytes - 1)
            return error = "descriptor of \"" + f.name + "\" is longer than " + std::to_string(kTextBytes - 1) + " bytes", false;
        total += size;
        // Sizes come from the file system: a sparse file of any size is
        // refused here without being read.
        if (total > kMaxPackageBytes)
            return error = "the files add up to more than " + Thousands(kMaxPackageBytes) +
                           " bytes, the most a selfextr stub is shown to extract (at \"" + f.source.string() + "\")", false;
        descriptors.emplace_back(descriptor, size);
    }
    if (total > kFormatTotal)
        warnings.push_back(FormatNote(total));
    if (!hasSetup)
        warnings.push_back("no file is named SETUP.EXE: give the stub a command line, or it starts nothing");

    if (!request.executionLevel.empty() && !ExecutionLevel_Known(request.executionLevel))
        return error = "execution level \"" + request.executionLevel +
                       "\" is not one of asInvoker, highestAvailable and requireAdministrator", false;

    std::optional<std::vector<uint8_t>> version;
    if (request.version) {
        uint16_t parts[4];
        if (!ParseVersion(request.version->version, parts))
            return error = "version \"" + request.version->version + "\" is not of the form 1.2.3.4", false;
        version = VersionBytes(*request.version, parts);
    }

    // Packing again replaces the whole package: strings, entries and version go.
    tree.erase(ResKey::Id(kRtString));
    tree.erase(ResKey::Id(kRtEntry));
    tree.erase(ResKey::Id(kRtVersion));
    // The manifest is the package's too: without a level the stub carries none.
    if (auto manifests = tree.find(ResKey::Id(kRtManifest)); manifests != tree.end()) {
        manifests->second.erase(ResKey::Id(kManifestId));
        if (manifests->second.empty())
            tree.erase(manifests);
    }

    std::map<uint16_t, std::u16string> strings = {{kStringCaption, caption}, {kStringPrompt, prompt},
        {kStringDate, Utf16(date)}, {kStringTime, Utf16(time)}, {kStringTotal, Utf16(std::to_string(total))}};
    for (size_t n = 0; n < descriptors.size(); n++) {
        uint16_t id = uint16_t(kEntryFirst + n);
        strings[id] = Utf16(descriptors[n].first);
        tree[ResKey::Id(kRtEntry)][ResKey::Id(id)][kLangEnUs].bytes =
            FileBytes{request.files[n].source, descriptors[n].second};
    }
    Package_PutStrings(strings, tree);
    if (version)
        tree[ResKey::Id(kRtVersion)][ResKey::Id(1)][kLangEnUs].bytes = std::move(*version);
    if (!request.executionLevel.empty()) {
        std::string xml = Manifest_Xml(request.executionLevel);
        tree[ResKey::Id(kRtManifest)][ResKey::Id(kManifestId)][kLangEnUs].bytes = std::vector<uint8_t>(xml.begin(), xml.end());
    }
    return true;
}

void Package_PutStrings(const std::map<uint16_t, std::u16string> &strings, ResTree &tree)
{
    // Whole string-table blocks: 16 counted strings, block (id >> 4) + 1.
    std::map<uint16_t, std::vector<const std::u16string *>> blocks;
    for (auto &[id, text] : strings) {
        auto &block = blocks[uint16_t((id >> 4) + 1)];
        block.resize(16, nullptr);
        block[id & 15] = &text;
    }
    for (auto &[block, slots] : blocks) {
        std::vector<uint8_t> bytes;
        for (const std::u16string *text : slots) {
            PushU16(bytes, text ? uint32_t(text->size()) : 0);
            if (text)
                for (char16_t c : *text) PushU16(bytes, c);
        }
        tree[ResKey::Id(kRtString)][ResKey::Id(block)][kLangEnUs].bytes = std::move(bytes);
    }
}

std::optional<std::string> Package_String(const ResTree &tree, uint16_t id, size_t capacity)
{
    const ResLangs *langs = Find(tree, kRtString, uint16_t((id >> 4) + 1));
    if (!langs)
        return std::nullopt;
    std::span<const uint8_t> b = ResData_Bytes(*Pick(*langs));
    size_t at = 0;
    for (int slot = 0; slot < 16; slot++) {
        if (at + 2 > b.size())
            return std::nullopt;
        size_t length = b[at] | b[at + 1] << 8;
        at += 2;
        if (at + 2 * length > b.size())
            return std::nullopt;
        if (slot == (id & 15)) {
            if (length == 0)
                return std::nullopt;
            std::u16string text;
            for (size_t i = 0; i < length && i + 1 < capacity; i++)
                text.push_back(char16_t(b[at + 2 * i] | b[at + 2 * i + 1] << 8));
            return Utf8(text);
        }
        at += 2 * length;
    }
    return std::nullopt;
}

StampParts Stamp_Parts(uint16_t dateWord, uint16_t timeWord)
{
    return {1980u + (dateWord >> 9), (dateWord >> 5) & 15u, dateWord & 31u, unsigned(timeWord >> 11),
            (timeWord >> 5) & 63u};
}

Listing Package_List(const ResTree &tree)
{
    Listing out;
    auto get = [&](uint16_t id, size_t capacity, const char *what) {
        auto s = Package_String(tree, id, capacity);
        if (!s)
            out.problems.push_back(std::string("string ") + std::to_string(id) + " (" + what + ") is missing");
        return s.value_or("");
    };
    out.caption = get(kStringCaption, kCaptionBytes, "caption");
    out.prompt = get(kStringPrompt, kTextBytes, "prompt");
    out.dateText = get(kStringDate, kTextBytes, "date");
    out.timeText = get(kStringTime, kTextBytes, "time");
    out.totalText = get(kStringTotal, kTextBytes, "total");

    // Decoded with the stub's own readers, from the same bytes the stub gets.
    char text[kTextBytes] = {};
    strncpy(text, out.timeText.c_str(), sizeof text - 1);
    out.timeWord = Stamp_TimeWord(text);
    memset(text, 0, sizeof text);
    strncpy(text, out.dateText.c_str(), sizeof text - 1);
    out.dateWord = Stamp_DateWord(text);
    out.total = uint32_t(Dec_Read(out.totalText.c_str()));
    StampParts stamp = Stamp_Parts(out.dateWord, out.timeWord);
    if (stamp.month < 1 || stamp.month > 12 || stamp.day < 1 || stamp.hour > 23 || stamp.minute > 59)
        out.problems.push_back("the date and time strings do not give a valid stamp");

    if (const ResLangs *manifest = Find(tree, kRtManifest, kManifestId)) {
        std::span<const uint8_t> xml = ResData_Bytes(*Pick(*manifest));
        std::string text(xml.begin(), xml.end());
        const std::string key = "requestedExecutionLevel level=\"";
        size_t at = text.find(key), end = at == std::string::npos ? at : text.find('"', at + key.size());
        out.executionLevel = end == std::string::npos ? "(a manifest without an execution level)" : text.substr(at + key.size(), end - at - key.size());
    }

    uint64_t sum = 0;
    std::set<std::u16string> names;
    const auto entryType = tree.find(ResKey::Id(kRtEntry));
    uint32_t n = kEntryFirst;
    for (;; n++) {
        const ResLangs *data = Find(tree, kRtEntry, uint16_t(n));
        if (!data || n > 0xFFFF)
            break;
        ListedEntry e;
        e.number = n;
        e.data = Pick(*data);
        auto descriptor = Package_String(tree, uint16_t(n));
        e.descriptor = descriptor.value_or("");
        std::vector<char> buffer(e.descriptor.begin(), e.descriptor.end());
        buffer.push_back('\0');
        bool hasComma = Desc_Split(buffer.data(), &e.size);
        e.name = buffer.data();
        if (!descriptor)
            e.problem = "has data but no descriptor";
        else if (!hasComma)
            e.problem = "has a descriptor without a comma";
        else if (e.size > e.data->Size())
            e.problem = "claims " + std::to_string(e.size) + " bytes but its data holds " + std::to_string(e.data->Size());
        else if (Name_LeavesFolder(e.name))
            e.problem = "has the name \"" + e.name + "\", which would leave the folder it is written into";
        else if (std::string why = Name_Problem(e.name, true); !why.empty())
            e.problem = "has the name \"" + e.name + "\", which " + why;
        else if (!names.insert(Name_Fold(e.name)).second)
            e.problem = "has the name \"" + e.name + "\" of an earlier entry (Windows ignores case), which it would replace";
        if (!e.problem.empty())
            out.problems.push_back("entry " + std::to_string(n) + " " + e.problem);
        if (hasComma)
            sum += e.size;
        out.entries.push_back(std::move(e));
    }
    if (out.entries.size() > kMaxEntries)
        out.problems.push_back(std::to_string(out.entries.size()) + " entries: the stub registers at most " +
                               std::to_string(kMaxEntries) + " files");
    if (entryType != tree.end())
        for (auto &[key, langs] : entryType->second)
            if (!key.IsId() || key.id > n)
                out.problems.push_back("entry " + (key.IsId() ? std::to_string(key.id) : Utf8(key.name)) +
                                       " follows a gap and is never extracted");
    for (uint32_t id = n; id < kStringTotal; id++)
        if (Package_String(tree, uint16_t(id)))
            out.problems.push_back("descriptor " + std::to_string(id) + " has no data");
    if (sum != out.total)
        out.problems.push_back("total " + std::to_string(out.total) + " differs from the sum of the sizes, " + std::to_string(sum));
    if (out.total > kMaxPackageBytes)
        out.problems.push_back("total " + std::to_string(out.total) + " is more than " + Thousands(kMaxPackageBytes) +
                               " bytes, the most a selfextr stub is shown to extract");
    else if (out.total > kFormatTotal)
        out.notes.push_back(FormatNote(out.total));
    return out;
}

}  // namespace selfextr
