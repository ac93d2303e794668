// The reading of a table's rows from its CSV data: stream buffers over memory or a file, that
// tell where in the data they stand, and the reading in two parts side by side, re-aligned
// where the cut fell inside a record.
#pragma once

#include <algorithm>
#include <climits>
#include <cstddef>
#include <cstring>
#include <memory>
#include <streambuf>
#include <string>
#include <string_view>
#include <vector>

#include "base/isa.h"
#include "base/lead_bytes.h"
#include "gridloom/input_file.h"
#include "table/table_rows.h"

namespace gridloom {

// The rows of CSV data, up to the first empty line, in one part or in two. With a cut inside
// the data, the records from the cut on are read beside the ones before it. Where the cut is
// no record's start (in a quoted line end, say), the first part reads on to the start of one
// of the second part's first records, whose rows before it go; failing that, to the end. (A
// table's file is read the same way, from two streams.)
std::vector<TableRows> ReadRows(std::string_view data, std::size_t cut, Isa isa = Isa::kBest,
                                const LeadBytes& leads = {});

// The blocks a file is read in.
inline constexpr std::size_t kFileBufferSize = 1 << 18;

// The CSV data from an offset on, as a stream buffer that tells where in the data it stands.
class DataInput : public std::streambuf {
 public:
  std::size_t Position() const { return start_ + static_cast<std::size_t>(gptr() - eback()); }
  bool AtEnd() { return traits_type::eq_int_type(sgetc(), traits_type::eof()); }
  // Takes the UTF-8 byte order mark if the data starts with it.
  bool SkipUtf8Mark() {
    if (AtEnd() || egptr() - gptr() < 3 || std::memcmp(gptr(), "\xEF\xBB\xBF", 3) != 0)
      return false;
    gbump(3);
    return true;
  }
  // Reads the whole records that the get area holds and that start before stop into rows,
  // many at a time.
  void ReadMany(TableRows& rows, std::size_t stop, Isa isa, const LeadBytes& leads) {
    const char* const next = gptr();
    const std::size_t left = stop - Position(), held = static_cast<std::size_t>(egptr() - next);
    const char* const reached =
        rows.ReadMany(next, next + std::min(left, held), egptr(), isa, leads);
    for (auto skip = static_cast<std::size_t>(reached - next); skip > 0;) {
      const int step = static_cast<int>(std::min<std::size_t>(skip, INT_MAX));
      gbump(step);
      skip -= static_cast<std::size_t>(step);
    }
  }

 protected:
  std::size_t start_ = 0;  // the offset of the get area's first byte
};

class MemoryInput final : public DataInput {
 public:
  MemoryInput(std::string_view data, std::size_t offset) {
    char* begin = const_cast<char*>(data.data());  // the get area is only read
    setg(begin + offset, begin + offset, begin + data.size());
    start_ = offset;
  }
};

// A file read in large blocks, as stored (the reader sees CR LF as they are). A read error
// ends the data.
class FileInput final : public DataInput {
 public:
  // False when the file cannot be opened, or read from the offset.
  bool Open(const std::string& path, std::size_t offset) {
    if (!file_.Open(path) || (offset > 0 && !file_.Seek(offset))) return false;
    buffer_ = std::make_unique_for_overwrite<char[]>(kFileBufferSize);
    setg(buffer_.get(), buffer_.get(), buffer_.get());
    start_ = offset;
    return true;
  }
  // The file's size, when it has one (a regular file); 0 otherwise.
  std::size_t Size() const {
    const auto size = file_.Size();
    return !size ? 0 : *size > SIZE_MAX ? SIZE_MAX : static_cast<std::size_t>(*size);
  }

 protected:
  int_type underflow() override {
    if (gptr() < egptr()) return traits_type::to_int_type(*gptr());
    start_ += static_cast<std::size_t>(egptr() - eback());
    const std::size_t got = file_.Read(buffer_.get(), kFileBufferSize);
    setg(buffer_.get(), buffer_.get(), buffer_.get() + got);
    return got > 0 ? traits_type::to_int_type(*gptr()) : traits_type::eof();
  }

 private:
  InputFile file_;
  std::unique_ptr<char[]> buffer_;
};

// The rows of data of about `size` bytes, read by `first` from its start; `second`, if not
// null, stands at `cut`, and the rows from there are read beside the ones before.
std::vector<TableRows> ReadRows(DataInput& first, DataInput* second, std::size_t cut,
                                std::size_t size, Isa isa, const LeadBytes& leads);

// Where to cut a file of this size for reading it in two parts: input, opened at its middle,
// is moved past the first line end after it. 0: no cut (no line end soon).
std::size_t FindCut(DataInput& input, std::size_t size);

}  // namespace gridloom
