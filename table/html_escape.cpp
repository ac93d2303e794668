#include "html_escape.h"


namespace gridloom {
using namespace escape_detail;

std::size_t EscapeGrowthOf(std::string_view text) {
  std::size_t growth = 0;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const unsigned char kind = kEscapeClass[static_cast<unsigned char>(text[i])];
    growth += kind == 5 ? (i + 1 < text.size() && text[i + 1] == '\n' ? 2 : 0) : kGrowth[kind];
  }
  return growth;
}

}  // namespace gridloom
