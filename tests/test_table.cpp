// MyGridLoom: tag settings from the INI file, loading the CSV file, rendering and escaping.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "table/Mygridloom.h"
#include "table/read_rows.h"
#include "table/Myinifile.h"
#include "block_sink.h"
#include "table/html_escape.h"
#include "plugin_calls.h"
#include "reference.h"
#include "temp_dir.h"

namespace gridloom {

namespace {

// The fourteen tags and four flags the table read, through its sections.
std::vector<std::string> TagsOf(const MyGridLoom& table) {
  std::vector<std::string> tags;
  for (const TagSection& section : MyGridLoom::kTagSections) tags.push_back(table.*section.open);
  for (const TagSection& section : MyGridLoom::kTagSections) tags.push_back(table.*section.close);
  return tags;
}

std::vector<bool> FlagsOf(const MyGridLoom& table) {
  std::vector<bool> flags;
  for (const TagSection& section : MyGridLoom::kTagSections) {
    if (section.use != nullptr) flags.push_back(table.*section.use);
  }
  return flags;
}
using testsupport::TempDir;
using Tags = std::vector<std::string>;

const Tags kDefaultTags = {"<table>", "<tr>", "", "", "", "", "<td>",
                           "</table>", "</tr>", "", "", "", "", "</td>"};

// kDefaultTags with some entries replaced: {index, value}.
Tags DefaultsWith(std::initializer_list<std::pair<int, std::string>> changes) {
  Tags tags = kDefaultTags;
  for (const auto& [index, value] : changes) tags[static_cast<std::size_t>(index)] = value;
  return tags;
}

enum TagIndex { kTableOpen, kRowOpen, kRow1Open, kRowXOpen, kCol1Open, kColXOpen, kEtcOpen,
                kTableClose, kRowClose, kRow1Close, kRowXClose, kCol1Close, kColXClose,
                kEtcClose };

struct TagCase {
  const char* name;
  const char* ini;  // null: no INI file
  Tags tags;
  std::vector<bool> flags;
};

const TagCase kTagCases[] = {
    {"no_ini_file", nullptr, kDefaultTags, {false, false, false, false}},
    {"header_row_only",
     "[tdRow1]\r\nopen=<th>\r\nclose=</th>\r\n",
     DefaultsWith({{kRow1Open, "<th>"}, {kRow1Close, "</th>"}}),
     {true, false, false, false}},
    {"some_sections",
     "[table]\r\nopen=<table border=\"1\">\r\n[tdColX]\r\nopen=<td class=\"last\">\r\n"
     "close=</td>\r\n[unknown]\r\nopen=<x>\r\n",
     DefaultsWith({{kTableOpen, "<table border=\"1\">"}, {kColXOpen, "<td class=\"last\">"},
                   {kColXClose, "</td>"}}),
     {false, false, false, true}},
    {"empty_values_replace_defaults",
     "[table]\nopen=\nclose=\n[tdEtc]\nopen=\nclose=\n",
     DefaultsWith({{kTableOpen, ""}, {kTableClose, ""}, {kEtcOpen, ""}, {kEtcClose, ""}}),
     {false, false, false, false}},
    {"only_open_key", "[tdRowX]\nopen=<td class=\"sum\">\n",
     DefaultsWith({{kRowXOpen, "<td class=\"sum\">"}}), {false, true, false, false}},
    {"only_close_key", "[tdCol1]\nclose=</th>\n", DefaultsWith({{kCol1Close, "</th>"}}),
     {false, false, false, false}},
    {"quoted_values",
     "[tableRow]\nopen=\"<tr class=\"odd\">\"\nclose='</tr>'\n[tdEtc]\nopen=\"<td>\n",
     DefaultsWith({{kRowOpen, "<tr class=\"odd\">"}, {kRowClose, "</tr>"}, {kEtcOpen, "\"<td>"}}),
     {false, false, false, false}},
    {"names_without_case_and_blanks",
     "[ TABLEROW ]\r\n  OPEN  =  <tr>  \r\n[tdrow1]\r\nOpen=<th>\r\n",
     DefaultsWith({{kRow1Open, "<th>"}}), {true, false, false, false}},
    {"shift_jis_value", "[table]\nopen=<caption>\x95\x5C\x8E\xA6</caption>\n",
     DefaultsWith({{kTableOpen, "<caption>\x95\x5C\x8E\xA6</caption>"}}),
     {false, false, false, false}},
};

class TagSettings : public ::testing::TestWithParam<TagCase> {};

TEST_P(TagSettings, ReadFromTheIniFile) {
  const TagCase& c = GetParam();
  TempDir dir;
  const std::string ini = c.ini ? dir.Write("param.ini", c.ini) : dir.Path("none.ini");
  const MyGridLoom table(dir.Path("missing.csv"), ini);
  EXPECT_EQ(TagsOf(table), c.tags);
  EXPECT_EQ(FlagsOf(table), c.flags);
  EXPECT_FALSE(table.IsCreated()) << "tags are read even when the CSV file is missing";
}

INSTANTIATE_TEST_SUITE_P(Ini, TagSettings, ::testing::ValuesIn(kTagCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(IniPaths, PathEndingInBackslashGivesDefaults) {
  TempDir dir;
  dir.Write("param.ini", "[table]\nopen=<x>\n");
  const MyGridLoom table(dir.Path("missing.csv"), dir.path() + "\\");
  EXPECT_EQ(TagsOf(table), kDefaultTags);
}

TEST(IniPaths, BackslashesSeparateFolders) {
  TempDir dir;
  dir.Write("conf/param.ini", "[table]\nopen=<x>\n");
  const MyGridLoom table(dir.Path("missing.csv"), dir.path() + "\\conf\\param.ini");
  EXPECT_EQ(TagsOf(table)[kTableOpen], "<x>");
}

// Values of every length around the buffer sizes, plain and wholly in quotes (which go: the
// profile reader answers a quoted value that the buffer holds but for its closing quote one
// character short, and size - 2, not size - 1).
TEST(MyIniFileRead, LongValuesComeBackWhole) {
  TempDir dir;
  std::string ini = "[s]\n";
  const std::size_t lengths[] = {253, 254, 255, 256, 300, 509, 510, 511, 512, 767, 20000};
  const auto key = [](std::size_t n, bool quoted) {
    return std::string(quoted ? "q" : "k").append(std::to_string(n));
  };
  for (std::size_t n : lengths) {
    ini.append(key(n, false)).append("=").append(n, 'v').append("\n");
    ini.append(key(n, true)).append("=\"").append(n, 'v').append("\"\n");
  }
  const MyIniFile file(dir.Write("long.ini", ini));
  for (std::size_t n : lengths) {
    for (const bool quoted : {false, true}) {
      EXPECT_EQ(file.ReadString("s", key(n, quoted).c_str(), "D"), std::string(n, 'v'))
          << n << " bytes" << (quoted ? ", quoted" : "");
    }
  }
  EXPECT_EQ(file.ReadString("s", "absent", ""), "");
  EXPECT_EQ(file.ReadString("s", "absent", "fallback"), "fallback");
  EXPECT_EQ(file.ReadString("nosection", "k254", "fallback"), "fallback");
}

// --- escaping ---------------------------------------------------------------------------

std::string SixPasses(std::string text) {
  MyGridLoom::ReplaceAll(text, "&", "&amp;");
  MyGridLoom::ReplaceAll(text, "<", "&lt;");
  MyGridLoom::ReplaceAll(text, ">", "&gt;");
  MyGridLoom::ReplaceAll(text, "\"", "&quot;");
  MyGridLoom::ReplaceAll(text, "\r\n", "<br>");
  MyGridLoom::ReplaceAll(text, std::string(1, '\0'), "&#xFFFD;");
  return text;
}

TEST(Escape, Cases) {
  const std::pair<std::string, std::string> cases[] = {
      {"", ""},
      {"&", "&amp;"},
      {"&amp;", "&amp;amp;"},
      {"&lt;", "&amp;lt;"},
      {"<br>", "&lt;br&gt;"},
      {"say \"hi\"", "say &quot;hi&quot;"},
      {"it's", "it's"},
      {"line1\r\nline2", "line1<br>line2"},
      {"a\nb\rc", "a\nb\rc"},
      {"\r\r\n", "\r<br>"},
      {"&&", "&amp;&amp;"},
      {"\x95\x5C\x83\x3C", "\x95\x5C\x83&lt;"},
      {std::string("a\0b", 3), "a&#xFFFD;b"},  // what an HTML parser makes of a NUL
      {std::string("\0\0", 2), "&#xFFFD;&#xFFFD;"},
  };
  for (const auto& [in, out] : cases) {
    EXPECT_EQ(MyGridLoom::Escape(in), out) << in;
    EXPECT_EQ(SixPasses(in), out) << in;
  }
}

// The escaping of a table's cells, 16 bytes at a time or byte by byte, over padded text, in a
// code page with the lead bytes of leads.
template <bool kSimd, bool kDbcs>
std::string WrittenEscaped(const std::string& text, const reference::Leads& leadBytes = {}) {
  const LeadBytes leads([&](unsigned char byte) { return leadBytes[byte]; });
  const EscapeScan scan(leads);
  std::string padded = text + std::string(kEscapePadding, '\x81');  // lead bytes after it
  std::string out(8 * text.size() + 32, '#');
  out.resize(static_cast<std::size_t>(
      WriteEscaped<kSimd, kDbcs>(out.data(), padded.data(), text.size(), scan) - out.data()));
  return out;
}

// The one-pass escaping must give what the six passes give, and with lead bytes what the
// reference gives, on any text, in every kind: byte by byte and 16 bytes at a time, in code
// pages with and without lead bytes (932's, and one range as 936's).
TEST(Escape, OnePassEqualsTheReference) {
  std::mt19937 random(12345);
  const char alphabet[] = {'&', '<', '>', '"', '\r', '\n', 'a', ';', '\x81', '\0', '\'',
                           '\x81', '\x9F', '\xA1', '\xE0', '\\', '1', '\x81', '@'};
  reference::Leads oneRange{};
  for (unsigned b = 0x81; b <= 0xFE; ++b) oneRange[b] = true;
  for (int round = 0; round < 20000; ++round) {
    std::string text(random() % 40, ' ');
    for (char& c : text) c = alphabet[random() % sizeof alphabet];
    const std::string expected = SixPasses(text);
    ASSERT_EQ(MyGridLoom::Escape(text), expected);
    ASSERT_EQ(reference::Escape(text), expected);
    ASSERT_EQ((WrittenEscaped<false, false>(text)), expected) << "byte by byte";
    ASSERT_EQ((WrittenEscaped<true, false>(text)), expected) << "16 bytes at a time";
    for (const reference::Leads& leads : {reference::Leads932(), oneRange}) {
      const std::string lone = reference::Escape(text, leads);
      ASSERT_EQ((WrittenEscaped<false, true>(text, leads)), lone) << "byte by byte, leads";
      ASSERT_EQ((WrittenEscaped<true, true>(text, leads)), lone) << "16 bytes at a time, leads";
      ASSERT_EQ(EscapeGrowthOf(text, LeadBytes([&](unsigned char b) { return leads[b]; })),
                lone.size() - text.size());
    }
  }
}

TEST(ReplaceAll, SearchResumesBehindTheReplacement) {
  struct Case {
    std::string text, pattern, replacement, result;
  };
  const Case cases[] = {
      {"aaa", "a", "aa", "aaaaaa"},
      {"&amp;", "&", "&amp;", "&amp;amp;"},
      {"aaaa", "aa", "b", "bb"},
      {"abcabc", "bc", "", "aa"},
      {"xyz", "q", "r", "xyz"},
      {"\r\n\r\n", "\r\n", "<br>", "<br><br>"},
  };
  for (const auto& c : cases) {
    std::string viaStrings = c.text, viaPointers = c.text;
    MyGridLoom::ReplaceAll(viaStrings, c.pattern, c.replacement);
    MyGridLoom::ReplaceAll(viaPointers, c.pattern.c_str(), c.replacement.c_str());
    EXPECT_EQ(viaStrings, c.result);
    EXPECT_EQ(viaPointers, c.result);
  }
}

// --- loading and rendering --------------------------------------------------------------

struct TableCase {
  const char* name;
  std::string csv;
  std::string ini;  // empty: no INI file
  std::string html;
};

const TableCase kTables[] = {
    {"two_lines_crlf", "a,b\r\nc,d\r\n", "",
     "<table><tr><td>a</td><td>b</td></tr><tr><td>c</td><td>d</td></tr></table>"},
    {"no_final_line_end", "a,b\r\nc,d", "",
     "<table><tr><td>a</td><td>b</td></tr><tr><td>c</td><td>d</td></tr></table>"},
    {"one_line_no_line_end", "a", "", "<table><tr><td>a</td></tr></table>"},
    {"empty_file", "", "", "<table></table>"},
    {"first_line_empty", "\r\na,b\r\n", "", "<table></table>"},
    {"stops_at_empty_line", "a,b\r\n\r\nc,d\r\n", "",
     "<table><tr><td>a</td><td>b</td></tr></table>"},
    {"empty_last_line", "a,b\r\nc,d\r\n\r\n", "",
     "<table><tr><td>a</td><td>b</td></tr><tr><td>c</td><td>d</td></tr></table>"},
    {"ragged_rows", "a\r\nb,c,d\r\n", "",
     "<table><tr><td>a</td><td></td><td></td></tr><tr><td>b</td><td>c</td><td>d</td></tr>"
     "</table>"},
    {"longer_last_line_widens", "a\r\nb,c,d", "",
     "<table><tr><td>a</td><td></td><td></td></tr><tr><td>b</td><td>c</td><td>d</td></tr>"
     "</table>"},
    {"comma_before_line_end_adds_no_cell", "a,\r\nb,c\r\n", "",
     "<table><tr><td>a</td><td></td></tr><tr><td>b</td><td>c</td></tr></table>"},
    {"lf_and_cr_line_ends", "a\nb\rc", "",
     "<table><tr><td>a</td></tr><tr><td>b</td></tr><tr><td>c</td></tr></table>"},
    {"escaped_cells", "\"<b>&\"\"x\"\"</b>\",\"l1\r\nl2\"\r\n", "",
     "<table><tr><td>&lt;b&gt;&amp;&quot;x&quot;&lt;/b&gt;</td><td>l1<br>l2</td></tr></table>"},
    {"cr_and_lf_in_neighbouring_fields", "\"a\r\",\"\",\"\nb\"\r\n\"x\r\"\r\n\"\ny\",\"\r\n\"\r\n", "",
     "<table><tr><td>a\r</td><td></td><td>\nb</td></tr><tr><td>x\r</td><td></td><td></td></tr>"
     "<tr><td>\ny</td><td><br></td><td></td></tr></table>"},
    {"long_cells_escaped_in_blocks",
     "\"" + std::string(40, 'x') + "&\"\"" + std::string(17, '<') + "\"\"z\r\nw\"\r\n", "",
     "<table><tr><td>" + std::string(40, 'x') + "&amp;&quot;" +
         [] { std::string s; for (int i = 0; i < 17; ++i) s += "&lt;"; return s; }() +
         "&quot;z<br>w</td></tr></table>"},
    {"one_empty_quoted_field", "\"\"\r\n", "", "<table><tr><td></td></tr></table>"},
    {"commas_and_line_ends_quoted", "\"a,b,c,d\r\nx\",1\r\ny\r\n", "",
     "<table><tr><td>a,b,c,d<br>x</td><td>1</td></tr><tr><td>y</td><td></td></tr></table>"},
    {"ctrl_z_is_data", "a\x1A,b", "", "<table><tr><td>a\x1A</td><td>b</td></tr></table>"},
    // (A byte order mark that starts the file makes a UTF-8 table, see Utf8Table.)
    {"bom_later_is_data", "a\r\n\xEF\xBB\xBFh\r\n", "",
     "<table><tr><td>a</td></tr><tr><td>\xEF\xBB\xBFh</td></tr></table>"},
    // (Tags of other lengths than <td>'s: the first and last rows are sized apart.)
    {"all_sections_three_by_three", "1,2,3\r\n4,5,6\r\n7,8,9\r\n",
     "[tdRow1]\nopen=<th h>\nclose=</th>\n[tdRowX]\nopen=<tf>\nclose=</tf >\n"
     "[tdCol1]\nopen=<c1>\nclose=</c1>\n[tdColX]\nopen=<cx>\nclose=</cx>\n",
     "<table><tr><th h>1</th><th h>2</th><th h>3</th></tr>"
     "<tr><c1>4</c1><td>5</td><cx>6</cx></tr>"
     "<tr><tf>7</tf ><tf>8</tf ><tf>9</tf ></tr></table>"},
    {"one_row_first_row_wins", "a,b\r\n",
     "[tdRow1]\nopen=<th>\nclose=</th>\n[tdRowX]\nopen=<tf>\nclose=</tf>\n",
     "<table><tr><th>a</th><th>b</th></tr></table>"},
    {"one_row_last_row_only", "a,b\r\n", "[tdRowX]\nopen=<tf>\nclose=</tf>\n",
     "<table><tr><tf>a</tf><tf>b</tf></tr></table>"},
    {"one_column_first_column_wins", "a\r\nb\r\n",
     "[tdCol1]\nopen=<c1>\nclose=</c1>\n[tdColX]\nopen=<cx>\nclose=</cx>\n",
     "<table><tr><c1>a</c1></tr><tr><c1>b</c1></tr></table>"},
    {"missing_cell_in_last_column", "a,b\r\nc\r\n", "[tdColX]\nopen=<cx>\nclose=</cx>\n",
     "<table><tr><td>a</td><cx>b</cx></tr><tr><td>c</td><cx></cx></tr></table>"},
    {"close_without_open_is_ignored", "a\r\nb\r\n", "[tdRow1]\nclose=</th>\n",
     "<table><tr><td>a</td></tr><tr><td>b</td></tr></table>"},
    {"open_without_close", "a,b\r\n", "[tdCol1]\nopen=<th>\n",
     "<table><tr><th>a<td>b</td></tr></table>"},
    {"empty_etc_tags", "a,b\r\n", "[tdEtc]\nopen=\nclose=\n", "<table><tr>ab</tr></table>"},
    {"markup_in_tags_as_stored", "x\r\n",
     "[table]\nopen=<table class=\"grid\" data-x='1'>\n[tdEtc]\nopen=<td style=\"a&b\">\n",
     "<table class=\"grid\" data-x='1'><tr><td style=\"a&b\">x</td></tr></table>"},
    {"empty_table_tags", "x\r\n", "[table]\nopen=\nclose=\n[tableRow]\nopen=\nclose=\n",
     "<td>x</td>"},
    {"rows_shorter_than_a_block_copy", "a\r\nb\r\nc\r\nd,e\r\nf\r\n",
     "[table]\nopen=\nclose=\n[tableRow]\nopen=\nclose=\n[tdEtc]\nopen=\nclose=|\n",
     "a||b||c||d|e|f||"},
    {"shift_jis_cells", "\x95\x5C,\x83\x5C\x83\x74\x83\x67\r\n", "",
     "<table><tr><td>\x95\x5C</td><td>\x83\x5C\x83\x74\x83\x67</td></tr></table>"},
};

class TableRendering : public ::testing::TestWithParam<TableCase> {};

// With each set of instructions this processor has, plain included.
TEST_P(TableRendering, GivesTheHtml) {
  const TableCase& c = GetParam();
  TempDir dir;
  const std::string csv = dir.Write("t.csv", c.csv);
  const std::string ini = c.ini.empty() ? dir.Path("none.ini") : dir.Write("t.ini", c.ini);
  for (const Isa isa : AvailableIsas()) {
    SCOPED_TRACE(IsaName(isa));
    MyGridLoom table(csv, ini, isa);
    ASSERT_TRUE(table.IsCreated());
    testsupport::BlockSink blocks, whole;
    table.WriteHtml(blocks, 3);
    EXPECT_EQ(blocks.Text(), c.html) << "rendered in blocks";
    EXPECT_EQ(std::string(table.GetHtml()), c.html);
    EXPECT_EQ(std::string(table.GetHtml()), c.html) << "asked twice, the same answer";
    table.WriteHtml(whole);
    EXPECT_EQ(whole.Text(), c.html) << "in blocks once rendered whole";

    // Read in two parts side by side, cut anywhere, and rendered side by side, in place or in
    // blocks of any size: the same.
    for (std::size_t cut = 1; cut < c.csv.size(); ++cut) {
      const std::vector<TableRows> parts = ReadRows(c.csv, cut, isa, table.Leads());
      table.Render(parts);
      EXPECT_EQ(table.Html(), c.html) << "cut at " << cut;
      for (const std::size_t blockSize : {1, 16, 100}) {
        testsupport::BlockSink sink;
        table.Render(parts, &sink, blockSize);
        std::string faults;
        EXPECT_EQ(sink.Text(&faults), c.html)
            << "cut at " << cut << ", blocks of " << blockSize << ": " << faults;
      }
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Csv, TableRendering, ::testing::ValuesIn(kTables),
                         [](const auto& info) { return std::string(info.param.name); });

// Broken bytes never break the table: a NUL in a cell, and a lead byte of the ANSI code page
// without a trail byte (at the end of its cell, or before a byte below 0x40), become
// &#xFFFD;, so that no character of the conversion takes a byte of the markup. In each code
// page with lead bytes, with each set of instructions, read whole and in two parts.
struct BrokenCase {
  const char* name;
  unsigned codePage;
  std::string csv;
  std::string html;  // the rows, between <table> and </table>
};

std::string Rows(std::initializer_list<std::initializer_list<std::string>> rows) {
  std::string html;
  for (const auto& row : rows) {
    html += "<tr>";
    for (const std::string& cell : row) html += "<td>" + cell + "</td>";
    html += "</tr>";
  }
  return html;
}

using namespace std::string_literals;
const std::string kFffd = "&#xFFFD;";

const BrokenCase kBroken[] = {
    {"nul_at_start_middle_end", 932, "\0a,b\0c,d\0\r\n"s,
     Rows({{kFffd + "a", "b" + kFffd + "c", "d" + kFffd}})},
    {"nuls_in_a_row_and_quoted", 932, "\"\0\0\",\"x\0\r\n\0y\"\r\n"s,
     Rows({{kFffd + kFffd, "x" + kFffd + "<br>" + kFffd + "y"}})},
    {"nul_in_a_long_cell", 1252, std::string(40, 'a') + '\0' + std::string(40, 'b') + "\r\n",
     Rows({{std::string(40, 'a') + kFffd + std::string(40, 'b')}})},
    {"a_cell_of_nuls", 1252, std::string(40, '\0') + "\r\n",  // eight times as long
     Rows({{[] { std::string s; for (int i = 0; i < 40; ++i) s += "&#xFFFD;"; return s; }()}})},
    {"lone_lead_at_cell_end", 932, "a\x81,b\r\n", Rows({{"a" + kFffd, "b"}})},
    {"lone_lead_before_markup", 932, "\x81&,\x81<,\x81>,\"\x81\"\"\"\r\n",
     Rows({{kFffd + "&amp;", kFffd + "&lt;", kFffd + "&gt;", kFffd + "&quot;"}})},
    {"lone_lead_before_line_ends_and_digits", 932, "\"\x81\r\nx\",\"\x81\ny\",\x81" "12\r\n",
     Rows({{kFffd + "<br>x", kFffd + "\ny", kFffd + "12"}})},
    {"characters_stay", 932, "\x95\x5C,\x81\x81,a\x83\x8B \r\n",
     Rows({{"\x95\x5C", "\x81\x81", "a\x83\x8B "}})},
    {"an_odd_run_ends_alone", 932, "\x81\x81\x81,\x95\x5C\x81\r\n",
     Rows({{"\x81\x81" + kFffd, "\x95\x5C" + kFffd}})},
    {"a_long_cell_ending_alone", 932, std::string(30, 'a') + "\x95\x5C\x81" + "\r\n",
     Rows({{std::string(30, 'a') + "\x95\x5C" + kFffd}})},
    {"gbk_lone_lead", 936, "a\xA1,\xA1\xA1\xA1,\xB1\xED<\r\n",
     Rows({{"a" + kFffd, "\xA1\xA1" + kFffd, "\xB1\xED&lt;"}})},
    {"korean_lone_lead", 949, "\xB0\xA1\xB0,\xC9\"\"\r\n",
     Rows({{"\xB0\xA1" + kFffd, kFffd + "&quot;&quot;"}})},
    {"big5_lone_lead", 950, "\x81\r\n\xA4\x40\xA4,x\r\n",
     Rows({{kFffd, ""}, {"\xA4\x40" + kFffd, "x"}})},
    {"no_lead_bytes_in_1252", 1252, "a\x81,\xA1<\r\n", Rows({{"a\x81", "\xA1&lt;"}})},
};

class BrokenBytes : public ::testing::TestWithParam<BrokenCase> {};

TEST_P(BrokenBytes, BecomeReplacementCharacters) {
  const BrokenCase& c = GetParam();
  const testsupport::AnsiCodePage ansi(c.codePage);
  if (!ansi.ok()) GTEST_SKIP() << "the ANSI code page is the system's";
  TempDir dir;
  const std::string csv = dir.Write("t.csv", c.csv);
  const std::string html = "<table>" + c.html + "</table>";
  for (const Isa isa : AvailableIsas()) {
    SCOPED_TRACE(IsaName(isa));
    MyGridLoom table(csv, dir.Path("none.ini"), isa);
    testsupport::BlockSink blocks;
    table.WriteHtml(blocks, 5);
    EXPECT_EQ(blocks.Text(), html) << "rendered in blocks";
    EXPECT_EQ(std::string(table.GetHtml()), html);
  }
}

INSTANTIATE_TEST_SUITE_P(Csv, BrokenBytes, ::testing::ValuesIn(kBroken),
                         [](const auto& info) { return std::string(info.param.name); });

// A CSV file that starts with the UTF-8 byte order mark is a UTF-8 table: the mark is no cell
// text, the cells stay UTF-8 (no lead bytes: a broken sequence cannot take markup), the tags
// are converted from the ANSI code page to UTF-8, and the HTML is UTF-8.
TEST(Utf8Table, AByteOrderMarkMakesTheTableUtf8) {
  struct Case {
    const char* name;
    unsigned codePage;
    std::string csv, ini, html;
    unsigned htmlCodePage;
  };
  const std::string bom = "\xEF\xBB\xBF";
  const std::string headIni = "[tdRow1]\r\nopen=<th title=\"\x95\x5C\">\r\nclose=</th>\r\n";
  const Case cases[] = {
      {"ascii", 932, bom + "a,b\r\n", "", "<table>" + Rows({{"a", "b"}}) + "</table>", CP_UTF8},
      {"japanese_cells_and_tags", 932, bom + "\xE8\xA1\xA8,\"\xE3\x81\x82\r\n\xE3\x81\x84\"\r\n",
       headIni,
       "<table><tr><th title=\"\xE8\xA1\xA8\">\xE8\xA1\xA8</th><th title=\"\xE8\xA1\xA8\">"
       "\xE3\x81\x82<br>\xE3\x81\x84</th></tr></table>",
       CP_UTF8},
      {"broken_sequences_and_nul", 932, bom + "\xE3\x81,\x81<,a\0\r\n"s, "",
       "<table>" + Rows({{"\xE3\x81", "\x81&lt;", "a" + kFffd}}) + "</table>", CP_UTF8},
      {"a_mark_and_nothing", 932, bom, "", "<table></table>", CP_UTF8},
      {"under_65001", 65001, bom + "\xE8\xA1\xA8\r\n", "[table]\r\nopen=<table id=\"\xE8\xA1\xA8\">\r\n",
       "<table id=\"\xE8\xA1\xA8\">" + Rows({{"\xE8\xA1\xA8"}}) + "</table>", CP_UTF8},
      {"no_mark_no_change", 932, "\xEF\xBB,x\r\n", "", "<table>" + Rows({{"\xEF\xBB", "x"}}) + "</table>",
       CP_ACP},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const testsupport::AnsiCodePage ansi(c.codePage);
    if (!ansi.ok()) continue;  // on Windows: the system's code page only
    TempDir dir;
    const std::string ini = c.ini.empty() ? dir.Path("none.ini") : dir.Write("t.ini", c.ini);
    MyGridLoom table(dir.Write("t.csv", c.csv), ini);
    ASSERT_TRUE(table.IsCreated());
    EXPECT_EQ(table.HtmlCodePage(), c.htmlCodePage);
    EXPECT_EQ(std::string(table.GetHtml()), c.html);
  }
}

// A CR at the end of one field and an LF at the start of the next are no line break, however
// many fields lie between two such places, within a record or across records.
TEST(TableRendering, LineBreaksSplitAtAnyDistance) {
  constexpr std::size_t kColumns = 71;
  std::string csv, html = "<table>";
  const auto row = [&](const std::vector<std::pair<std::string, std::string>>& cells) {
    html += "<tr>";
    for (std::size_t i = 0; i < kColumns; ++i) {
      if (i < cells.size()) csv += (i == 0 ? "" : ",") + cells[i].first;
      html += "<td>" + (i < cells.size() ? cells[i].second : "") + "</td>";
    }
    csv += "\r\n";
    html += "</tr>";
  };
  for (std::size_t distance = 0; distance + 2 <= kColumns; ++distance) {
    std::vector<std::pair<std::string, std::string>> cells(distance, {"x", "x"});
    cells.push_back({"\"a\r\"", "a\r"});
    cells.push_back({"\"\nb\"", "\nb"});
    row(cells);
  }
  row({{"\"c\r\nd\"", "c<br>d"}, {"\"e\r\"", "e\r"}});
  row({{"\"\nf\"", "\nf"}, {"g", "g"}});
  html += "</table>";

  TempDir dir;
  MyGridLoom table(dir.Write("t.csv", csv), dir.Path("none.ini"));
  EXPECT_EQ(std::string(table.GetHtml()), html);
}

// Two parts are kept where the first part ends at the start of one of the second part's first
// records; the second part's records before that (read from the middle of a record) go.
// Where no such start comes (the second part met an empty line first), one part is left.
TEST(TableLoading, TwoPartsWhereTheyMeetAtARecordStart) {
  struct Case {
    std::string csv;
    std::size_t cut;
    std::vector<std::size_t> rows;  // per part
  };
  const Case cases[] = {
      {"a,b\r\nc,d\r\n", 5, {1, 1}},
      {"a,b\nc,d\ne", 4, {1, 2}},
      {"a,b\r\nc,d\r\n", 2, {1, 1}},                // "b" goes
      {"\"x\r\ny\",1\r\nc\r\n", 4, {1, 1}},         // in a quoted line end
      {"\"p\nq\nr\ns\",1\nc\nd\n", 3, {1, 2}},       // three records go
      {"a,b\r\nc,d\r\n", 4, {2}},                   // between CR and LF: an empty line
      {"\"x\n\ny\",1\nc\n", 3, {2}},                  // an empty line in a quoted field
      {"a\r\n\r\nc\r\nd\r\n", 3, {1, 0}},  // the second part starts with the empty line
      {"a\r\n\r\nc\r\nd\r\n", 5, {1}},     // the first part meets it
  };
  for (const Case& c : cases) {
    const std::vector<TableRows> parts = ReadRows(c.csv, c.cut);
    std::vector<std::size_t> rows;
    for (const TableRows& part : parts) rows.push_back(part.size());
    EXPECT_EQ(rows, c.rows) << c.csv << " cut at " << c.cut;
  }
}

// Files large enough to be read in two parts: one cut where a record starts, one whose cut
// falls in a quoted field with line ends that spans the middle.
TEST(TableLoading, LargeFilesReadInTwoParts) {
  for (const bool quotedMiddle : {false, true}) {
    std::string csv, expected = "<table>";
    const auto add = [&](const std::string& stored, const std::string& cell) {
      csv += stored + "\r\n";
      expected += "<tr><td>" + cell + "</td></tr>";
    };
    for (int r = 0; csv.size() < 3'000'000; ++r) {
      if (quotedMiddle && r == 40'000) {  // about 1.2 MB in: from there past the middle
        std::string stored = "\"", cell;
        for (int line = 0; line < 40'000; ++line) {
          stored += "l\"\"" + std::to_string(line) + "\r\n";
          cell += "l&quot;" + std::to_string(line) + "<br>";
        }
        add(stored + "\"", cell);
      }
      add("row " + std::to_string(r) + " &", "row " + std::to_string(r) + " &amp;");
    }
    expected += "</table>";
    TempDir dir;
    MyGridLoom table(dir.Write("big.csv", csv), dir.Path("none.ini"));
    testsupport::BlockSink blocks;
    table.WriteHtml(blocks);
    EXPECT_EQ(blocks.Text(), expected) << "in blocks, quoted middle: " << quotedMiddle;
    EXPECT_EQ(std::string(table.GetHtml()), expected) << "quoted middle: " << quotedMiddle;
  }
}

TEST(TableLoading, FilesThatCannotBeOpened) {
  TempDir dir;
  const std::string paths[] = {dir.Path("missing.csv"), dir.path(), ""};
  for (const std::string& path : paths) {
    MyGridLoom table(path, dir.Path("none.ini"));
    EXPECT_FALSE(table.IsCreated()) << path;
    EXPECT_STREQ(table.GetHtml(), "") << path;
    testsupport::BlockSink sink;
    table.WriteHtml(sink);
    std::string faults;
    EXPECT_EQ(sink.Text(&faults), "") << path;
    EXPECT_EQ(faults, "") << "no part was announced: " << path;
  }
}

TEST(TableLoading, LargeTableMatchesCellByCell) {
  TempDir dir;
  std::string csv, expected = "<table>";
  for (int r = 0; r < 3000; ++r) {
    expected += "<tr>";
    for (int k = 0; k < 7; ++k) {
      std::string cell = std::to_string(r);
      cell.append(k % 3 == 0 ? "&<" : "c").append(static_cast<std::size_t>(r % 50), 'x');
      csv.append(k ? "," : "").append(cell);
      expected += "<td>" + MyGridLoom::Escape(cell) + "</td>";
    }
    csv += "\r\n";
    expected += "</tr>";
  }
  expected += "</table>";
  MyGridLoom table(dir.Write("big.csv", csv), dir.Path("none.ini"));
  EXPECT_EQ(std::string(table.GetHtml()), expected);
}

}  // namespace
}  // namespace gridloom
