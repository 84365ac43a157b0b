#include "platform_strings.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace zentrel::platform {
namespace {

std::u16string Convert(const std::string& bytes) {
    const int needed = NarrowToWide(bytes.c_str(), -1, nullptr, 0);
    if (needed <= 0) return u"<failed>";
    std::u16string wide(static_cast<std::size_t>(needed), u'?');
    EXPECT_EQ(NarrowToWide(bytes.c_str(), -1, wide.data(), needed), needed);
    EXPECT_EQ(wide.back(), u'\0') << "the terminator is converted too";
    wide.pop_back();
    return wide;
}

TEST(NarrowToWide, WellFormedUtf8OfEveryLength) {
    EXPECT_EQ(Convert("C:\\scans\\page1_pers.png"), u"C:\\scans\\page1_pers.png");
    EXPECT_EQ(Convert("caf\xC3\xA9"), u"caf\u00E9");                   // two bytes
    EXPECT_EQ(Convert("\xE5\x90\x8D\xE2\x82\xAC"), u"\u540D\u20AC");   // three bytes
    EXPECT_EQ(Convert("\xF0\x9F\x98\x80"), std::u16string(u"\xD83D\xDE00"));  // surrogate pair
    EXPECT_EQ(Convert("\xF4\x8F\xBF\xBF"), std::u16string(u"\xDBFF\xDFFF"));  // U+10FFFF
    EXPECT_EQ(Convert(""), u"");
}

TEST(NarrowToWide, EachMaximalIllFormedSubpartBecomesOneReplacement) {
    // Lone continuation bytes and bytes that never start a sequence: one each.
    EXPECT_EQ(Convert("a\x80\xBF" "b"), u"a\uFFFD\uFFFDb");
    EXPECT_EQ(Convert("\xC0\xAF\xFF"), u"\uFFFD\uFFFD\uFFFD");
    // A truncated sequence is one replacement, and the byte that broke it
    // starts afresh.
    EXPECT_EQ(Convert("\xE2\x82" "A"), u"\uFFFD" "A");
    EXPECT_EQ(Convert("\xF0\x9F\x98"), u"\uFFFD");
    // Surrogates, overlongs and values above U+10FFFF fail at their second byte.
    EXPECT_EQ(Convert("\xED\xA0\x80"), u"\uFFFD\uFFFD\uFFFD");
    EXPECT_EQ(Convert("\xE0\x80\xAF"), u"\uFFFD\uFFFD\uFFFD");
    EXPECT_EQ(Convert("\xF4\x90\x80\x80"), u"\uFFFD\uFFFD\uFFFD\uFFFD");
    // Unicode's own example: 61 F1 80 80 E1 80 C2 62 80 63 80 BF 64.
    EXPECT_EQ(Convert("\x61\xF1\x80\x80\xE1\x80\xC2\x62\x80\x63\x80\xBF\x64"),
              u"a\uFFFD\uFFFD\uFFFDb\uFFFDc\uFFFD\uFFFDd");
}

TEST(NarrowToWide, ExplicitLengthAndShortDestination) {
    const char* text = "ab\xC3\xA9";
    char16_t wide[8] = {};
    // With an explicit length the terminator is converted only when counted.
    EXPECT_EQ(NarrowToWide(text, 4, wide, 8), 3);
    EXPECT_EQ(NarrowToWide(text, 5, wide, 8), 4);
    EXPECT_EQ(wide[3], u'\0');
    EXPECT_EQ(NarrowToWide(text, -1, wide, 3), 0) << "a destination too small fails";
    EXPECT_EQ(NarrowToWide(nullptr, -1, nullptr, 0), 0);
}

TEST(BoundedStrings, CopyAndAppendReportWhatDoesNotFit) {
    char buffer[8];
    ASSERT_TRUE(CopyString(buffer, sizeof buffer, "abc"));
    EXPECT_STREQ(buffer, "abc");
    ASSERT_TRUE(AppendString(buffer, sizeof buffer, "defg"));  // 7 characters and terminator
    EXPECT_STREQ(buffer, "abcdefg");

    EXPECT_FALSE(AppendString(buffer, sizeof buffer, "h"));
    EXPECT_STREQ(buffer, "abcdefg") << "a refused append leaves the buffer as it was";
    EXPECT_FALSE(CopyString(buffer, sizeof buffer, "12345678"));
    EXPECT_STREQ(buffer, "abcdefg");
    EXPECT_FALSE(CopyString(buffer, sizeof buffer, nullptr));
    EXPECT_FALSE(CopyString(nullptr, sizeof buffer, "a"));
    EXPECT_FALSE(CopyString(buffer, 0, ""));

    char unterminated[4] = {'w', 'x', 'y', 'z'};
    EXPECT_FALSE(AppendString(unterminated, sizeof unterminated, ""))
        << "a destination without a terminator inside its size is refused";
}

}  // namespace
}  // namespace zentrel::platform
