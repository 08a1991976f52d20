// stringtable.cpp: whole string-table blocks, 16 counted strings each, block (id >> 4) + 1.
#include "package/stringtable.h"

#include "base/bytes.h"
#include "base/text.h"

namespace selfextr {

void StringTable_Put(const std::map<uint16_t, std::u16string> &strings, ResTree &tree, uint16_t lang)
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
            Bytes_Push16(bytes, text ? uint32_t(text->size()) : 0);
            if (text)
                for (char16_t c : *text) Bytes_Push16(bytes, c);
        }
        tree[ResKey::Id(kRtString)][ResKey::Id(block)][lang].bytes = std::move(bytes);
    }
}

std::optional<std::string> StringTable_Get(const ResTree &tree, uint16_t id, size_t capacity, uint16_t user)
{
    const ResLangs *langs = ResTree_Find(tree, kRtString, uint16_t((id >> 4) + 1));
    if (!langs)
        return std::nullopt;
    std::span<const uint8_t> b = ResData_Bytes(*ResLangs_PickFor(*langs, user));
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
            return Text_Utf8(text);
        }
        at += 2 * length;
    }
    return std::nullopt;
}

}  // namespace selfextr
