// An HtmlSink that keeps what it is given: of every block but a part's last it takes only
// the first half (rounded down), so that the rest has to come again at the next block's start.
// And the other side: text fed to a sink block by block, as a table writes it.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "table/Mygridloom.h"

namespace gridloom::testsupport {

class BlockSink final : public HtmlSink {
 public:
  bool Start(const std::vector<HtmlPart>& parts) override {
    sizes_.clear();
    for (const HtmlPart& part : parts) sizes_.push_back(part.size);
    parts_.assign(parts.size(), {});
    ended_.assign(parts.size(), false);
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

// Feeds text to a sink as a table writes it: in two parts cut at partCut (one part at 0),
// each blockSize bytes at a time after the bytes the sink left. The parts are announced with
// texts as their cell text, by default their own. Answers what went wrong, or nothing.
inline std::string FeedBlocks(HtmlSink& sink, const std::string& text, std::size_t partCut,
                              std::size_t blockSize, std::vector<std::string_view> texts = {}) {
  std::vector<std::string> parts{text.substr(0, partCut > 0 ? partCut : text.size())};
  if (partCut > 0) parts.push_back(text.substr(partCut));
  std::vector<HtmlPart> announced;
  for (std::size_t i = 0; i < parts.size(); ++i)
    announced.push_back({parts[i].size(), i < texts.size() ? texts[i] : parts[i]});
  if (!sink.Start(announced)) return {};
  for (std::size_t i = 0; i < parts.size(); ++i) {
    std::string pending;
    for (std::size_t at = 0; at < parts[i].size(); at += blockSize) {
      pending += parts[i].substr(at, blockSize);
      const std::size_t taken = sink.Write(i, pending, false);
      if (taken > pending.size()) return "took more than the block";
      pending.erase(0, taken);
    }
    if (sink.Write(i, pending, true) != pending.size()) return "the last block not taken whole";
  }
  return {};
}

}  // namespace gridloom::testsupport
