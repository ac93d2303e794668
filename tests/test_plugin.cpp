// The plug-in through its exports, as a host calls it: texts, BSTR ownership, the inline call.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <string>

#include "plugin_calls.h"
#include "temp_dir.h"

namespace {

using gridloom::testsupport::AnsiCodePage;
using gridloom::testsupport::Plugin;
using gridloom::testsupport::Take;
using gridloom::testsupport::TempDir;
using gridloom::testsupport::Widened;

const std::u16string& kFailure = gridloom::testsupport::kFailureComment;

#if defined(__SANITIZE_ADDRESS__)
// A request of 4 GB fails as malloc's does (a reallocation case below), and the test goes on.
extern "C" const char* __asan_default_options() { return "allocator_may_return_null=1"; }
#endif

#ifndef _WIN32  // the stand-ins' BSTRs; on Windows they are oleaut32's

TEST(BstrLayout, LengthPrefixTextAndNul) {
  BSTR text = SysAllocString(u"gridloom");
  ASSERT_NE(text, nullptr);
  std::uint32_t bytes;
  std::memcpy(&bytes, reinterpret_cast<const char*>(text) - 4, 4);
  EXPECT_EQ(bytes, 16u);
  EXPECT_EQ(SysStringLen(text), 8u);
  EXPECT_EQ(text[8], u'\0');
  SysFreeString(text);

  BSTR room = SysAllocStringLen(nullptr, 3);
  ASSERT_NE(room, nullptr);
  EXPECT_EQ(SysStringLen(room), 3u);
  EXPECT_EQ(room[3], u'\0');
  SysFreeString(room);

  EXPECT_EQ(SysAllocString(nullptr), nullptr);
  EXPECT_EQ(SysStringLen(nullptr), 0u);
  SysFreeString(nullptr);
  EXPECT_EQ(SysAllocStringLen(nullptr, 0x7FFFFFFF), nullptr) << "too long for the prefix";
}

TEST(BstrLayout, Reallocation) {
  BSTR none = nullptr;
  ASSERT_TRUE(SysReAllocStringLen(&none, u"xy", 2)) << "a null BSTR is allocated";
  EXPECT_EQ(Take(none), u"xy");
  EXPECT_FALSE(SysReAllocStringLen(nullptr, u"xy", 2));

  struct Case {
    int from;  // units into the old string; -1: null (the units kept); -2: other text
    UINT length;
    std::u16string expected;
  };
  const Case cases[] = {
      {0, 3, u"abc"}, {2, 4, u"cdef"}, {3, 0, u""}, {-2, 7, u"1234567"}, {-1, 2, u"ab"},
  };
  for (const auto& [from, length, expected] : cases) {
    BSTR text = SysAllocString(u"abcdef");
    const OLECHAR* source = from == -1 ? nullptr : from == -2 ? u"1234567" : text + from;
    ASSERT_TRUE(SysReAllocStringLen(&text, source, length));
    EXPECT_EQ(text[length], u'\0');
    EXPECT_EQ(Take(text), expected) << "from " << from << ", length " << length;
  }
  BSTR text = SysAllocString(u"abc");
  EXPECT_FALSE(SysReAllocStringLen(&text, nullptr, 0x7FFFFFFF));
  EXPECT_EQ(Take(text), u"abc") << "left as it was";
  // A string that cannot grow (no room for 4 GB in a 32-bit process) stays as it was, also
  // when the new text comes from inside it.
  if (sizeof(void*) == 4) {
    for (const int from : {0, 2}) {
      BSTR big = SysAllocString(u"abcdef");
      EXPECT_FALSE(SysReAllocStringLen(&big, big + from, 0x7FFFFFFA));
      EXPECT_EQ(Take(big), u"abcdef") << "from " << from << ": left as it was";
    }
  }
}
#endif

TEST(InformationExports, FixedTexts) {
  EXPECT_EQ(Plugin().GetPluginType(), 1);
  const std::pair<GridloomTextFn, std::u16string> texts[] = {
      {Plugin().GetName, u"gridloom"},
      {Plugin().GetVersion, u"0.5.0"},
      {Plugin().GetAuthor, u"gridloom contributors"},
      {Plugin().GetSyntax, u"&gridloom(\u30D5\u30A1\u30A4\u30EB\u540D)"},
      {Plugin().GetDescription, u"CSV\u5F62\u5F0F\u306E\u30D5\u30A1\u30A4\u30EB\u304B\u3089\u8868"
                       u"\u3092\u4F5C\u6210\u3057\u307E\u3059."},
      {Plugin().GetExample, u"&gridloom(\"../data/table1.csv\",\"../param.ini\")"},
  };
  for (const auto& [get, text] : texts) {
    // A fresh BSTR on every call: the second stays valid once the first is freed (a shared
    // one would be read after its free, which the sanitizer builds report).
    BSTR first = get(), second = get();
    EXPECT_EQ(Take(first), text);
    EXPECT_EQ(Take(second), text) << "still valid";
  }
  EXPECT_EQ(Plugin().GetPluginType(), 1);
}

BSTR Inline(const char* argText, const std::string& base) {
  return Plugin().PluginInline(0, argText, 0, 0, base.c_str(), 0, 0);
}

class InlineCall : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_.Write("site/data/table1.csv", "a,b\r\n");
    dir_.Write("site/param.ini", "[tdEtc]\nopen=<td class=\"c\">\n");
    site_ = dir_.Path("site/pages");
    std::filesystem::create_directories(site_);
  }
  TempDir dir_;
  std::string site_;
};

TEST_F(InlineCall, JoinsEachNameToTheBaseWithOneBackslash) {
  const std::u16string withIni = u"<table><tr><td class=\"c\">a</td><td class=\"c\">b</td></tr></table>";
  const std::u16string defaults = u"<table><tr><td>a</td><td>b</td></tr></table>";
  struct Case {
    std::string argText, base;
    std::u16string result;
  };
  const Case cases[] = {
      {"\"../data/table1.csv\",\"../param.ini\"", site_, withIni},
      {"../data/table1.csv,../param.ini", site_, withIni},
      {"\"..\\data\\table1.csv\",\"..\\param.ini\"", site_, withIni},
      {"\"../data/table1.csv\",\"../param.ini\"", site_ + "\\", withIni},  // doubled separator
      {"\"../data/table1.csv\"", site_, defaults},                          // no INI name
      {"\"../data/table1.csv\",\"../param.ini\",\"ignored\"", site_, withIni},
      {"\"../data/table1.csv\",\"../nothing.ini\"", site_, defaults},
      {"\"../data/table1.csv\"\r\n,\"../param.ini\"", site_, defaults},  // first record only
      {"\"" + dir_.Path("site/data/table1.csv") + "\"", site_, kFailure},  // still prefixed
      {"\"../data/missing.csv\",\"../param.ini\"", site_, kFailure},
      {"", site_, kFailure},
      {"\"data/table1.csv\"", "", kFailure},  // "\data/table1.csv": the root folder
  };
  for (const auto& c : cases) {
    EXPECT_EQ(Take(Inline(c.argText.c_str(), c.base)), c.result)
        << "argText " << c.argText << ", base " << c.base;
  }
}

TEST_F(InlineCall, NullPointersAreEmptyText) {
  EXPECT_EQ(Take(Plugin().PluginInline(0, nullptr, 0, 0, site_.c_str(), 0, 0)), kFailure);
  EXPECT_EQ(Take(Plugin().PluginInline(0, "\"x.csv\"", 0, 0, nullptr, 0, 0)), kFailure);
  EXPECT_EQ(Take(Plugin().PluginInline(0, nullptr, 0, 0, nullptr, 0, 0)), kFailure);
}

TEST_F(InlineCall, ReadsTheFilesAfreshOnEveryCall) {
  const std::string args = "\"../data/table1.csv\"";
  EXPECT_EQ(Take(Inline(args.c_str(), site_)), u"<table><tr><td>a</td><td>b</td></tr></table>");
  dir_.Write("site/data/table1.csv", "changed\r\n");
  EXPECT_EQ(Take(Inline(args.c_str(), site_)), u"<table><tr><td>changed</td></tr></table>");
  std::filesystem::remove(dir_.Path("site/data/table1.csv"));
  EXPECT_EQ(Take(Inline(args.c_str(), site_)), kFailure);
}

TEST_F(InlineCall, ShiftJisBecomesUtf16) {
  // 表, ソフト, a halfwidth katakana and a fullwidth space; 5C and 7E trail bytes included.
  dir_.Write("site/sjis.csv", "\x95\x5C,\x83\x5C\x83\x74\x83\x67\r\n\xB1,\x81\x40\x81\x60\r\n");
  dir_.Write("site/sjis.ini", "[tdRow1]\nopen=<th title=\"\x95\x5C\">\nclose=</th>\n");
  EXPECT_EQ(Take(Inline("\"../sjis.csv\",\"../sjis.ini\"", site_)),
            u"<table><tr><th title=\"\u8868\">\u8868</th><th title=\"\u8868\">\u30BD\u30D5\u30C8"
            u"</th></tr><tr><td>\uFF71</td><td>\u3000\uFF5E</td></tr></table>");
}

TEST_F(InlineCall, NonAsciiFileNames) {
  dir_.Write("site/\xE8\xA1\xA8.csv", "x\r\n");  // 表.csv on disk, in UTF-8
  EXPECT_EQ(Take(Inline("\"../\x95\x5C.csv\"", site_)), u"<table><tr><td>x</td></tr></table>")
      << "the Shift_JIS name is decoded before the file is opened";
}

// A NUL in a cell no longer cuts the table open: it is a replacement character. So is a lead
// byte without a trail byte, and a CSV file with the UTF-8 byte order mark is UTF-8 whatever
// the ANSI code page.
TEST_F(InlineCall, BrokenBytesAndUtf8Tables) {
  dir_.Write("site/nul-byte.csv", std::string("ab\0cd,e\x81\r\n", 10));
  dir_.Write("site/utf8.csv", "\xEF\xBB\xBF\xE8\xA1\xA8,\xE3\x81\x82\r\n");
  dir_.Write("site/sjis.ini", "[tdRow1]\nopen=<th title=\"\x95\x5C\">\nclose=</th>\n");
  EXPECT_EQ(Take(Inline("\"../nul-byte.csv\"", site_)),
            u"<table><tr><td>ab&#xFFFD;cd</td><td>e&#xFFFD;</td></tr></table>");
  for (const UINT page : {932u, 65001u}) {
    const AnsiCodePage ansi(page);
    if (!ansi.ok()) continue;  // on Windows: the system's code page only
    EXPECT_EQ(Take(Inline("\"../utf8.csv\"", site_)),
              u"<table><tr><td>\u8868</td><td>\u3042</td></tr></table>")
        << "code page " << page;
    if (page == 932) {
      EXPECT_EQ(Take(Inline("\"../utf8.csv\",\"../sjis.ini\"", site_)),
                u"<table><tr><th title=\"\u8868\">\u8868</th><th title=\"\u8868\">\u3042</th>"
                u"</tr></table>")
          << "the tags are the ANSI code page's, converted";
    }
  }
}

TEST_F(InlineCall, EmptyTableIsNoFailure) {
  dir_.Write("site/empty.csv", "");
  dir_.Write("site/bare.ini", "[table]\nopen=\nclose=\n");
  EXPECT_EQ(Take(Inline("\"../empty.csv\"", site_)), u"<table></table>");
  BSTR empty = Inline("\"../empty.csv\",\"../bare.ini\"", site_);
  ASSERT_NE(empty, nullptr) << "an empty table is an empty BSTR, not null";
  EXPECT_EQ(SysStringLen(empty), 0u);
  SysFreeString(empty);
}

// Tables large enough to be read, rendered and converted in two parts: the BSTR is the whole
// HTML converted at once, also with empty tags and cells that end in a lead byte (which
// becomes a replacement character), and with a NUL in either half.
TEST_F(InlineCall, LargeTablesAsTheWholeHtmlConverted) {
  struct Case {
    const char* name;
    std::string ini;
    std::string (*cell)(int row);  // a row's one cell, stored and as HTML
    long nulRow;                   // the row whose cell holds a NUL; -1: none
  };
  const auto shiftJis = [](int row) { return "\x95\x5C " + std::to_string(row) + " &"; };
  const auto leadLast = [](int row) { return "a" + std::to_string(row % 10) + "\x95"; };
  const Case cases[] = {
      {"shift_jis_cells", "", shiftJis, -1},
      {"parts_meet_inside_a_character", "[table]\nopen=\nclose=\n[tableRow]\nopen=\nclose=\n"
       "[tdEtc]\nopen=\nclose=\n", leadLast, -1},
      {"nul_in_the_first_half", "", shiftJis, 1000},
      {"nul_in_the_second_half", "", shiftJis, 150000},
  };
  for (const Case& c : cases) {
    const bool bare = !c.ini.empty();
    std::string csv, html = bare ? "" : "<table>";
    for (int row = 0; csv.size() < 3'000'000; ++row) {
      std::string cell = c.cell(row);
      if (row == c.nulRow) cell += std::string(1, '\0') + "after";
      csv += cell + "\r\n";
      if (const std::size_t amp = cell.find('&'); amp != std::string::npos)
        cell.insert(amp + 1, "amp;");
      if (const std::size_t nul = cell.find('\0'); nul != std::string::npos)
        cell.replace(nul, 1, "&#xFFFD;");
      if (cell.back() == '\x95') cell.replace(cell.size() - 1, 1, "&#xFFFD;");
      html += bare ? cell : "<tr><td>" + cell + "</td></tr>";
    }
    html += bare ? "" : "</table>";
    dir_.Write("site/big.csv", csv);
    dir_.Write("site/big.ini", c.ini);
    const std::u16string expected = Widened(html);
    const std::u16string result = Take(Inline("\"../big.csv\",\"../big.ini\"", site_));
    const auto differ = std::mismatch(result.begin(), result.end(), expected.begin(),
                                      expected.end());
    EXPECT_TRUE(result == expected)
        << c.name << ": " << result.size() << " units, " << expected.size()
        << " expected; they differ from unit " << (differ.first - result.begin());
  }
}

// The ANSI code page is the system's (here the host's) setting: the same bytes read as UTF-8.
TEST_F(InlineCall, FollowsTheAnsiCodePage) {
  dir_.Write("site/utf8.csv", "\xE8\xA1\xA8,\xE3\x81\x82\r\n");
  std::u16string utf8;
  {
    const AnsiCodePage ansi(CP_UTF8);
    if (!ansi.ok()) GTEST_SKIP() << "the ANSI code page is the system's";
    utf8 = Take(Inline("\"../utf8.csv\"", site_));
  }
  EXPECT_EQ(utf8, u"<table><tr><td>\u8868</td><td>\u3042</td></tr></table>");
}

}  // namespace
