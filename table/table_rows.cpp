#include "table/table_rows.h"

#include <algorithm>
#include <cstring>

#include "base/sizes.h"
#include "table/html_escape.h"

namespace gridloom {

void TableRows::Reserve(std::size_t fileSize) {
  // Most tables have fields of more than a few bytes; room that stays unused costs no
  // memory, and a table of shorter fields only grows the field ends.
  fields_.Reserve(SizeAdd(fileSize, kEscapePadding), fileSize / 8 + 16);
}

std::size_t TableRows::Read(std::istream& input, Isa isa, const LeadBytes& leads) {
  const std::size_t fields = CSVReader::AppendRecord(input, fields_, isa);
  if (fields == 0) return 0;
  recordEnds_.push_back(fields_.size());
  const RecordView record = (*this)[size() - 1];
  for (std::size_t k = 0; k < fields; ++k) {
    growth_ += EscapeGrowthOf(record[k], leads);
    if (leads.Any()) loneLeads_ += LoneLeadsOf(record[k], leads);
  }
  columns_ = std::max(columns_, fields);
  return fields;
}

const char* TableRows::ReadMany(const char* begin, const char* limit, const char* end,
                                Isa isa, const LeadBytes& leads) {
  const std::size_t before = recordEnds_.size();
  CSVReader::Tally tally;
  const char* const reached =
      CSVReader::AppendRecords(begin, limit, end, fields_, recordEnds_, tally, isa, leads);
  growth_ += EscapeGrowthOf(tally.ampersands, tally.angles, tally.quotes, tally.lineBreaks,
                            tally.nuls + tally.loneLeads);
  loneLeads_ += tally.loneLeads;
  CountColumns(before);
  return reached;
}

void TableRows::CountColumns(std::size_t from) {
  for (std::size_t i = from; i < recordEnds_.size(); ++i)
    columns_ = std::max(columns_, recordEnds_[i] - (i == 0 ? 0 : recordEnds_[i - 1]));
}

void TableRows::DropFront(std::size_t rows, const LeadBytes& leads) {
  for (std::size_t j = 0; j < rows; ++j) {
    const RecordView record = (*this)[j];
    for (std::size_t k = 0; k < record.size(); ++k) {
      growth_ -= EscapeGrowthOf(record[k], leads);
      if (leads.Any()) loneLeads_ -= LoneLeadsOf(record[k], leads);
    }
  }
  dropped_ += rows;
  columns_ = 0;
  CountColumns(dropped_);
}

void TableRows::Seal() {
  fields_.Reserve(kEscapePadding, 0);
  std::memset(fields_.TextEnd(), 0, kEscapePadding);
}

}  // namespace gridloom
