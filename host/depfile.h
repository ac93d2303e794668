// Depfiles: the files each output was made from, as rules in the syntax of make and ninja.
#pragma once

#include <string>
#include <vector>

namespace gridloom::host {

// The text of a depfile: for each output, the rule "output: prerequisites" in the syntax
// that make, ninja, CMake and Meson read, and an empty rule for each data file so that a
// missing one rebuilds the output instead of stopping make. Every name reads back as
// itself in GNU make and in ninja; a name that one of them cannot read, however escaped,
// throws IoError naming the character.
struct DepRule {
  std::string target;
  std::string page;
  std::vector<std::string> inputs;
};
std::string DepfileText(const std::vector<DepRule>& rules);

}  // namespace gridloom::host
