// Hostile input: huge fields, rows and tables, binary garbage, long INI values, paths that
// name no ordinary file, null pointers and odd argument text. The library must answer each
// without crashing, with the right text, and the big cases within memory proportional to the
// input: each runs in a child process whose peak resident size is measured.
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <random>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "table/Mygridloom.h"
#include "plugin_calls.h"
#include "reference.h"
#include "temp_dir.h"

namespace {

namespace fs = std::filesystem;
namespace ref = gridloom::reference;

using gridloom::testsupport::Inline;
using gridloom::testsupport::Widened;
const std::u16string& kFailure = gridloom::testsupport::kFailureComment;

class TempDir : public gridloom::testsupport::TempDir {
 public:
  TempDir() : gridloom::testsupport::TempDir("gridloom-hostile") {}
};

std::u16string Ascii(const std::string& text) { return {text.begin(), text.end()}; }

// Runs work in a child process; answers whether it returned true, and its peak resident
// size in bytes.
struct ChildRun {
  bool passed;
  std::int64_t peakBytes;
};

ChildRun RunInChild(const std::function<bool()>& work) {
  std::fflush(nullptr);
  const pid_t pid = fork();
  if (pid == 0) _exit(work() ? 0 : 1);
  int status = 0;
  rusage usage{};
  if (pid < 0 || wait4(pid, &status, 0, &usage) != pid) return {false, 0};
  const bool passed = WIFEXITED(status) && WEXITSTATUS(status) == 0;
  return {passed, static_cast<std::int64_t>(usage.ru_maxrss) * 1024};
}

// Writes count copies of piece, then tail, without holding the file in memory.
void WriteRepeated(const std::string& path, const std::string& piece, std::size_t count,
                   const std::string& tail = "") {
  std::ofstream file(path, std::ios::binary | std::ios::trunc);
  std::string block;
  const std::size_t perBlock = std::max<std::size_t>(1, (1 << 20) / piece.size());
  for (std::size_t i = 0; i < perBlock; ++i) block += piece;
  for (std::size_t left = count; left > 0;) {
    const std::size_t n = std::min(left, perBlock);
    file.write(block.data(), static_cast<std::streamsize>(n * piece.size()));
    left -= n;
  }
  file << tail;
}

// ---------------------------------------------------------------------------------------------
// Big tables: the exact result, and a peak resident size within a fixed multiple of the bytes
// the call must hold (input and HTML, and the UTF-16 result at twice the HTML).

struct BigCase {
  const char* name;
  std::function<void(const std::string& path)> write;
  std::uint64_t inputBytes;
  std::uint64_t htmlBytes;  // the expected HTML: the result has as many UTF-16 units
  std::function<bool(const std::u16string& html)> check;
};

std::vector<BigCase> BigCases() {
  constexpr std::uint64_t kField = 200u << 20;
  constexpr std::uint64_t kMillion = 1000000;
  return {
      {"single field of 200 MB",
       [](const std::string& path) { WriteRepeated(path, "x", kField); }, kField,
       kField + 33,
       [](const std::u16string& html) {
         return html.size() == kField + 33 && html.starts_with(u"<table><tr><td>xx") &&
                html.ends_with(u"xx</td></tr></table>") &&
                html.find_first_not_of(u'x', 15) == 15 + kField;
       }},
      // A row long enough to be measured rather than bounded, every byte of it escaped.
      {"field of 4 MB that escaping makes five times as long",
       [](const std::string& path) { WriteRepeated(path, std::string("\0<&>", 4), kMillion); },
       4 * kMillion, 21 * kMillion + 33,
       [](const std::u16string& html) {
         const std::u16string_view piece = u"&#xFFFD;&lt;&amp;&gt;";
         if (html.size() != 21 * kMillion + 33) return false;
         for (std::size_t at = 15; at < 15 + 21 * kMillion; at += piece.size()) {
           if (std::u16string_view(html).substr(at, piece.size()) != piece) return false;
         }
         return html.starts_with(u"<table><tr><td>&#xFFFD;") && html.ends_with(u"&gt;</td></tr></table>");
       }},
      {"one row of a million fields",
       [](const std::string& path) { WriteRepeated(path, "a,", kMillion - 1, "a\r\n"); },
       2 * kMillion + 1, 10 * kMillion + 24,
       [](const std::u16string& html) {
         return html.size() == 10 * kMillion + 24 && html.starts_with(u"<table><tr><td>a</td>") &&
                html.ends_with(u"<td>a</td></tr></table>") &&
                html.find(u"<td></td>") == std::u16string::npos;
       }},
      {"a million rows of one field",
       [](const std::string& path) { WriteRepeated(path, "r\r\n", kMillion); }, 3 * kMillion,
       19 * kMillion + 15,
       [](const std::u16string& html) {
         std::size_t rows = 0;
         for (std::size_t at = 0; (at = html.find(u"<tr><td>r</td></tr>", at)) !=
                                  std::u16string::npos;
              at += 19)
           ++rows;
         return rows == kMillion && html.size() == 19 * kMillion + 15;
       }},
  };
}

class BigTable : public testing::TestWithParam<BigCase> {};

TEST_P(BigTable, AnswersExactlyWithinMemoryProportionalToTheInput) {
  const BigCase& c = GetParam();
  TempDir dir;
  c.write(dir / "big.csv");
  const std::string base = dir.path();
  const ChildRun idle = RunInChild([] { return true; });
  const ChildRun run = RunInChild([&] { return c.check(Inline("big.csv", base.c_str())); });
  EXPECT_TRUE(run.passed) << "the result is not the expected table";
  // What must be held at once: the loaded rows (the input's bytes), the HTML and the UTF-16
  // result (twice the HTML). Twice that leaves room for strings that grow by doubling; the
  // sanitizer's quarantine of freed blocks adds at most 256 MB.
  const std::int64_t held = static_cast<std::int64_t>(c.inputBytes + 3 * c.htmlBytes);
  const std::int64_t used = run.peakBytes - idle.peakBytes;
  std::printf("[ memory ] %s: peak %lld MB above an idle child, input %llu MB, HTML %llu MB\n",
              c.name, static_cast<long long>(used >> 20),
              static_cast<unsigned long long>(c.inputBytes >> 20),
              static_cast<unsigned long long>(c.htmlBytes >> 20));
  EXPECT_LE(used, 2 * held + (256 << 20));
}

INSTANTIATE_TEST_SUITE_P(Hostile, BigTable, testing::ValuesIn(BigCases()),
                         [](const auto& info) {
                           std::string name = info.param.name;
                           for (char& ch : name) ch = std::isalnum(static_cast<unsigned char>(ch)) ? ch : '_';
                           return name;
                         });

// Binary garbage, NUL bytes and all: the table of the reference reader and renderer (NULs and
// lead bytes without a trail byte as replacement characters), whole.
TEST(Hostile, BinaryGarbageGivesTheReferenceTable) {
  TempDir dir;
  std::mt19937 random(20261208);
  std::string garbage(4 << 20, '\0');
  for (char& c : garbage) {
    const unsigned value = random() % 256;
    c = static_cast<char>(value < 16 ? 0 : value);  // NULs and line ends are frequent
  }
  dir.Write("garbage.csv", garbage);
  gridloom::MyGridLoom table(dir / "garbage.csv", dir / "none.ini");
  ASSERT_TRUE(table.IsCreated());
  const std::string expected = ref::Render(ref::LoadRows(garbage), ref::Tags{}, ref::Leads932());
  EXPECT_EQ(expected.find('\0'), std::string::npos);
  EXPECT_EQ(std::string(table.GetHtml()), expected);

  EXPECT_EQ(Inline("garbage.csv", dir.path().c_str()), Widened(expected));
}

// Tables whose HTML is larger than a BSTR holds (and, in a 32-bit build, than size_t counts):
// a few MB of CSV data with long tags. The failure comment, at once, in every build.
struct TooLargeCase {
  const char* name;
  std::string piece;  // the CSV file: count copies of it
  std::size_t count;
  std::string ini;
};

class TooLargeTable : public testing::TestWithParam<TooLargeCase> {};

TEST_P(TooLargeTable, GivesTheFailureComment) {
  const TooLargeCase& c = GetParam();
  TempDir dir;
  WriteRepeated(dir / "big.csv", c.piece, c.count);
  dir.Write("big.ini", c.ini);
  EXPECT_EQ(Inline("big.csv,big.ini", dir.path().c_str()), kFailure);
}

INSTANTIATE_TEST_SUITE_P(
    Hostile, TooLargeTable,
    testing::Values(
        // One row of 1,000,001 cells of 4,295 bytes: 4.3 GB, which wraps around in 32 bits.
        TooLargeCase{"MillionCommasWithALongCellTag", ",", 1000000,
                     "[tdEtc]\r\nopen=" + std::string(4290, 'x') + "\r\n"},
        // 200,000 rows of 10 empty cells with 2 KB tags: 4.1 GB.
        TooLargeCase{"ManyRowsWithALongCellTag", ",,,,,,,,,\r\n", 200000,
                     "[tdEtc]\r\nopen=" + std::string(2048, 'y') + "\r\n"},
        // The row tags alone: 200,000 rows of 10 KB each, 2 GB of them and more.
        TooLargeCase{"ManyRowsWithALongRowTag", "a\r\n", 220000,
                     "[tableRow]\r\nopen=" + std::string(10000, 'z') + "\r\n"}),
    [](const auto& info) { return std::string(info.param.name); });

// An INI value of 1 MB is read whole, through buffers that grow by doubling.
TEST(Hostile, IniValueOfAMegabyteIsReadWhole) {
  TempDir dir;
  const std::string tag = "<table data-x=\"" + std::string(1 << 20, 'v') + "\">";
  dir.Write("t.csv", "a\r\n");
  dir.Write("t.ini", "[table]\r\nopen=" + tag + "\r\n");
  EXPECT_EQ(Inline("t.csv,t.ini", dir.path().c_str()),
            Ascii(tag + "<tr><td>a</td></tr></table>"));
}

// ---------------------------------------------------------------------------------------------
// Paths that name no ordinary file.

TEST(Hostile, DirectoryAsCsvPathGivesTheFailureComment) {
  TempDir dir;
  fs::create_directory(dir / "sub");
  EXPECT_EQ(Inline("sub", dir.path().c_str()), kFailure);
  EXPECT_EQ(Inline("", dir.path().c_str()), kFailure);  // the base directory itself
}

TEST(Hostile, DirectoryAsCsvPathLeavesTheTableNotCreated) {
  TempDir dir;
  bool created = true;
  EXPECT_NO_THROW({
    gridloom::MyGridLoom table(dir.path(), dir / "none.ini");
    created = table.IsCreated();
  });
  EXPECT_FALSE(created);
}

// One argument: the INI path is the base directory and a backslash, which names a directory;
// the tags are the defaults.
TEST(Hostile, DirectoryAsIniPathGivesTheDefaultTags) {
  TempDir dir;
  dir.Write("t.csv", "a,b\r\n");
  EXPECT_EQ(Inline("t.csv", dir.path().c_str()), u"<table><tr><td>a</td><td>b</td></tr></table>");
}

// A FIFO is read like a file once its writer has written and closed it. (A FIFO that no one
// ever writes blocks the reader in open(), as it blocks any reader.)
TEST(Hostile, FifoWithAWriterGivesItsTable) {
  TempDir dir;
  ASSERT_EQ(mkfifo((dir / "pipe.csv").c_str(), 0600), 0);
  std::thread writer([path = dir / "pipe.csv"] {
    const int fd = open(path.c_str(), O_WRONLY);
    if (fd < 0) return;
    const std::string table = "p,q\r\n";
    if (write(fd, table.data(), table.size()) < 0) std::perror("write");
    close(fd);
  });
  const std::u16string result = Inline("pipe.csv", dir.path().c_str());
  writer.join();
  EXPECT_EQ(result, u"<table><tr><td>p</td><td>q</td></tr></table>");
}

// A name whose last part is a device name of Windows names no file, on every system, even
// where such a file exists.
TEST(Hostile, DeviceNamesOfWindowsGiveTheFailureComment) {
  TempDir dir;
  for (const char* name : {"CON", "aux.csv", "NUL", "nul.txt", "com1", "COM9.csv", "LPT1",
                           "Prn.csv.bak", "sub\\aux.csv", "sub/CON "}) {
    if (std::string_view(name).find('\\') == std::string_view::npos) dir.Write(name, "a\r\n");
    EXPECT_EQ(Inline(name, dir.path().c_str()), kFailure) << name;
  }
  // Names that only look like them are files.
  for (const char* name : {"console.csv", "COM10.csv", "LPT0.csv", "nul-byte.csv", "auxi"}) {
    dir.Write(name, "a\r\n");
    EXPECT_EQ(Inline(name, dir.path().c_str()), u"<table><tr><td>a</td></tr></table>") << name;
  }
}

TEST(Hostile, UnreadableCsvFileGivesTheFailureComment) {
  if (geteuid() == 0) GTEST_SKIP() << "running as root: file permissions do not stop reading";
  TempDir dir;
  dir.Write("locked.csv", "a\r\n");
  fs::permissions(dir / "locked.csv", fs::perms::none);
  EXPECT_EQ(Inline("locked.csv", dir.path().c_str()), kFailure);
}

// ---------------------------------------------------------------------------------------------
// Null pointers and odd argument text, against a directory with a table and an INI file.

struct ArgumentCase {
  const char* name;
  const char* argText;  // nullptr: a null pointer
  bool nullBase;
  const char* expected;  // nullptr: the failure comment
};

constexpr const char* kWithIni = "<table class=\"t\"><tr><td>a</td></tr></table>";
constexpr const char* kWithoutIni = "<table><tr><td>a</td></tr></table>";

class Arguments : public testing::TestWithParam<ArgumentCase> {};

TEST_P(Arguments, GiveTheTableOrTheFailureComment) {
  const ArgumentCase& c = GetParam();
  TempDir dir;
  dir.Write("t.csv", "a\r\n");
  dir.Write("t.ini", "[table]\r\nopen=<table class=\"t\">\r\n");
  const std::u16string result = Inline(c.argText, c.nullBase ? nullptr : dir.path().c_str());
  EXPECT_EQ(result, c.expected != nullptr ? Ascii(c.expected) : kFailure);
}

const std::string kThousandsOfFields = [] {
  std::string text = "t.csv,\"t.ini\"";
  for (int i = 0; i < 5000; ++i) text += ",\"field " + std::to_string(i) + "\"";
  return text;
}();
const std::string kLongName = std::string(1 << 20, 'n') + ".csv";

INSTANTIATE_TEST_SUITE_P(
    Hostile, Arguments,
    testing::Values(
        ArgumentCase{"NullArgumentText", nullptr, false, nullptr},
        ArgumentCase{"NullBaseDirectory", "t.csv,t.ini", true, nullptr},
        ArgumentCase{"BothNull", nullptr, true, nullptr},
        ArgumentCase{"NoQuotes", "t.csv,t.ini", false, kWithIni},
        ArgumentCase{"UnbalancedQuoteJoinsTheNames", "\"t.csv,t.ini", false, nullptr},
        ArgumentCase{"UnclosedQuoteOnTheIniName", "t.csv,\"t.ini", false, kWithIni},
        ArgumentCase{"StrayQuoteInsideAName", "t.csv,t.i\"ni", false, kWithoutIni},
        ArgumentCase{"ThousandsOfFields", kThousandsOfFields.c_str(), false, kWithIni},
        ArgumentCase{"NameOfOneMegabyte", kLongName.c_str(), false, nullptr}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
