// The tags of a table: the seven sections of the INI file as data, read by LoadTagSettings,
// and the choice of a cell's tags by where the cell stands.
#include <vector>

#include "gridloom/winapi.h"
#include "table/Mygridloom.h"
#include "table/Myinifile.h"

namespace gridloom {

const std::array<TagSection, 7> MyGridLoom::kTagSections = {{
    {"table", &MyGridLoom::tableOpen, &MyGridLoom::tableClose, nullptr, "<table>", "</table>",
     TagPlace::kTable},
    {"tableRow", &MyGridLoom::tableRowOpen, &MyGridLoom::tableRowClose, nullptr, "<tr>", "</tr>",
     TagPlace::kRow},
    {"tdRow1", &MyGridLoom::tdRow1Open, &MyGridLoom::tdRow1Close, &MyGridLoom::useTdRow1, "", "",
     TagPlace::kFirstRow},
    {"tdRowX", &MyGridLoom::tdRowXOpen, &MyGridLoom::tdRowXClose, &MyGridLoom::useTdRowX, "", "",
     TagPlace::kLastRow},
    {"tdCol1", &MyGridLoom::tdCol1Open, &MyGridLoom::tdCol1Close, &MyGridLoom::useTdCol1, "", "",
     TagPlace::kFirstColumn},
    {"tdColX", &MyGridLoom::tdColXOpen, &MyGridLoom::tdColXClose, &MyGridLoom::useTdColX, "", "",
     TagPlace::kLastColumn},
    {"tdEtc", &MyGridLoom::tdEtcOpen, &MyGridLoom::tdEtcClose, nullptr, "<td>", "</td>",
     TagPlace::kCell},
}};

void MyGridLoom::LoadTagSettings(const std::string& iniPath) {
  const MyIniFile ini(iniPath);
  for (const TagSection& section : kTagSections) {
    if (section.use != nullptr) this->*section.use = false;
  }
  for (const TagSection& section : kTagSections) {
    this->*section.open = ini.ReadString(section.name, "open", section.openDefault);
    this->*section.close = ini.ReadString(section.name, "close", section.closeDefault);
    if (section.use != nullptr) this->*section.use = !(this->*section.open).empty();
  }
}

std::size_t MyGridLoom::CellSection(bool firstRow, bool lastRow, bool firstColumn,
                                    bool lastColumn) const {
  for (std::size_t i = 0; i < kTagSections.size(); ++i) {
    const TagSection& section = kTagSections[i];
    if (section.use != nullptr && !(this->*section.use)) continue;
    switch (section.place) {
      case TagPlace::kTable:
      case TagPlace::kRow: break;
      case TagPlace::kFirstRow: if (firstRow) return i; break;
      case TagPlace::kLastRow: if (lastRow) return i; break;
      case TagPlace::kFirstColumn: if (firstColumn) return i; break;
      case TagPlace::kLastColumn: if (lastColumn) return i; break;
      case TagPlace::kCell: return i;
    }
  }
  return kTagSections.size() - 1;  // (the last section takes every cell)
}

namespace {

// Text of the ANSI code page in UTF-8 (through UTF-16, with the system's conversions).
std::string AnsiToUtf8(const std::string& text) {
  if (text.empty() || GetACP() == CP_UTF8) return text;
  const int units =
      MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
  if (units <= 0) return text;
  std::vector<WCHAR> wide(static_cast<std::size_t>(units));
  MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()), wide.data(), units);
  const int bytes =
      WideCharToMultiByte(CP_UTF8, 0, wide.data(), units, nullptr, 0, nullptr, nullptr);
  if (bytes <= 0) return text;
  std::string out(static_cast<std::size_t>(bytes), '\0');
  WideCharToMultiByte(CP_UTF8, 0, wide.data(), units, out.data(), bytes, nullptr, nullptr);
  return out;
}

}  // namespace

void MyGridLoom::TagsToUtf8() {
  for (const TagSection& section : kTagSections) {
    this->*section.open = AnsiToUtf8(this->*section.open);
    this->*section.close = AnsiToUtf8(this->*section.close);
  }
}

}  // namespace gridloom
