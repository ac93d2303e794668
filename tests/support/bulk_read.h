// Reading text as a table reads it: whole records in bulk (CSVReader::AppendRecords), and
// one record byte by byte wherever a bulk read stops. Shared by the reader's tests and its
// fuzz target.
#pragma once

#include <cstddef>
#include <sstream>
#include <string>
#include <vector>

#include "csvreader/Csvreader.h"
#include "reference.h"

namespace gridloom::testsupport {

using Record = std::vector<std::string>;

// Reads data as a table's rows are read: whole records in bulk, and one record byte by byte
// wherever the bulk read stops, up to the first empty record; both with isa. The records of the bulk reads
// also go to bulkRecords, and what those reads counted to tally.
inline std::vector<Record> ReadInBulk(const std::string& data, std::vector<Record>& bulkRecords,
                               CSVReader::Tally& tally, Isa isa,
                               const reference::Leads& leadBytes = {}) {
  const LeadBytes leads([&](unsigned char byte) { return leadBytes[byte]; });
  FieldBuffer fields;
  std::vector<std::size_t> ends;
  std::vector<Record> records;
  const auto take = [&](std::size_t from, std::vector<Record>* also) {
    const RecordView view(fields.Text().data(), fields.Ends(), fields.size(), 0);
    for (std::size_t r = from; r < ends.size(); ++r) {
      Record record;
      for (std::size_t k = r == 0 ? 0 : ends[r - 1]; k < ends[r]; ++k)
        record.emplace_back(view[k]);
      if (also != nullptr) also->push_back(record);
      records.push_back(std::move(record));
    }
  };
  const char* const base = data.data();
  const char* const end = base + data.size();
  for (std::size_t at = 0; at < data.size();) {
    const std::size_t before = ends.size();
    at = static_cast<std::size_t>(
        CSVReader::AppendRecords(base + at, end, end, fields, ends, tally, isa, leads) - base);
    take(before, &bulkRecords);
    if (at >= data.size()) break;
    std::istringstream rest(data.substr(at));
    if (CSVReader::AppendRecord(rest, fields, isa) == 0) break;  // an empty line ends the rows
    ends.push_back(fields.size());
    take(ends.size() - 1, nullptr);
    rest.clear();
    at += static_cast<std::size_t>(rest.tellg());
  }
  return records;
}

inline CSVReader::Tally TallyOf(const std::vector<Record>& records,
                                const reference::Leads& leads = {}) {
  CSVReader::Tally t;
  for (const Record& record : records) {
    for (const std::string& field : record) {
      for (std::size_t i = 0; i < field.size(); ++i) {
        t.ampersands += field[i] == '&';
        t.angles += field[i] == '<' || field[i] == '>';
        t.quotes += field[i] == '"';
        t.lineBreaks += field.compare(i, 2, "\r\n") == 0;
        t.nuls += field[i] == '\0';
        t.loneLeads += reference::LoneLead(field, i, leads);
      }
    }
  }
  return t;
}

inline bool SameTally(const CSVReader::Tally& a, const CSVReader::Tally& b) {
  return a.ampersands == b.ampersands && a.angles == b.angles && a.quotes == b.quotes &&
         a.lineBreaks == b.lineBreaks && a.nuls == b.nuls && a.loneLeads == b.loneLeads;
}

}  // namespace gridloom::testsupport
