#include "Settings.hpp"

#include <gtest/gtest.h>

#include "Text.hpp"

namespace orvane {
namespace {

TEST(Settings, PortTextAcceptsOnlyDigitsWithAnOptionalPlusUpTo65535) {
  const std::pair<const char*, int> good[] = {
      {"8788", 8788}, {"+9000", 9000},  {"0009000", 9000},
      {"0", 0},       {"65535", 65535}, {"000000000000000000000065535", 65535}};
  for (const auto& [text, port] : good)
    EXPECT_EQ(parsePort(text), port) << text;
  for (const char* bad : {"", "+", "65536", "99999999999999999999", " 8788", "8788 ", "-1", "++1",
                          "87a8", "0x10", "8788\n", "１２３"})
    EXPECT_FALSE(parsePort(bad).has_value()) << '"' << bad << '"';
}

TEST(Settings, VersionAndTokenStartValues) {
  EXPECT_EQ(version(), "1.2.0");
  EXPECT_EQ(token(), "");
  setToken("alpha-beta-gamma-123456");
  EXPECT_EQ(token(), "alpha-beta-gamma-123456");
}

TEST(Text, Utf8Validation) {
  EXPECT_TRUE(isValidUtf8("plain ascii"));
  EXPECT_TRUE(isValidUtf8("caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x92\x93"));
  for (const char* bad :
       {"\xC3" /* truncated */, "\xC0\xAF" /* overlong */, "\xED\xA0\x80" /* surrogate */,
        "\xF4\x90\x80\x80" /* > U+10FFFF */, "\xFF"})
    EXPECT_FALSE(isValidUtf8(bad)) << bad;
}

TEST(Text, TrimRemovesUnicodeSpaceAndOptionallyLineBreaks) {
  // No-break space, em space and ideographic space around the text.
  EXPECT_EQ(trimWhitespace("\xC2\xA0\xE2\x80\x83 a b\t\xE3\x80\x80", false), "a b");
  EXPECT_EQ(trimWhitespace("\r\n x \n\n", true), "x");
  EXPECT_EQ(trimWhitespace("\r\n x \n\n", false), "\r\n x \n\n");
  EXPECT_EQ(trimWhitespace(" \t ", false), "");
  // A multi-byte character that is not white space stays whole.
  EXPECT_EQ(trimWhitespace(" \xC3\xA9 ", false), "\xC3\xA9");
}

}  // namespace
}  // namespace orvane
