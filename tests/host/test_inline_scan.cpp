// The scanner that finds &gridloom(...) calls in pages, and the CSV helpers of the host.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "inline_scan.h"

namespace gridloom::host {
namespace {

struct Found {
  std::string written;  // the page text the call covers
  std::string args;
  std::size_t line;
  bool balanced;
  bool operator==(const Found&) const = default;
};

std::ostream& operator<<(std::ostream& out, const Found& f) {
  return out << "{" << f.written << " | " << f.args << " | line " << f.line
             << (f.balanced ? "" : " | unbalanced") << "}";
}

std::vector<Found> Scan(std::string_view page) {
  std::vector<Found> found;
  for (const InlineCall& call : FindInlineCalls(page)) {
    found.push_back({std::string(page.substr(call.begin, call.end - call.begin)),
                     std::string(call.args), call.line, call.balanced});
  }
  return found;
}

struct ScanCase {
  const char* name;
  std::string page;
  std::vector<Found> expected;
};

class ScanTest : public testing::TestWithParam<ScanCase> {};

TEST_P(ScanTest, FindsCalls) { EXPECT_EQ(Scan(GetParam().page), GetParam().expected); }

INSTANTIATE_TEST_SUITE_P(
    Pages, ScanTest,
    testing::Values(
        ScanCase{"none", "<p>no call &amp; gridloom(x)</p>", {}},
        ScanCase{"one",
                 "<p>&gridloom(\"a.csv\",\"b.ini\")</p>",
                 {{"&gridloom(\"a.csv\",\"b.ini\")", "\"a.csv\",\"b.ini\"", 1, true}}},
        ScanCase{"empty arguments", "&gridloom()", {{"&gridloom()", "", 1, true}}},
        ScanCase{"parenthesis inside quotes",
                 "&gridloom(\"a).csv\")x)",
                 {{"&gridloom(\"a).csv\")", "\"a).csv\"", 1, true}}},
        ScanCase{"doubled quote inside quotes",
                 "&gridloom(\"a\"\")\"\".csv\")",
                 {{"&gridloom(\"a\"\")\"\".csv\")", "\"a\"\")\"\".csv\"", 1, true}}},
        ScanCase{"first closing parenthesis ends unquoted arguments",
                 "&gridloom(a(b).csv)",
                 {{"&gridloom(a(b)", "a(b", 1, true}}},
        ScanCase{"line of each call, arguments over two lines",
                 "x\n&gridloom(a)\r\n\n y &gridloom(\"b\nc\") &gridloom(d)",
                 {{"&gridloom(a)", "a", 2, true},
                  {"&gridloom(\"b\nc\")", "\"b\nc\"", 4, true},
                  {"&gridloom(d)", "d", 5, true}}},
        ScanCase{"no closing parenthesis",
                 "a\n&gridloom(\"x.csv\"\nmore",
                 {{"&gridloom(", "", 2, false}}},
        ScanCase{"unclosed quote swallows the parenthesis; later call still found",
                 "&gridloom(\"x.csv)\n&gridloom(y)",
                 {{"&gridloom(", "", 1, false}, {"&gridloom(y)", "y", 2, true}}},
        ScanCase{"keyword without parenthesis, other case",
                 "&gridloom \"a\" &Gridloom(a) &gridloom",
                 {}},
        ScanCase{"Shift_JIS text around a call",
                 "\x95\x5C\x82\xCC&gridloom(\"\x95\x5C.csv\")\x82\xA0",
                 {{"&gridloom(\"\x95\x5C.csv\")", "\"\x95\x5C.csv\"", 1, true}}}),
    [](const testing::TestParamInfo<ScanCase>& info) {
      std::string name;
      for (const char* p = info.param.name; *p; ++p) name += std::isalnum(*p) ? *p : '_';
      return name;
    });

TEST(CsvFileName, FieldZeroByTheCsvRules) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"\"a.csv\",\"b.ini\"", "a.csv"},
      {"a.csv,b.ini", "a.csv"},
      {"", ""},
      {",b.ini", ""},
      {"\"a,b.csv\",x", "a,b.csv"},
      {"\"a\"\"b.csv\"", "a\"b.csv"},
      {"\"a\"b.csv\",x", "a\"b.csv"},  // a quote before another byte stays
      {"\"a.csv", "a.csv"},             // unclosed: to the end
      {" \"a.csv\",x", " \"a.csv\""},   // a blank first: a plain field
      {"a.csv\r\nb", "a.csv"},
      {"\"a\r\nb.csv\"", "a\r\nb.csv"},
      {"\"a.csv\"\nx", "a.csv"},
      {"\r\na.csv", ""},
      {std::string("a\0b", 3), "a"},  // the plug-in gets a C string
  };
  for (const auto& [argText, expected] : cases) {
    EXPECT_EQ(CsvFileName(argText), expected) << "argument text: " << argText;
  }
}

TEST(ArgumentText, QuotesEachNameAndRoundTrips) {
  const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
      {{"a.csv"}, "\"a.csv\""},
      {{"a.csv", "b.ini"}, "\"a.csv\",\"b.ini\""},
      {{"x\"y,z.csv"}, "\"x\"\"y,z.csv\""},
      {{""}, "\"\""},
  };
  for (const auto& [names, expected] : cases) {
    const std::string text = ArgumentText(names);
    EXPECT_EQ(text, expected);
    EXPECT_EQ(CsvFileName(text), names[0]);
  }
}

}  // namespace
}  // namespace gridloom::host
