// unicode_test.cpp: NFC, case folding and invisible characters against the
// vectors that scripts/gen-unicode-tables writes from Python's unicodedata.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <map>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "decoder/unicode.h"

namespace {

using namespace selfextr;

constexpr uint32_t kCodePoints = 0x110000;

struct Vectors {
    std::set<uint32_t> notNfc, invisible;
    std::map<uint32_t, uint32_t> fold;
    std::vector<std::pair<bool, std::vector<uint32_t>>> sequences;
};

const Vectors &Load()
{
    static Vectors v;
    static bool loaded = false;
    if (loaded)
        return v;
    loaded = true;
    std::ifstream in(SELFEXTR_UNICODE_VECTORS);
    EXPECT_TRUE(in.good()) << SELFEXTR_UNICODE_VECTORS << " cannot be read";
    std::string line;
    int number = 0;
    while (std::getline(in, line)) {
        number++;
        if (line.empty() || line[0] == '#')
            continue;
        std::istringstream fields(line);
        std::string kind;
        fields >> kind;
        std::vector<uint32_t> values;
        for (std::string word; fields >> word;)
            values.push_back(uint32_t(std::stoul(word, nullptr, kind == "n" && values.empty() ? 10 : 16)));
        bool ranged = kind == "x" || kind == "i";
        bool good = (ranged && values.size() == 2 && values[0] <= values[1] && values[1] < kCodePoints) ||
                    (kind == "f" && values.size() == 2) || (kind == "n" && !values.empty() && values[0] <= 1);
        EXPECT_TRUE(good) << "line " << number << " of the vectors: " << line;
        if (!good)
            continue;
        if (ranged)
            for (uint32_t c = values[0]; c <= values[1]; c++)
                (kind == "x" ? v.notNfc : v.invisible).insert(c);
        else if (kind == "f")
            v.fold[values[0]] = values[1];
        else
            v.sequences.emplace_back(values[0] == 1, std::vector<uint32_t>(values.begin() + 1, values.end()));
    }
    return v;
}

std::string Hex(const std::vector<uint32_t> &text)
{
    std::string out;
    char one[16];
    for (uint32_t c : text) {
        std::snprintf(one, sizeof one, "%s%04X", out.empty() ? "" : " ", c);
        out += one;
    }
    return out.empty() ? "(nothing)" : out;
}

// Each code point of every plane, alone: folded, judged invisible and judged
// NFC as the vectors say, the ones they leave out being the plain ones.
TEST(Unicode, EveryCodePointAlone)
{
    const Vectors &v = Load();
    ASSERT_FALSE(v.fold.empty());
    ASSERT_FALSE(v.notNfc.empty());
    ASSERT_FALSE(v.invisible.empty());
    int wrong = 0;
    for (uint32_t c = 0; c < kCodePoints + 16 && wrong < 20; c++) {
        auto f = v.fold.find(c);
        uint32_t fold = f == v.fold.end() ? c : f->second;
        bool nfc = v.notNfc.count(c) == 0, invisible = v.invisible.count(c) != 0;
        if (Unicode_Fold(c) != fold || Unicode_IsNfc(&c, 1) != nfc || Unicode_IsInvisible(c) != invisible) {
            wrong++;
            ADD_FAILURE() << std::hex << "U+" << c << ": folds to " << Unicode_Fold(c) << " (expected " << fold << "), NFC "
                          << Unicode_IsNfc(&c, 1) << " (" << nfc << "), invisible " << Unicode_IsInvisible(c) << " ("
                          << invisible << ")";
        }
    }
    // Values past Unicode are nothing the tables know.
    for (uint32_t c : {0x7FFFFFFFu, 0xFFFFFFFFu}) {
        EXPECT_EQ(Unicode_Fold(c), c);
        EXPECT_TRUE(Unicode_IsNfc(&c, 1));
        EXPECT_FALSE(Unicode_IsInvisible(c));
    }
}

// Sequences around every character that may compose, composites followed by
// marks, marks out of order, Hangul, words, long runs of marks, random draws.
// Each is copied to a block of its own size, so that a read past it shows.
TEST(Unicode, SequencesAsNfcJudgesThem)
{
    const Vectors &v = Load();
    ASSERT_GT(v.sequences.size(), 1000u);
    int wrong = 0;
    for (const auto &[nfc, text] : v.sequences) {
        std::unique_ptr<uint32_t[]> copy(text.empty() ? nullptr : new uint32_t[text.size()]);
        std::copy(text.begin(), text.end(), copy.get());
        if (Unicode_IsNfc(copy.get(), uint32_t(text.size())) != nfc && ++wrong <= 20)
            ADD_FAILURE() << Hex(text) << (nfc ? " is NFC" : " is not NFC");
    }
    EXPECT_EQ(wrong, 0);
}

}  // namespace
