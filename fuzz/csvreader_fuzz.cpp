// The CSV reader on arbitrary bytes, read four ways that must agree record by record with the
// reference reader: an ordinary string stream, a stream buffer that hands out one byte per
// refill, an unbuffered stream buffer, and (for the bytes before the first NUL) the text
// constructor. After each read the stream's end-of-file and fail flags must match too.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstdio>
#include <istream>
#include <sstream>
#include <streambuf>
#include <string>
#include <string_view>
#include <vector>

#include "Csvreader.h"
#include "stream_buffers.h"
#include "reference.h"

namespace {

namespace ref = gridloom::reference;

using gridloom::testsupport::OneByteBuffer;
using gridloom::testsupport::UnbufferedBuffer;

[[noreturn]] void Fail(const char* what, std::size_t record) {
  std::fprintf(stderr, "disagreement: %s at record %zu\n", what, record);
  std::abort();
}

void ExpectRecord(const gridloom::CSVReader& reader, const ref::Fields& expected,
                  const char* how, std::size_t index) {
  if (reader.GetFieldCount() != expected.size()) Fail(how, index);
  for (std::size_t i = 0; i < expected.size(); ++i) {
    if (reader.GetField(static_cast<std::uint32_t>(i)) != expected[i]) Fail(how, index);
    if (reader.GetRecord()[i] != expected[i]) Fail(how, index);
  }
  if (!reader.GetField(static_cast<std::uint32_t>(expected.size())).empty()) Fail(how, index);
}

// Reads the whole stream and checks every record and the flags after every read, up to the
// end of the data and one read beyond it.
void CheckStream(std::istream& stream, std::string_view data, const char* how) {
  ref::Stream expected{data};
  gridloom::CSVReader reader(stream);
  for (std::size_t index = 0;; ++index) {
    const ref::Fields record = ref::ReadRecord(expected);
    ExpectRecord(reader, record, how, index);
    if (stream.eof() != expected.eof || stream.fail() != expected.eof) Fail(how, index);
    if (index > data.size() + 2) Fail("no end of the data", index);
    if (expected.eof && record.empty()) {
      reader.ReadRecord(stream);
      ExpectRecord(reader, {}, how, index + 1);
      if (!stream.eof() || !stream.fail()) Fail(how, index + 1);
      return;
    }
    reader.ReadRecord(stream);
  }
}

// Reads the rows of data as a table does: whole records in bulk, with each set of
// instructions the processor has, and one record byte by byte wherever a bulk read stops.
// Every record, and the count of what escaping changes in those of the bulk reads, must be
// the reference's.
void CheckBulk(const std::string& data) {
  using gridloom::CSVReader;
  const std::vector<ref::Fields> expected = ref::LoadRows(data);
  const auto best = CSVReader::BestIsa();
  for (const auto isa : {CSVReader::Isa::kShuffles, CSVReader::Isa::kSse2}) {
    if (static_cast<int>(isa) < static_cast<int>(best)) continue;
    gridloom::FieldBuffer fields;
    std::vector<std::size_t> ends;
    CSVReader::Tally tally, want;
    std::size_t records = 0;  // checked
    const auto check = [&](bool bulk) {
      const gridloom::RecordView all(fields.Text().data(), fields.Ends(), fields.size(), 0);
      for (; records < ends.size(); ++records) {
        if (records >= expected.size()) Fail("bulk: a record too many", records);
        const std::size_t first = records == 0 ? 0 : ends[records - 1];
        if (ends[records] - first != expected[records].size()) Fail("bulk: fields", records);
        for (std::size_t k = first; k < ends[records]; ++k) {
          const std::string_view field = all[k];
          if (field != expected[records][k - first]) Fail("bulk: field text", records);
          for (std::size_t i = 0; bulk && i < field.size(); ++i) {
            want.ampersands += field[i] == '&';
            want.angles += field[i] == '<' || field[i] == '>';
            want.quotes += field[i] == '"';
            want.lineBreaks += field.substr(i, 2) == "\r\n";
          }
        }
      }
    };
    const char* const base = data.data();
    const char* const end = base + data.size();
    for (std::size_t at = 0; at < data.size();) {
      at = static_cast<std::size_t>(
          CSVReader::AppendRecords(base + at, end, end, fields, ends, tally, isa) - base);
      check(true);
      if (at >= data.size()) break;
      std::istringstream rest(data.substr(at));
      if (CSVReader::AppendRecord(rest, fields) == 0) break;
      ends.push_back(fields.size());
      check(false);
      rest.clear();
      at += static_cast<std::size_t>(rest.tellg());
    }
    if (records != expected.size()) Fail("bulk: records missing", records);
    if (tally.ampersands != want.ampersands || tally.angles != want.angles ||
        tally.quotes != want.quotes || tally.lineBreaks != want.lineBreaks)
      Fail("bulk: tally", records);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size) {
  const std::string data(reinterpret_cast<const char*>(bytes), size);

  std::istringstream text(data, std::ios::in | std::ios::binary);
  CheckStream(text, data, "string stream");
  OneByteBuffer oneByte(data);
  std::istream oneByteStream(&oneByte);
  CheckStream(oneByteStream, data, "one-byte buffer");
  UnbufferedBuffer unbuffered(data);
  std::istream unbufferedStream(&unbuffered);
  CheckStream(unbufferedStream, data, "unbuffered");

  // The text constructor reads up to the first NUL, and only the first record.
  const std::string_view beforeNul(data.c_str());
  ref::Stream first{beforeNul};
  ExpectRecord(gridloom::CSVReader(data.c_str()), ref::ReadRecord(first), "text constructor", 0);

  CheckBulk(data);
  return 0;
}
