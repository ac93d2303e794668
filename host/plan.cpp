#include "plan.h"

#include <algorithm>
#include <unordered_set>

#include "base/parallel.h"
#include "text_io.h"

namespace gridloom::host {

Plan::Plan(const std::vector<Job>& jobs, const std::map<std::string, OutputRecord>& recorded,
           const PlanOptions& options, StampCache& stamps)
    : current_(jobs.size(), nullptr), rebuild_(!recorded.empty()) {
  // Whether the outputs are up to date, asked of the file system for each: a large site's
  // questions on two threads, the second with stamps of its own.
  const auto judge = [&](std::size_t begin, std::size_t end, StampCache& cache) {
    for (std::size_t i = begin; options.incremental && !options.force && i < end; ++i) {
      const auto it = recorded.find(jobs[i].relative);
      if (it == recorded.end()) continue;
      const OutputRecord& record = it->second;
      if (record.page == jobs[i].page && record.source == PathText(jobs[i].source) &&
          record.UpToDate(jobs[i].target, cache)) {
        current_[i] = &record;
      }
    }
  };
  constexpr std::size_t kWorthAThread = 512;
  if (jobs.size() < 2 * kWorthAThread || gridloom::Cores() < 2) {
    judge(0, jobs.size(), stamps);
  } else {
    StampCache second = stamps;
    const std::size_t half = jobs.size() / 2;
    gridloom::RunParts(2, [&](std::size_t part) {
      if (part == 0) judge(0, half, stamps);
      if (part == 1) judge(half, jobs.size(), second);
    });
  }
  std::unordered_set<std::string> made(jobs.size());
  for (const Job& job : jobs) made.insert(NameKey(job.relative));
  for (const auto& [name, record] : recorded) {
    if (made.count(NameKey(name)) == 0) stale_.emplace(name, record);
  }
  removeStale_ = options.incremental && options.deleteStale && !stale_.empty();
  for (std::size_t i = 0; i < jobs.size(); ++i) {
    if (options.incremental && current_[i] == nullptr) {
      folders_.insert(jobs[i].target.parent_path());
    }
  }
}

bool Plan::AllCurrent() const {
  return std::all_of(current_.begin(), current_.end(),
                     [](const OutputRecord* record) { return record != nullptr; });
}

}  // namespace gridloom::host
