// The code-page conversion: the fast path against the one-character plain path, on text
// that mixes ASCII runs with every kind of multi-byte sequence, at every buffer size.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "platform/src/codepage_internal.h"

namespace gridloom::winapi {
namespace {

std::string RandomText(std::mt19937& random, UINT codePage) {
  // Pieces that matter to each code page, and plain ASCII runs long enough for whole blocks.
  static const std::vector<std::string> dbcs = {
      "\x82\xA0", "\x95\x5C", "\x81", "\x81\x0A", "\x81\x3C", "\xA1", "\x80", "\xFD",
      "\xEF\x40", std::string("\x81\0", 2), "\x83", "\xE0\xE0"};
  static const std::vector<std::string> utf8 = {
      "\xE8\xA1\xA8", "\xF0\x9F\x98\x80", "\xC0\xAF", "\xED\xA0\x80", "\xE3\x81", "\xE3",
      "\x80",         "\xF4\x90\x80\x80", "\xC2\xA0", "\xFF",         std::string("\0", 1)};
  const auto& pieces = codePage == CP_UTF8 ? utf8 : dbcs;
  std::string text;
  const int count = static_cast<int>(random() % 24);
  for (int i = 0; i < count; ++i) {
    const auto kind = random() % 4;
    if (kind == 0) {
      text.append(random() % 40, static_cast<char>('a' + random() % 26));
    } else if (kind == 1 && codePage != CP_UTF8) {
      // A run of high bytes, mostly lead bytes, now and then a NUL or a low trail byte:
      // where the pairs fall depends on the length of the runs.
      for (auto n = random() % 80; n > 0; --n) {
        const auto pick = random() % 16;
        text += static_cast<char>(pick == 0 ? 0 : pick == 1 ? 0x40 + random() % 0x40
                                                            : 0x80 + random() % 0x80);
      }
    } else {
      text += pieces[random() % pieces.size()];
    }
  }
  return text;
}

class CodePageDecode : public testing::TestWithParam<Isa> {};

// Every set of instructions this processor has, plain included.
INSTANTIATE_TEST_SUITE_P(Isa, CodePageDecode,
                         testing::ValuesIn(AvailableIsas().begin(), AvailableIsas().end()),
                         [](const auto& info) { return std::string(IsaName(info.param)); });

TEST_P(CodePageDecode, FastPathGivesWhatThePlainPathGives) {
  std::mt19937 random(2026);
  for (const UINT codePage : {932u, 936u, 949u, 950u, 65001u, 1252u}) {
    const CodePage* page = FindCodePage(codePage);
    ASSERT_NE(page, nullptr) << codePage;
    for (int round = 0; round < 3000; ++round) {
      const std::string text = RandomText(random, codePage);
      const auto* bytes = reinterpret_cast<const unsigned char*>(text.data());
      bool overflow = false;
      std::u16string expected(text.size() + 1, u'\0');
      expected.resize(DecodePlain(*page, bytes, text.size(), expected.data(), expected.size(),
                                  overflow));
      ASSERT_FALSE(overflow);
      ASSERT_EQ(Decode(*page, bytes, text.size(), nullptr, 0, overflow, GetParam()),
                expected.size());
      // Exactly enough room, more room, and one unit too few.
      for (const std::size_t room : {expected.size(), expected.size() + 20, expected.size() - 1}) {
        if (room > expected.size() + 20) continue;  // expected empty: no room below it
        std::u16string actual(room, u'#');
        const std::size_t written =
            Decode(*page, bytes, text.size(), actual.data(), room, overflow, GetParam());
        if (room < expected.size()) {
          EXPECT_TRUE(overflow);
        } else {
          ASSERT_FALSE(overflow);
          ASSERT_EQ(actual.substr(0, written), expected) << "code page " << codePage;
        }
      }
    }
  }
}

// Only the ANSI code pages of Windows, whose conversion is checked against Wine's in full, are
// taken: not one iconv does not know, nor Johab (1361), whose Hangul iconv decodes otherwise,
// nor an OEM code page (437, 850), never a system's ANSI code page.
TEST(AnsiCodePage, OnlyCodePagesConvertedAsWindowsDoes) {
  const UINT before = GetACP();
  for (const UINT refused : {4242u, 1361u, 437u, 850u, 0u})
    EXPECT_FALSE(GridloomSetACP(refused)) << refused;
  EXPECT_EQ(GetACP(), before);
  std::vector<UINT> accepted(GridloomAcceptedCodePages(nullptr, 0));
  ASSERT_EQ(GridloomAcceptedCodePages(accepted.data(), static_cast<UINT>(accepted.size())),
            accepted.size());
  EXPECT_EQ(accepted, (std::vector<UINT>{874, 932, 936, 949, 950, 1250, 1251, 1252, 1253, 1254,
                                         1255, 1256, 1257, 1258, 65001}));
  for (const UINT page : accepted) {
    EXPECT_TRUE(GridloomSetACP(page)) << page;
    EXPECT_EQ(GetACP(), page);
  }
  GridloomSetACP(before);
}

TEST(CodePageEncode, RoundTripsWhatTheCodePageHas) {
  const CodePage* page = FindCodePage(932);
  ASSERT_NE(page, nullptr);
  const std::string text = "a\\~\x82\xA0\x95\x5C\xA1\x81\x45\xFA\x40";
  std::u16string wide(text.size(), u'\0');
  bool overflow = false;
  wide.resize(Decode(*page, reinterpret_cast<const unsigned char*>(text.data()), text.size(),
                     wide.data(), wide.size(), overflow));
  std::string back;
  Encode(*page, wide, back);
  EXPECT_EQ(back, text);
  back.clear();
  Encode(*page, u"\u00E9\u20AC", back);
  EXPECT_EQ(back, "e?") << "a best fit, then a character 932 lacks";
}

}  // namespace
}  // namespace gridloom::winapi
