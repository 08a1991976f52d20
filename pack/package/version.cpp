// version.cpp: the version record, node by node: wLength, wValueLength, wType, key, value, children.
#include "package/version.h"

#include "base/bytes.h"
#include "base/text.h"

namespace selfextr {

namespace {

// One node of a version record: wLength, wValueLength, wType, key, value, children.
size_t OpenNode(std::vector<uint8_t> &b, const std::u16string &key, uint32_t valueLength, uint32_t type)
{
    size_t at = b.size();
    Bytes_Push16(b, 0);
    Bytes_Push16(b, valueLength);
    Bytes_Push16(b, type);
    for (char16_t c : key) Bytes_Push16(b, c);
    Bytes_Push16(b, 0);
    Bytes_Pad4(b);
    return at;
}

void CloseNode(std::vector<uint8_t> &b, size_t at) { Bytes_Set16(b, at, uint32_t(b.size() - at)); Bytes_Pad4(b); }

}  // namespace

bool Version_Parse(const std::string &text, uint16_t parts[4])
{
    size_t from = 0;
    for (int n = 0; n < 4; n++) {
        size_t dot = text.find('.', from);
        size_t end = dot == std::string::npos ? text.size() : dot;
        int v;
        if (!Text_Digits(text, from, end - from, v) || v > 65535)
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

std::vector<uint8_t> Version_Bytes(const VersionRecord &v, const uint16_t ver[4])
{
    std::vector<uint8_t> b;
    size_t root = OpenNode(b, u"VS_VERSION_INFO", 52, 0);
    uint32_t ms = uint32_t(ver[0]) << 16 | ver[1], ls = uint32_t(ver[2]) << 16 | ver[3];
    for (uint32_t x : {0xFEEF04BDu, 0x00010000u, ms, ls, ms, ls, 0x3Fu, 0u, 0x00040004u, 1u, 0u, 0u, 0u})
        Bytes_Push32(b, x);
    Bytes_Pad4(b);
    size_t sfi = OpenNode(b, u"StringFileInfo", 0, 1);
    size_t table = OpenNode(b, u"040904B0", 0, 1);
    std::pair<const char16_t *, const std::string *> fields[] = {
        {u"CompanyName", &v.company}, {u"FileDescription", &v.description}, {u"FileVersion", &v.version},
        {u"LegalCopyright", &v.copyright}, {u"ProductName", &v.product}, {u"ProductVersion", &v.version}};
    for (auto &[key, value] : fields) {
        if (value->empty())
            continue;
        std::u16string text = Text_Utf16(*value);
        size_t s = OpenNode(b, key, uint32_t(text.size() + 1), 1);
        for (char16_t c : text) Bytes_Push16(b, c);
        Bytes_Push16(b, 0);
        CloseNode(b, s);
    }
    CloseNode(b, table);
    CloseNode(b, sfi);
    size_t vfi = OpenNode(b, u"VarFileInfo", 0, 1);
    size_t var = OpenNode(b, u"Translation", 4, 0);
    Bytes_Push32(b, 0x04B00409u);
    CloseNode(b, var);
    CloseNode(b, vfi);
    CloseNode(b, root);
    return b;
}

}  // namespace selfextr
