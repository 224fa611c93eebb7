// Hexadecimal and size texts, the shared format ring, last_character and
// parse_size.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <set>
#include <string>

#include "gtest/gtest.h"
#include "lib_timing.h"

namespace {

constexpr uint64_t MAX_U64 = ~0ULL;

TEST(FormatHex64, LowHalfOnlyHasNoPadding) {
    EXPECT_STREQ(format_hex64(0), "0x0");
    EXPECT_STREQ(format_hex64(0xa), "0xa");
    EXPECT_STREQ(format_hex64(0xdeadbeefULL), "0xdeadbeef");
    EXPECT_STREQ(format_hex64(0xffffffffULL), "0xffffffff");
}

TEST(FormatHex64, HighHalfIsFollowedByAnEightDigitLowHalf) {
    EXPECT_STREQ(format_hex64(1ULL << 32), "0x100000000");
    EXPECT_STREQ(format_hex64(0x123400000005ULL), "0x123400000005");
    EXPECT_STREQ(format_hex64(0xABCDEF0012345678ULL), "0xabcdef0012345678");
    EXPECT_STREQ(format_hex64(MAX_U64), "0xffffffffffffffff");
}

TEST(FormatSize, UnscaledValuesEndInASpace) {
    EXPECT_STREQ(format_size(1), "1.0000 ");
    EXPECT_STREQ(format_size(99), "99.0000 ");
    EXPECT_STREQ(format_size(100), "100.00 ");
    EXPECT_STREQ(format_size(512), "512.00 ");
}

TEST(FormatSize, ValuesAbove512AreScaledBy1024) {
    EXPECT_STREQ(format_size(513), "0.5010K");
    EXPECT_STREQ(format_size(1024), "1.0000K");
    EXPECT_STREQ(format_size(102400), "100.00K");
    EXPECT_STREQ(format_size(524288), "512.00K");
    EXPECT_STREQ(format_size(524289), "0.5000M");
    EXPECT_STREQ(format_size(1048576), "1.0000M");
    EXPECT_STREQ(format_size(3ULL << 30), "3.0000G");
    EXPECT_STREQ(format_size(5ULL << 40), "5.0000T");
    EXPECT_STREQ(format_size(7ULL << 50), "7.0000P");
    EXPECT_STREQ(format_size(1ULL << 60), "1.0000E");
    EXPECT_STREQ(format_size(MAX_U64), "16.0000E");
}

TEST(FormatSize, ZeroIsTheConstantZeroText) {
    const char* zero = format_size(0);
    EXPECT_STREQ(zero, "0");
    EXPECT_EQ(zero, format_size(0));
}

TEST(FormatRing, TenResultsStayIntactAndTheEleventhReusesTheFirst) {
    const char* texts[10];
    std::set<const char*> distinct;
    for (int i = 0; i < 10; ++i) {
        texts[i] = i % 2 == 0 ? format_hex64(static_cast<uint64_t>(i)) : format_size(i);
        distinct.insert(texts[i]);
    }
    EXPECT_EQ(distinct.size(), 10U);
    for (int i = 0; i < 10; ++i) {
        const std::string expected =
            i % 2 == 0 ? "0x" + std::to_string(i) : std::to_string(i) + ".0000 ";
        EXPECT_EQ(texts[i], expected) << "result " << i;
    }
    const char* eleventh = format_hex64(0xbeef);
    EXPECT_EQ(eleventh, texts[0]);
    EXPECT_STREQ(texts[0], "0xbeef");
    EXPECT_STREQ(texts[1], "1.0000 ");
}

TEST(FormatRing, FormattingZeroStillTakesARingBuffer) {
    const char* first = format_hex64(1);
    for (int i = 0; i < 9; ++i) format_size(0);
    const char* after_ten = format_hex64(2);
    EXPECT_EQ(after_ten, first);
    EXPECT_STREQ(first, "0x2");
}

TEST(LastCharacter, ReturnsTheByteBeforeTheTerminatingZero) {
    EXPECT_EQ(last_character("x"), 'x');
    EXPECT_EQ(last_character("10kb"), 'b');
    EXPECT_EQ(last_character("a b "), ' ');
    EXPECT_EQ(last_character("caf\xe9"), 0xe9);  // unsigned, not sign-extended
    EXPECT_EQ(last_character("\xff"), 255);
}

TEST(LastCharacter, EmptyTextGivesZeroAndReadsNothingBeforeIt) {
    const char preceded[] = "q";  // "q" then the terminating zero
    EXPECT_EQ(last_character(preceded + 1), 0);
    // An allocation of exactly one byte: a read before it trips the sanitizer.
    char* alone = static_cast<char*>(malloc(1));
    ASSERT_NE(alone, nullptr);
    alone[0] = '\0';
    EXPECT_EQ(last_character(alone), 0);
    free(alone);
}

TEST(ParseSize, UpperCaseSuffixesArePowersOfTen) {
    EXPECT_EQ(parse_size("10K"), 10000U);
    EXPECT_EQ(parse_size("7M"), 7000000U);
    EXPECT_EQ(parse_size("3G"), 3000000000ULL);
}

TEST(ParseSize, LowerCaseSuffixesArePowersOfTwo) {
    EXPECT_EQ(parse_size("10k"), 10240U);
    EXPECT_EQ(parse_size("10m"), 10485760U);
    EXPECT_EQ(parse_size("3g"), 3221225472ULL);
}

TEST(ParseSize, PlainNumbersAndOtherLastCharactersHaveNoMultiplier) {
    EXPECT_EQ(parse_size("10"), 10U);
    EXPECT_EQ(parse_size("0"), 0U);
    EXPECT_EQ(parse_size("012"), 12U);  // decimal, not octal
    EXPECT_EQ(parse_size("0x10"), 0U);  // the number ends at the x
    EXPECT_EQ(parse_size("10kb"), 10U);
    EXPECT_EQ(parse_size("10T"), 10U);
    EXPECT_EQ(parse_size("4096 bytes"), 4096U);
}

TEST(ParseSize, OnlyTheLastCharacterOfTheWholeTextCounts) {
    EXPECT_EQ(parse_size("10 k"), 10240U);
    EXPECT_EQ(parse_size("2 and more M"), 2000000U);
    EXPECT_EQ(parse_size("5k "), 5U);
}

TEST(ParseSize, TextWithoutANumberGivesZero) {
    EXPECT_EQ(parse_size("abc"), 0U);
    EXPECT_EQ(parse_size("k"), 0U);
    EXPECT_EQ(parse_size(""), 0U);
    EXPECT_EQ(parse_size("   "), 0U);
    EXPECT_EQ(parse_size("-"), 0U);
}

TEST(ParseSize, LeadingBlanksAndSignsAreReadAsTheConversionReadsThem) {
    EXPECT_EQ(parse_size("  42"), 42U);
    EXPECT_EQ(parse_size("\t\n8k"), 8192U);
    EXPECT_EQ(parse_size("+7"), 7U);
    // A negative number is negated in unsigned arithmetic.
    EXPECT_EQ(parse_size("-1"), MAX_U64);
    EXPECT_EQ(parse_size("-2K"), 0ULL - 2000ULL);
}

TEST(ParseSize, ProductsWrapModulo2To64) {
    EXPECT_EQ(parse_size("18446744073709551615k"), 18446744073709550592ULL);  // 2^64 - 1024
    EXPECT_EQ(parse_size("20000000000G"), 1553255926290448384ULL);            // 2 * 10^19 - 2^64
    EXPECT_EQ(parse_size("17179869184g"), 0U);                                // 2^34 * 2^30
    // A number beyond 64 bits reads as the largest value, as the conversion does.
    EXPECT_EQ(parse_size("99999999999999999999"), MAX_U64);
}

}  // namespace
