// An HtmlSink that keeps what it is given: of every block but a part's last it takes only
// the first half (rounded down), so that the rest has to come again at the next block's start.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "Mygridloom.h"

namespace gridloom::testsupport {

class BlockSink final : public HtmlSink {
 public:
  bool Start(const std::vector<std::size_t>& partSizes) override {
    sizes_ = partSizes;
    parts_.assign(partSizes.size(), {});
    ended_.assign(partSizes.size(), false);
    return true;
  }
  std::size_t Write(std::size_t part, std::string_view block, bool last) override {
    const std::size_t take = last ? block.size() : block.size() / 2;
    if (ended_[part]) faults_ += "a block after the last; ";
    parts_[part].append(block.substr(0, take));
    ended_[part] = last;
    return take;
  }
  // The parts' text in order; empty, with the faults, if a part is not as announced.
  std::string Text(std::string* faults = nullptr) const {
    std::string text, found = faults_;
    for (std::size_t i = 0; i < parts_.size(); ++i) {
      if (!ended_[i]) found += "part " + std::to_string(i) + " has no last block; ";
      if (parts_[i].size() != sizes_[i])
        found += "part " + std::to_string(i) + " is not its size; ";
      text += parts_[i];
    }
    if (faults != nullptr) *faults = found;
    return found.empty() ? text : std::string();
  }

 private:
  std::vector<std::size_t> sizes_;
  std::vector<std::string> parts_;
  std::vector<char> ended_;
  std::string faults_;
};

}  // namespace gridloom::testsupport
