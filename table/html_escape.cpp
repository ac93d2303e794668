#include "table/html_escape.h"

namespace gridloom {
using namespace escape_detail;

std::size_t EscapeGrowthOf(std::string_view text, const LeadBytes& leads) {
  std::size_t growth = 0;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const auto byte = static_cast<unsigned char>(text[i]);
    if (leads[byte]) {  // a character of two bytes, or a lead byte alone
      if (i + 1 < text.size() && static_cast<unsigned char>(text[i + 1]) >= 0x40) {
        ++i;
      } else {
        growth += kGrowth[kReplacement];
      }
      continue;
    }
    const unsigned char kind = kEscapeClass[byte];
    growth += kind == 6 ? (i + 1 < text.size() && text[i + 1] == '\n' ? kLineBreakGrowth : 0)
                       : kGrowth[kind];
  }
  return growth;
}

std::size_t LoneLeadsOf(std::string_view text, const LeadBytes& leads) {
  std::size_t lone = 0;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (!leads[static_cast<unsigned char>(text[i])]) continue;
    if (i + 1 < text.size() && static_cast<unsigned char>(text[i + 1]) >= 0x40) {
      ++i;  // a character of two bytes
    } else {
      ++lone;
    }
  }
  return lone;
}

}  // namespace gridloom
