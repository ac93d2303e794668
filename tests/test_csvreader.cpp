// CSVReader: record sequences and stream flags, read through every kind of stream the
// reader meets. The bulk scans of buffered streams must give what byte-by-byte reading gives.
#include <gmock/gmock.h>
#include <gtest/gtest.h>


#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <limits>
#include <memory>
#include <random>
#include <sstream>
#include <stdexcept>
#include <streambuf>
#include <string>
#include <vector>

#include "csvreader/Csvreader.h"
#include "bulk_read.h"
#include "reference.h"
#include "stream_buffers.h"

namespace gridloom {
namespace {

using Fields = std::vector<std::string>;
using ::testing::ElementsAre;
using ::testing::IsEmpty;

using testsupport::OneByteBuffer;
using testsupport::ReadInBulk;
using testsupport::TallyOf;
using testsupport::UnbufferedBuffer;

// One way to put bytes in a stream; the object keeps the stream and what it rests on.
struct StreamKind {
  const char* name;
  std::function<std::unique_ptr<std::istream>(const std::string&)> open;
};

struct OwningStream : std::istream {
  explicit OwningStream(std::unique_ptr<std::streambuf> buffer)
      : std::istream(buffer.get()), owned(std::move(buffer)) {}
  std::unique_ptr<std::streambuf> owned;
};

struct FileStream : std::ifstream {
  explicit FileStream(const std::string& data) {
    path = std::filesystem::temp_directory_path() /
           ("gridloom_csv_" + std::to_string(kRun) + "_" + std::to_string(counter++));
    std::ofstream(path, std::ios::binary) << data;
    open(path, std::ios::in | std::ios::binary);
  }
  ~FileStream() override {
    close();
    std::filesystem::remove(path);
  }
  std::filesystem::path path;
  static inline int counter = 0;
  static inline const unsigned kRun = std::random_device()();  // apart from other processes
};

const StreamKind kStreamKinds[] = {
    {"string", [](const std::string& d) { return std::make_unique<std::istringstream>(d); }},
    {"file", [](const std::string& d) { return std::make_unique<FileStream>(d); }},
    {"one_byte",
     [](const std::string& d) {
       return std::make_unique<OwningStream>(std::make_unique<OneByteBuffer>(d));
     }},
    {"unbuffered",
     [](const std::string& d) {
       return std::make_unique<OwningStream>(std::make_unique<UnbufferedBuffer>(d));
     }},
};

// Every read from the constructor on, until two reads in a row give no fields.
std::vector<Fields> ReadAll(std::istream& in, std::vector<bool>* eofAfter = nullptr) {
  std::vector<Fields> records;
  CSVReader reader(in);
  for (int empty = 0; records.size() < 64;) {
    records.push_back(reader.GetRecord().Fields());
    if (eofAfter) eofAfter->push_back(in.eof());
    empty = reader.GetFieldCount() == 0 ? empty + 1 : 0;
    if (empty == 2) break;
    reader.ReadRecord(in);
  }
  return records;
}

struct SequenceCase {
  const char* name;
  std::string input;
  std::vector<Fields> records;  // ends with two records without fields
};

const SequenceCase kSequences[] = {
    {"plain", "a,b,c", {{"a", "b", "c"}, {}, {}}},
    {"empty_middle", "a,,c", {{"a", "", "c"}, {}, {}}},
    {"empty_first", ",a", {{"", "a"}, {}, {}}},
    {"comma_before_crlf", "a,b,\r\n", {{"a", "b"}, {""}, {}, {}}},
    {"two_commas_before_crlf", "a,b,,\r\n", {{"a", "b", ""}, {""}, {}, {}}},
    {"comma_at_end", "a,b,", {{"a", "b", ""}, {}, {}}},
    {"spaces_kept", " a , b ", {{" a ", " b "}, {}, {}}},
    {"quoted_comma", "\"a,b\",c", {{"a,b", "c"}, {}, {}}},
    {"doubled_quote", "\"a\"\"b\"", {{"a\"b"}, {}, {}}},
    {"empty_quoted", "\"\",x", {{"", "x"}, {}, {}}},
    {"leading_doubled_quote", "\"\"\"a\"", {{"\"a"}, {}, {}}},
    {"quote_in_plain", "a\"b,c", {{"a\"b", "c"}, {}, {}}},
    {"space_before_quote", " \"a\",b", {{" \"a\"", "b"}, {}, {}}},
    {"stays_quoted", "\"a\"b,c\r\nd", {{"a\"b,c\r\nd"}, {}, {}}},
    {"crlf_in_quotes", "\"a\r\nb\",c\r\n", {{"a\r\nb", "c"}, {""}, {}, {}}},
    {"unclosed_quote", "\"abc", {{"abc"}, {}, {}}},
    {"quote_then_cr", "\"a\"\rx", {{"a"}, {"x"}, {}, {}}},
    {"lone_cr", "a\rb", {{"a"}, {"b"}, {}, {}}},
    {"lone_lf", "a\nb", {{"a"}, {"b"}, {}, {}}},
    {"crlf", "a\r\nb", {{"a"}, {"b"}, {}, {}}},
    {"empty_line", "a\r\n\r\nb\r\n", {{"a"}, {}, {"b"}, {""}, {}, {}}},
    {"lf_lines", "a,b\nc,d\n", {{"a", "b"}, {"c", "d"}, {""}, {}, {}}},
    {"crlf_lines", "a,b\r\nc,d\r\n", {{"a", "b"}, {"c", "d"}, {""}, {}, {}}},
    {"no_final_line_end", "a,b\r\nc,d", {{"a", "b"}, {"c", "d"}, {}, {}}},
    {"empty_data", "", {{""}, {}, {}}},
    {"only_crlf", "\r\n", {{}, {""}, {}, {}}},
    {"cr_cr_lf", "a\r\r\nb", {{"a"}, {}, {"b"}, {}, {}}},
    {"quote_then_other", "\"a\"x\"y\",z", {{"a\"x\"y", "z"}, {}, {}}},
    {"quote_then_eof", "\"a\"", {{"a"}, {}, {}}},
    {"nul_is_data", std::string("a\0b,c", 5), {{std::string("a\0b", 3), "c"}, {}, {}}},
    {"shift_jis", "\x95\x5C,\x83\x5C\x83\x74\x83\x67",
     {{"\x95\x5C", "\x83\x5C\x83\x74\x83\x67"}, {}, {}}},
    {"long_plain_runs", std::string(100, 'x') + "," + std::string(40, 'y') + "\r\n",
     {{std::string(100, 'x'), std::string(40, 'y')}, {""}, {}, {}}},
    {"long_quoted_run", "\"" + std::string(70, 'q') + ",\r\n\"\"" + std::string(30, 'r') + "\"",
     {{std::string(70, 'q') + ",\r\n\"" + std::string(30, 'r')}, {}, {}}},
};

class RecordSequence : public ::testing::TestWithParam<std::tuple<SequenceCase, StreamKind>> {};

TEST_P(RecordSequence, MatchesEveryRead) {
  const auto& [c, kind] = GetParam();
  auto stream = kind.open(c.input);
  EXPECT_EQ(ReadAll(*stream), c.records);
}

INSTANTIATE_TEST_SUITE_P(
    Csv, RecordSequence,
    ::testing::Combine(::testing::ValuesIn(kSequences), ::testing::ValuesIn(kStreamKinds)),
    [](const auto& info) {
      return std::string(std::get<0>(info.param).name) + "_" + std::get<1>(info.param).name;
    });

// Where the end-of-file flag is set tells the loader whether bytes remain.
TEST(CsvStreamFlags, EndOfFileIsSetByTheFailedTakeOnly) {
  struct Case {
    std::string input;
    std::vector<bool> eofAfter;
  };
  const Case cases[] = {
      {"a,b\r\n", {false, true, true, true}},  // the line end is taken by looking ahead
      {"a,b", {true, true, true}},               // the record ran into the end of the data
      {"", {true, true, true}},
      {"\"a\"\r\n", {false, true, true, true}},
      {"\"a\"", {true, true, true}},
      {"a\r", {false, true, true, true}},
  };
  for (const auto& kind : kStreamKinds) {
    for (const auto& c : cases) {
      auto stream = kind.open(c.input);
      std::vector<bool> eofAfter;
      ReadAll(*stream, &eofAfter);
      EXPECT_EQ(eofAfter, c.eofAfter) << kind.name << " on \"" << c.input << '"';
      EXPECT_TRUE(stream->fail()) << kind.name << ": the failed take sets the fail flag too";
    }
  }
}

TEST(CsvStreamFlags, LookingAheadSetsNoFlag) {
  std::istringstream in("a\r\nb");
  CSVReader reader(in);
  EXPECT_THAT(reader.GetRecord().Fields(), ElementsAre("a"));
  EXPECT_TRUE(in.good());
  EXPECT_EQ(in.tellg(), 3) << "the stream is left just after the first record";
}

TEST(CsvStreamFlags, ReadAtEndTakesNothing) {
  std::istringstream in("x");
  in.setstate(std::ios::eofbit);
  CSVReader reader(in);
  EXPECT_EQ(reader.GetFieldCount(), 0u);
  EXPECT_FALSE(in.fail()) << "nothing was taken, so nothing failed";
}

TEST(CsvStreamFlags, StreamThatCannotDeliverEndsTheRecord) {
  std::ifstream missing("/nonexistent/gridloom.csv", std::ios::binary);
  CSVReader reader(missing);
  EXPECT_THAT(reader.GetRecord().Fields(), ElementsAre(""));
  EXPECT_TRUE(missing.eof());
  reader.ReadRecord(missing);
  EXPECT_EQ(reader.GetFieldCount(), 0u);
}

TEST(CsvTextConstructor, ReadsOnlyTheFirstRecord) {
  struct Case {
    const char* text;
    Fields fields;
  };
  const Case cases[] = {
      {"\"../data/table1.csv\",\"../param.ini\"", {"../data/table1.csv", "../param.ini"}},
      {"a\r\nb", {"a"}},
      {"", {""}},
      {"\r\nb", {}},
      {"one", {"one"}},
      {"\"a,b\"\"c\",d,e", {"a,b\"c", "d", "e"}},
      {"\"unbalanced,x", {"unbalanced,x"}},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(CSVReader(c.text).GetRecord().Fields(), c.fields) << c.text;
  }
  EXPECT_EQ(CSVReader(static_cast<const char*>(nullptr)).GetRecord().Fields(), Fields{""});
}

TEST(CsvGetField, CopiesOrGivesEmptyText) {
  const CSVReader reader("\"../data/table1.csv\",\"../param.ini\"");
  EXPECT_EQ(reader.GetField(0), "../data/table1.csv");
  EXPECT_EQ(reader.GetField(1), "../param.ini");
  EXPECT_EQ(reader.GetField(2), "");
  EXPECT_EQ(reader.GetField(0xFFFFFFFFu), "");
  EXPECT_EQ(reader.GetFieldCount(), 2u);

  std::istringstream in("\r\n");
  const CSVReader none(in);
  EXPECT_EQ(none.GetFieldCount(), 0u);
  EXPECT_EQ(none.GetField(0), "");
  EXPECT_THAT(none.GetRecord().Fields(), IsEmpty());
}

TEST(CsvReadRecord, ReplacesTheWholeRecord) {
  std::istringstream in("a,b,c\r\nd\r\n");
  CSVReader reader(in);
  const std::string kept = reader.GetField(2);
  reader.ReadRecord(in);
  EXPECT_THAT(reader.GetRecord().Fields(), ElementsAre("d"));
  EXPECT_EQ(reader.GetField(1), "");
  EXPECT_EQ(kept, "c") << "fields handed out are independent copies";

  const CSVReader copy = reader;
  CSVReader moved = std::move(reader);
  reader = copy;
  const std::vector<const CSVReader*> all = {&copy, &moved, &reader};
  for (const CSVReader* r : all) EXPECT_THAT(r->GetRecord().Fields(), ElementsAre("d"));
}

// The bulk scans run over buffer boundaries: every split of a file across a small buffer
// must read as the unbuffered stream reads it.
TEST(CsvBufferBoundaries, SmallBuffersReadLikeUnbuffered) {
  // Fields shorter and longer than the 16-byte blocks, quotes on either side of a block edge.
  const std::string input =
      "ab,\"c\r\nd\"\"e\",f\r\n\"g\"h,,\r\n\r\nx\"y,\"z\"\r\"\"\"w\",end\n"
      "a plain field of some length,\"a quoted field \"\"with\"\" quotes, and more\",x\r\n"
      "\"0123456789abcde\"\"\",0123456789abcdef,\"0123456789abcdef\"\r\n"
      "\"unclosed, to the end of the data: 0123456789abcdef0123456789";
  auto reference = kStreamKinds[3].open(input);
  const auto expected = ReadAll(*reference);
  for (const std::size_t size :
       {1, 2, 3, 4, 5, 6, 7, 8, 15, 16, 17, 18, 31, 32, 33, 47, 64, 4096}) {
    std::stringbuf data(input);
    struct Chunked : std::streambuf {
      Chunked(std::stringbuf& source, std::size_t size) : source_(source), chunk_(size) {}
      int_type underflow() override {
        const auto n = source_.sgetn(chunk_.data(), static_cast<std::streamsize>(chunk_.size()));
        if (n <= 0) return traits_type::eof();
        setg(chunk_.data(), chunk_.data(), chunk_.data() + n);
        return traits_type::to_int_type(chunk_[0]);
      }
      std::stringbuf& source_;
      std::vector<char> chunk_;
    } chunked(data, size);
    std::istream in(&chunked);
    EXPECT_EQ(ReadAll(in), expected) << "buffer of " << size;
  }
}

// Field ends are 32-bit offsets: a store refuses room for text it could not mark, before it
// allocates anything.
TEST(CsvFieldBuffer, RefusesTextPastFourGiB) {
  if constexpr (sizeof(std::size_t) > sizeof(FieldEnd)) {
    FieldBuffer fields;
    fields.Reserve(16, 1);
    fields.Append("abc", 3);
    fields.EndField();
    EXPECT_THROW(fields.Reserve(std::size_t{1} << 32, 0), std::length_error);
    EXPECT_THROW(fields.Reserve(std::numeric_limits<FieldEnd>::max() - 2, 0), std::length_error);
    EXPECT_EQ(fields.Text(), "abc") << "left as it was";
    EXPECT_EQ(fields.size(), 1u);
  }
}

// The bulk reads with each set of instructions this processor has, plain included.
class CsvBulkRecords : public ::testing::TestWithParam<Isa> {};

// Bulk reads of random text made of the bytes that matter must give the records that reading
// record by record gives, and count what those records hold. Half the texts are well-formed
// records with one byte changed, so that the bulk reads go far and stop at odd quoting.
TEST_P(CsvBulkRecords, ReadLikeRecordByRecord) {
  std::mt19937 random(7);
  // With lead bytes of code page 932 (81, 9F, E0, FC; 95 5C is a character), NULs and bytes
  // below 0x40 after them, in code page 932 and in one without lead bytes.
  const std::string alphabet = std::string("ab,,,\"\"\"\r\n&<>\x81\x81\x9F\xE0\xFC\x95\\19", 22) + '\0';
  const char* const pieces[] = {"ab", "\"a,\"\"b\"", "\"\"", "x&y", "\"<\r\n>\"", "",
                                "\"q\"\"\"", "\x95\\\x81", "\"\x81\x81\x81\"", "\x81\x81<"};
  const reference::Leads leadSets[] = {reference::Leads{}, reference::Leads932()};
  std::size_t bulkTotal = 0;
  for (int round = 0; round < 4000; ++round) {
    std::string data;
    if (round % 2 == 0) {
      data.resize(80 + random() % 400);
      for (char& c : data) c = alphabet[random() % alphabet.size()];
    } else {
      while (data.size() < 400) {
        data += pieces[random() % std::size(pieces)];
        data += random() % 5 != 0 ? "," : random() % 2 ? "\r\n" : "\n";
      }
      data[random() % data.size()] = alphabet[random() % alphabet.size()];
    }
    const reference::Leads& leads = leadSets[round % 4 / 2];
    std::vector<Fields> bulkRecords;
    CSVReader::Tally tally;
    ASSERT_EQ(ReadInBulk(data, bulkRecords, tally, GetParam(), leads), reference::LoadRows(data))
        << round;
    ASSERT_TRUE(testsupport::SameTally(tally, TallyOf(bulkRecords, leads))) << round;
    bulkTotal += bulkRecords.size();
  }
  EXPECT_GT(bulkTotal, 10000u) << "the bulk reads took too little to test them";
}

// Where a bulk read stops: before the first record it does not take whole, at its start.
TEST_P(CsvBulkRecords, StopsAtTheRecordItLeaves) {
  const std::string good = "a,\"b,\"\"c\"\"\",\"\",\"d\r\ne\",f,\r\n\"g\"\n";  // two records
  const std::string pad(80, '.');
  struct Case {
    const char* name;
    std::string data;
    std::size_t limit;  // bytes from the start
    std::size_t reached;
  };
  const std::string odd[] = {"x\"y,z\n", "\"x\"y,z\n", "a,b,x\"\n"};
  const std::vector<Case> cases = {
      {"all_whole_records", good + good + pad, 1000, 2 * good.size()},
      // 64-byte blocks up to 16 bytes before the end: the third record crosses byte 64
      {"record_past_the_blocks", good + good + good + "x,y\n" + std::string(10, '.'), 1000,
       2 * good.size()},
      {"empty_line", good + "\r\n" + good + pad, 1000, good.size()},
      {"quote_in_plain_field", good + odd[0] + good + pad, 1000, good.size()},
      {"text_after_closing_quote", good + odd[1] + good + pad, 1000, good.size()},
      {"quote_in_last_field", good + odd[2] + good + pad, 1000, good.size()},
      {"limit_at_a_record_start", good + good + pad, good.size(), good.size()},
      {"limit_inside_a_record", good + good + pad, good.size() + 1,
       good.size() + good.find("\"g\"")},
      {"too_short", good.substr(0, 20) + std::string(59, '.'), 1000, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    FieldBuffer fields;
    std::vector<std::size_t> ends;
    CSVReader::Tally tally;
    const char* base = c.data.data();
    const char* reached = CSVReader::AppendRecords(
        base, base + std::min(c.limit, c.data.size()), base + c.data.size(), fields, ends,
        tally, GetParam());
    EXPECT_EQ(static_cast<std::size_t>(reached - base), c.reached);
    // What was read is the records before that place, no more.
    std::vector<Fields> expected = reference::LoadRows(c.data.substr(0, c.reached));
    std::vector<Fields> got;
    const RecordView view(fields.Text().data(), fields.Ends(), fields.size(), 0);
    for (std::size_t r = 0; r < ends.size(); ++r) {
      got.emplace_back();
      for (std::size_t k = r == 0 ? 0 : ends[r - 1]; k < ends[r]; ++k) got.back().emplace_back(view[k]);
    }
    EXPECT_EQ(got, expected);
    EXPECT_EQ(fields.size(), ends.empty() ? 0 : ends.back()) << "no field of a record left";
  }
}

INSTANTIATE_TEST_SUITE_P(Isas, CsvBulkRecords,
                         ::testing::ValuesIn(AvailableIsas().begin(), AvailableIsas().end()),
                         [](const auto& info) { return std::string(IsaName(info.param)); });

}  // namespace
}  // namespace gridloom
