// Text and numbers from the outside, in process: a broken byte, markup and a
// terminal's controls made harmless, and numbers read decimal only.
#include <gtest/gtest.h>

#include <string>

#include "decimal.h"
#include "escape.h"

namespace {

const std::string kFffd = "\xEF\xBF\xBD";

TEST(StationText, InvalidUtf8BecomesReplacementCharacters) {
    EXPECT_EQ(utf8_repaired("plain ascii"), "plain ascii");
    EXPECT_EQ(utf8_repaired("\xC3\xA9t\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x93\xA1"),
              "\xC3\xA9t\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x93\xA1")
        << "two-, three- and four-byte characters stay";
    const std::pair<std::string, std::string> broken[] = {
        {"a\xFFz", "a" + kFffd + "z"},                        // a byte no character starts with
        {"a\xC3", "a" + kFffd},                               // cut short at the end
        {"\xC0\x80", kFffd + kFffd},                          // an overlong NUL
        {"\xE0\x80\xAF", kFffd + kFffd + kFffd},              // an overlong '/'
        {"\xED\xA0\x80", kFffd + kFffd + kFffd},              // a surrogate
        {"\xF4\x90\x80\x80", kFffd + kFffd + kFffd + kFffd},  // above U+10FFFF
        {"\xE2\x82z", kFffd + kFffd + "z"},                   // a sequence broken off
    };
    for (const auto& [in, out] : broken) EXPECT_EQ(utf8_repaired(in), out) << in;
}

TEST(StationText, MarkupHoldsOnlyWhatXmlAndHtmlAllow) {
    EXPECT_EQ(markup_escaped("<a href=\"x\">R&D's</a>"),
              "&lt;a href=&quot;x&quot;&gt;R&amp;D&#39;s&lt;/a&gt;");
    EXPECT_EQ(markup_escaped("]]><![CDATA["), "]]&gt;&lt;![CDATA[");
    EXPECT_EQ(markup_escaped("tab\tline\ncr\r"), "tab\tline\ncr\r");
    const std::pair<std::string, std::string> refused[] = {
        {std::string("\x00", 1), kFffd},          // NUL
        {"\x01\x1B", kFffd + kFffd},              // C0 controls
        {"\x7F", kFffd},                          // DEL
        {"\xC2\x85", kFffd},                      // a C1 control
        {"\xEF\xBF\xBE", kFffd},                  // U+FFFE
        {"\xEF\xBF\xBF", kFffd},                  // U+FFFF
        {"\xEF\xB7\x90", kFffd},                  // U+FDD0
        {"\xF4\x8F\xBF\xBF", kFffd},              // U+10FFFF
        {"\xED\xBF\xBF", kFffd + kFffd + kFffd},  // a surrogate
    };
    for (const auto& [in, out] : refused) EXPECT_EQ(markup_escaped("<" + in), "&lt;" + out);
    EXPECT_EQ(markup_escaped("\xEF\xBF\xBD ok"), "\xEF\xBF\xBD ok") << "U+FFFD itself is fine";
}

TEST(StationText, NothingReachesATerminalThatSteersIt) {
    EXPECT_EQ(terminal_safe("SN-\x1B[31mred\x07"), "SN-\\x1b[31mred\\x07");
    EXPECT_EQ(terminal_safe("a\nb\tc\rd\x7F"), "a\\nb\\tc\\rd\\x7f");
    EXPECT_EQ(terminal_safe("\xC2\x9B"
                            "2J"),
              "\\u{9b}2J")
        << "CSI as one C1 character";
    EXPECT_EQ(terminal_safe("caf\xC3\xA9 \xFF"), "caf\xC3\xA9 " + kFffd);
}

TEST(StationMeasure, OnlyDecimalFiniteNumbersAreNumbers) {
    const std::pair<const char*, double> numbers[] = {
        {"12", 12},         {"-3.5", -3.5},
        {"+4e2", 400},      {".5", 0.5},
        {"5.", 5},          {"0", 0},
        {"-0.0", -0.0},     {"0e-999", 0},
        {"1E-300", 1e-300}, {"123456789012345678901234567890", 1.2345678901234568e29}};
    for (const auto& [text, value] : numbers) {
        const std::optional<double> v = decimal_number(text);
        ASSERT_TRUE(v.has_value()) << text;
        EXPECT_DOUBLE_EQ(*v, value) << text;
    }
    for (const char* text : {"", "-", ".", "0x10", "0x1p3", "1e-999", "-1e-999", "1e999", "inf",
                             "nan", "NaN", "1.2.3", " 1", "1 ", "1e", "1e+", "++1", "1,5", "١"}) {
        EXPECT_FALSE(decimal_number(text).has_value()) << text;
    }
}

}  // namespace
