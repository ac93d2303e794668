#include "table/read_rows.h"

#include <algorithm>
#include <climits>
#include <cstring>
#include <istream>
#include <limits>

#include "base/parallel.h"

namespace gridloom {
namespace {

// Reads records from input into rows until its position reaches `stop` (or goes past it),
// and answers that position. ended: an empty line or the end of the data came first. bytes:
// about how many bytes are left to read. starts, if not null, takes the position of each
// record as it begins, up to kProbedStarts of them.
constexpr std::size_t kProbedStarts = 1024;
std::size_t ReadPart(TableRows& rows, DataInput& input, std::size_t stop, std::size_t bytes,
                     bool& ended, Isa isa, const LeadBytes& leads,
                     std::vector<std::size_t>* starts = nullptr) {
  std::istream stream(&input);
  rows.Reserve(bytes);
  ended = false;
  while (input.Position() < stop) {
    if (starts != nullptr && starts->size() < kProbedStarts) {
      starts->push_back(input.Position());
    } else {
      input.ReadMany(rows, stop, isa, leads);
      if (input.Position() >= stop) break;
    }
    // Once no byte is left no record is read, so a final line end adds no row.
    if (input.AtEnd() || rows.Read(stream, isa, leads) == 0) {
      ended = true;
      break;
    }
  }
  rows.Seal();
  return input.Position();
}

}  // namespace

std::vector<TableRows> ReadRows(DataInput& first, DataInput* second, std::size_t cut,
                                std::size_t size, Isa isa, const LeadBytes& leads) {
  if (second == nullptr) cut = 0;
  std::vector<TableRows> parts(cut > 0 ? 2 : 1);
  constexpr std::size_t kAll = std::numeric_limits<std::size_t>::max();
  std::size_t reached = 0;
  bool ended[2] = {false, false};
  std::vector<std::size_t> starts;  // of the second part's first records
  if (cut > 0) starts.reserve(kProbedStarts);
  RunParts(parts.size(), [&](std::size_t i) {
    if (i == 0) {
      reached = ReadPart(parts[0], first, cut > 0 ? cut : kAll, cut > 0 ? cut : size, ended[0],
                         isa, leads);
    } else {
      ReadPart(parts[1], *second, kAll, size > cut ? size - cut : 0, ended[1], isa, leads,
               &starts);
    }
  });
  if (cut == 0) return parts;
  // The second part is kept from the first of its records that starts where a record of the
  // first part ends: from there on both read the same. Records it read from the middle of a
  // record (a cut in a quoted line end) go. The first part reads on, record by record, to such
  // a start, as long as there is one ahead.
  while (!ended[0]) {
    const auto next = std::lower_bound(starts.begin(), starts.end(), reached);
    if (next == starts.end()) break;
    if (*next == reached) {
      parts[1].DropFront(static_cast<std::size_t>(next - starts.begin()), leads);
      return parts;
    }
    reached = ReadPart(parts[0], first, reached + 1, 0, ended[0], isa, leads);
  }
  parts.pop_back();
  if (!ended[0])
    ReadPart(parts[0], first, kAll, size > reached ? size - reached : 0, ended[0], isa, leads);
  return parts;
}

// Where to cut a file of this size for reading it in two parts: input, opened at its middle,
// is moved past the first line end after it. 0: no cut (no line end soon).
std::size_t FindCut(DataInput& input, std::size_t size) {
  for (std::size_t looked = 0; looked < kFileBufferSize; ++looked) {
    const int byte = input.sbumpc();
    if (byte == '\n') return input.Position() < size ? input.Position() : 0;
    if (byte == std::char_traits<char>::eof()) break;
  }
  return 0;
}


std::vector<TableRows> ReadRows(std::string_view data, std::size_t cut, Isa isa,
                                const LeadBytes& leads) {
  if (cut >= data.size()) cut = 0;
  MemoryInput first(data, 0), second(data, cut);
  return ReadRows(first, cut > 0 ? &second : nullptr, cut, data.size(), isa, leads);
}

}  // namespace gridloom
