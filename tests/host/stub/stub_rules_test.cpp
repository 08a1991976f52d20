// The stub's portable rules: numbers, the command tail, the environment, the stamp, descriptors, the percentage.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "cmdtail.h"
#include "decimal.h"
#include "descriptor.h"
#include "envlookup.h"
#include "messages.h"
#include "percent.h"
#include "selfextr_protocol.h"
#include "stampwords.h"

// What setup programs and users rely on, written out once more on purpose:
// a changed constant must fail here before it breaks a partner or a manual.
TEST(Contract, TheWindowTheCommandAndTheTextsReadExactlySo)
{
    EXPECT_STREQ(SELFEXTR_WINDOW_CLASS, "QVSELFEXTR");
    EXPECT_EQ(SELFEXTR_ID_CLEANUP, 0xABCD);
    EXPECT_EQ(SELFEXTR_DIALOG_PROGRESS, 2000);
    EXPECT_EQ(SELFEXTR_STRING_TOTAL, 3000);
    EXPECT_STREQ(kTextDiskFull, "Disk may be full!");
    EXPECT_STREQ(kTitleDiskFull, "Setup Error");
    EXPECT_STREQ(kTextLoadFailed, "Error loading resource #%u");
    EXPECT_STREQ(kTextLockFailed, "Error locking resource #%u");
    EXPECT_STREQ(kTitleEntryFailed, "Setup");
}

TEST(DecimalRule, ReadsLikeTheRunTimesAtol)
{
    struct Case { const char *text; int32_t value; } cases[] = {
        {"1234", 1234}, {"+17", 17}, {"-17", -17}, {"007", 7}, {"12abc", 12}, {"", 0}, {"abc", 0}, {"-", 0},
        {" 5", 5}, {"\t5", 5}, {"\n5", 5}, {"\v5", 5}, {"\f5", 5}, {"\r5", 5}, {" \t\r\n-42x", -42},
        {"+-5", 0}, {"- 5", 0}, {"\x01" "5", 0}, {"\xA0" "5", 0},
        {"2147483647", 2147483647}, {"2147483648", INT32_MIN}, {"4294967295", -1}, {"4294967296", 0},
        {"4294967297", 1}, {"-4294967297", -1}, {"99999999999", 1215752191},
    };
    for (auto &c : cases)
        EXPECT_EQ(Dec_Read(c.text), c.value) << "\"" << c.text << "\"";
}

static std::string Tail(const char *line, const unsigned char *lead = nullptr)
{
    static const unsigned char none[256] = {};
    return Tail_Find(line, lead ? lead : none);
}

TEST(CommandTail, StripsTheProgramName)
{
    EXPECT_EQ(Tail("SETUP.EXE"), "");
    EXPECT_EQ(Tail("SETUP.EXE   "), "");
    EXPECT_EQ(Tail("C:\\X\\STUB.EXE /a  b "), "/a  b ");
    EXPECT_EQ(Tail("\"C:\\Program Files\\stub.exe\"   "), "");
    EXPECT_EQ(Tail("\"C:\\Program Files\\stub.exe\" D:\\OTHER.EXE /X"), "D:\\OTHER.EXE /X");
    EXPECT_EQ(Tail("\"C:\\a\"b c"), "b c");  // a name runs to the closing quote only
    EXPECT_EQ(Tail("\"never closed /x"), "");
    EXPECT_EQ(Tail("   leading blanks keep the name"), "leading blanks keep the name");
    EXPECT_EQ(Tail("stub.exe\t\x01\x1f x"), "x");
}

TEST(CommandTail, LeadBytesTakeTheirTrailByteWithThem)
{
    unsigned char lead[256] = {};
    lead[0x81] = 1;
    // 0x81 '"' is one double-byte character, not the closing quote.
    EXPECT_EQ(Tail("\"a\x81\"b\" tail", lead), "tail");
    EXPECT_EQ(Tail("\"a\x81\"b\" tail"), "b\" tail");
    // A lead byte as the last byte of the line does not step past the terminator.
    EXPECT_EQ(Tail("\"abc\x81", lead), "");
}

TEST(Environment, MatchesNamesIgnoringCase)
{
    const char block[] = "PATH=C:\\W\0temp=C:\\T1\0TEMPDIR=C:\\T2\0TMP=\0\0";
    EXPECT_STREQ(Env_Find(block, "TEMP"), "C:\\T1");
    EXPECT_STREQ(Env_Find(block, "TMP"), "");  // defined, though empty
    EXPECT_EQ(Env_Find(block, "TEMPD"), nullptr);
    EXPECT_EQ(Env_Find(block, "TEM"), nullptr);
    const char dirOnly[] = "TEMPDIR=C:\\T2\0\0";
    EXPECT_EQ(Env_Find(dirOnly, "TEMP"), nullptr);
    const char twice[] = "Temp=first\0TEMP=second\0\0";
    EXPECT_STREQ(Env_Find(twice, "TEMP"), "first");
    EXPECT_EQ(Env_Find(nullptr, "TEMP"), nullptr);
}

static uint16_t TimeWord(const char *s) { char b[kTextBytes] = {}; strcpy(b, s); return Stamp_TimeWord(b); }
static uint16_t DateWord(const char *s) { char b[kTextBytes] = {}; strcpy(b, s); return Stamp_DateWord(b); }

TEST(StampWords, FieldsAtFixedPositionsMaskedNotChecked)
{
    EXPECT_EQ(TimeWord("4:00"), 0x2000);
    EXPECT_EQ(DateWord("11-09-96"), 0x2169);
    EXPECT_EQ(TimeWord("12:30"), 1 << 11);          // hour 1, minutes read from ':' are 0
    EXPECT_EQ(TimeWord("9:59"), (9 << 11) | (59 << 5));
    EXPECT_EQ(DateWord("01-01-00") >> 9, 48);        // 2028
    EXPECT_EQ(DateWord("12-08-126"), (46 << 9) | (12 << 5) | 8);  // 2026-12-08
    EXPECT_EQ(DateWord("12-31-79") >> 9, 127);       // 2107
    // Oversized and negative values keep their low bits only.
    EXPECT_EQ(DateWord("17-33-96"), (16 << 9) | (1 << 5) | 1);
    EXPECT_EQ(DateWord("-1-01-96"), (16 << 9) | (15 << 5) | 1);
    EXPECT_EQ(TimeWord("4:-1"), (4 << 11) | (63 << 5));
    EXPECT_EQ(TimeWord("4:64"), 4 << 11);
    EXPECT_EQ(TimeWord(""), 0);
}

TEST(Descriptor, SplitsAtTheFirstComma)
{
    char a[] = " A.TXT, 5";
    uint32_t size = 99;
    ASSERT_TRUE(Desc_Split(a, &size));
    EXPECT_STREQ(a, " A.TXT");
    EXPECT_EQ(size, 5u);
    char b[] = "X,Y,7";
    ASSERT_TRUE(Desc_Split(b, &size));
    EXPECT_STREQ(b, "X");
    EXPECT_EQ(size, 0u);
    char c[] = "README.TXT,-1";
    ASSERT_TRUE(Desc_Split(c, &size));
    EXPECT_EQ(size, 0xFFFFFFFFu);  // negative reads as a huge size, which the writer refuses
    char d[] = "NOCOMMA";
    EXPECT_FALSE(Desc_Split(d, &size));
    EXPECT_STREQ(d, "NOCOMMA");
    char e[] = "";
    EXPECT_FALSE(Desc_Split(e, &size));
}

TEST(Percent, SameAsTheThirtyTwoBitRuleForValidPackages)
{
    const uint32_t totals[] = {1, 3, 100, 70000, 3151317, 42949672};
    for (uint32_t total : totals)
        for (uint32_t written : {0u, 1u, total / 3, total / 2, total - 1, total})
            if (written <= total)
                EXPECT_EQ(Percent_Done(written, total), written * 100u / total) << written << "/" << total;
}

TEST(Percent, LargePackagesDoNotWrapAndZeroTotalDoesNotDivide)
{
    const uint32_t total = 400000000;
    EXPECT_EQ(Percent_Done(total / 2, total), 50u);
    EXPECT_EQ(Percent_Done(total, total), 100u);
    EXPECT_EQ(Percent_Done(total - 1, total), 99u);
    EXPECT_EQ(Percent_Done(0xFFFFFFFFu, 0xFFFFFFFFu), 100u);
    EXPECT_EQ(Percent_Done(0xFFFFFFFEu, 0xFFFFFFFFu), 99u);
    for (uint64_t w = 42949673; w < 0xFFFFFFFFull; w = w * 7 + 12345)
        EXPECT_EQ(Percent_Done(uint32_t(w), 0xFFFFFFF0u), uint32_t(w * 100 / 0xFFFFFFF0ull)) << w;
    EXPECT_EQ(Percent_Done(5, 0), 100u);
}
