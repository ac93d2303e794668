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

#include "csvreader/Csvreader.h"
#include "bulk_read.h"
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
// instructions the processor has (plain included), and one record byte by byte wherever a bulk read stops.
// Every record, and the count of what escaping changes in those of the bulk reads (with code
// page 932's lead bytes, and without), must be the reference's.
void CheckBulk(const std::string& data) {
  using gridloom::CSVReader;
  namespace support = gridloom::testsupport;
  const std::vector<ref::Fields> expected = ref::LoadRows(data);
  for (const gridloom::Isa isa : gridloom::AvailableIsas()) {
    for (const ref::Leads& leads : {ref::Leads{}, ref::Leads932()}) {
      std::vector<support::Record> bulkRecords;
      CSVReader::Tally tally;
      const std::vector<support::Record> records =
          support::ReadInBulk(data, bulkRecords, tally, isa, leads);
      if (records != expected) Fail("bulk: records", records.size());
      if (!support::SameTally(tally, support::TallyOf(bulkRecords, leads)))
        Fail("bulk: tally", bulkRecords.size());
    }
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
