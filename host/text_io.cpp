// What os.h declares that is the same on every system.
#include "os.h"

#include <system_error>

namespace gridloom::host {

std::string Reason(int error) { return std::generic_category().message(error); }

std::string Slashed(std::string text) {
  for (std::size_t i = 0; i < text.size(); i += CharacterLength(text, i)) {
    if (text[i] == '\\') text[i] = '/';
  }
  return text;
}

}  // namespace gridloom::host
