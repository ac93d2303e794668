// The scanner that finds &gridloom(...) calls in pages, and the CSV helpers of the host.
#include <gtest/gtest.h>

#include <string>
#include <tuple>
#include <vector>

#include "inline_scan.h"
#include "plugin/call_rules.h"

namespace gridloom::host {
namespace {

struct Found {
  std::string written;  // the page text the call covers
  std::string args;
  std::size_t line;
  std::string malformed;  // empty for a call with its ")"
  bool operator==(const Found&) const = default;
};

std::ostream& operator<<(std::ostream& out, const Found& f) {
  return out << "{" << f.written << " | " << f.args << " | line " << f.line << " | "
             << f.malformed << "}";
}

std::vector<Found> Scan(std::string_view page) {
  std::vector<Found> found;
  for (const InlineCall& call : FindInlineCalls(page)) {
    found.push_back({std::string(page.substr(call.begin, call.end - call.begin)),
                     std::string(call.args), call.line, std::string(call.malformed)});
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
                 {{"&gridloom(\"a.csv\",\"b.ini\")", "\"a.csv\",\"b.ini\"", 1, ""}}},
        ScanCase{"empty arguments", "&gridloom()", {{"&gridloom()", "", 1, ""}}},
        ScanCase{"parenthesis and < inside quotes",
                 "&gridloom(\"a)<.csv\")x)",
                 {{"&gridloom(\"a)<.csv\")", "\"a)<.csv\"", 1, ""}}},
        ScanCase{"doubled quote inside quotes",
                 "&gridloom(\"a\"\")\"\".csv\")",
                 {{"&gridloom(\"a\"\")\"\".csv\")", "\"a\"\")\"\".csv\"", 1, ""}}},
        ScanCase{"first closing parenthesis ends unquoted arguments",
                 "&gridloom(a(b).csv)",
                 {{"&gridloom(a(b)", "a(b", 1, ""}}},
        ScanCase{"lines counted through LF, CR LF and lone CR",
                 "x\n&gridloom(a)\r\n\n y\r&gridloom(b)\r\r\n&gridloom(c)",
                 {{"&gridloom(a)", "a", 2, ""},
                  {"&gridloom(b)", "b", 5, ""},
                  {"&gridloom(c)", "c", 7, ""}}},
        ScanCase{"line end before the parenthesis; a later one is not taken",
                 "<p>&gridloom(\"t.csv\"\r\nPrices (tax included)",
                 {{"&gridloom(\"t.csv\"", "", 1, "the line ends"}}},
        ScanCase{"line end inside quotes",
                 "&gridloom(\"b\nc\") &gridloom(d)",
                 {{"&gridloom(\"b", "", 1, "the line ends"}, {"&gridloom(d)", "d", 2, ""}}},
        ScanCase{"markup before the parenthesis",
                 "<p>&gridloom(\"t.csv\"</p> (x)",
                 {{"&gridloom(\"t.csv\"", "", 1, "a \"<\" comes"}}},
        ScanCase{"another call before the parenthesis, even inside quotes",
                 "&gridloom(\"x.csv &gridloom(y) &gridloom(z",
                 {{"&gridloom(\"x.csv ", "", 1, "another &gridloom( comes"},
                  {"&gridloom(y)", "y", 1, ""},
                  {"&gridloom(z", "", 1, "the page ends"}}},
        ScanCase{"calls inside comments are left alone, lines still counted",
                 "<!-- old:\n&gridloom(\"gone.csv\") -->\n&gridloom(a)<!--&gridloom(b)",
                 {{"&gridloom(a)", "a", 3, ""}}},
        ScanCase{"a call's argument text may hold <!--",
                 "&gridloom(\"<!--\") &gridloom(b)",
                 {{"&gridloom(\"<!--\")", "\"<!--\"", 1, ""}, {"&gridloom(b)", "b", 1, ""}}},
        ScanCase{"keyword without parenthesis, other case",
                 "&gridloom \"a\" &Gridloom(a) &gridloom",
                 {}},
        ScanCase{"Shift_JIS text around a call",
                 "\x95\x5C\x82\xCC&gridloom(\"\x95\x5C.csv\")\x82\xA0",
                 {{"&gridloom(\"\x95\x5C.csv\")", "\"\x95\x5C.csv\"", 1, ""}}}),
    [](const testing::TestParamInfo<ScanCase>& info) {
      std::string name;
      for (const char* p = info.param.name; *p; ++p) name += std::isalnum(*p) ? *p : '_';
      return name;
    });

using call::ArgumentField;
using call::ArgumentText;

// The names of a call, and the paths the plug-in opens: each joined to the base directory.
TEST(ArgumentField, FieldsByTheCsvRules) {
  const std::vector<std::tuple<std::string, std::string, std::string>> cases = {
      // argument text, field 0 (the CSV file), field 1 (the INI file)
      {"\"a.csv\",\"b.ini\"", "a.csv", "b.ini"},
      {"a.csv,b.ini", "a.csv", "b.ini"},
      {"", "", ""},
      {",b.ini", "", "b.ini"},
      {"\"a,b.csv\",x", "a,b.csv", "x"},
      {"\"a\"\"b.csv\"", "a\"b.csv", ""},
      {"\"a.csv", "a.csv", ""},            // unclosed: to the end
      {" \"a.csv\",x", " \"a.csv\"", "x"},  // a blank first: a plain field
      {"a.csv\r\nb", "a.csv", ""},          // the first record only
      {"\"a\r\nb.csv\",c", "a\r\nb.csv", "c"},
      {std::string("a,b\0c", 5), "a", "b"},  // the plug-in gets a C string
  };
  for (const auto& [argText, csv, ini] : cases) {
    EXPECT_EQ(ArgumentField(argText, 0), csv) << "argument text: " << argText;
    EXPECT_EQ(ArgumentField(argText, 1), ini) << "argument text: " << argText;
    const call::Files files = call::FilesOf(argText, "..\\pages");
    EXPECT_EQ(files.csvName, csv) << "argument text: " << argText;
    EXPECT_EQ(files.iniName, ini) << "argument text: " << argText;
    EXPECT_EQ(files.csv, "..\\pages\\" + csv) << "argument text: " << argText;
    EXPECT_EQ(files.ini, "..\\pages\\" + ini) << "argument text: " << argText;
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
    EXPECT_EQ(ArgumentField(text, 0), names[0]);
  }
}

}  // namespace
}  // namespace gridloom::host
