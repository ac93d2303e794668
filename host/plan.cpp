#include "plan.h"

#include <algorithm>
#include <unordered_set>

#include "text_io.h"

namespace gridloom::host {

Plan::Plan(const std::vector<Job>& jobs, const std::map<std::string, OutputRecord>& recorded,
           const PlanOptions& options, StampCache& stamps)
    : current_(jobs.size(), nullptr), rebuild_(!recorded.empty()) {
  for (std::size_t i = 0; options.incremental && i < jobs.size(); ++i) {
    const auto it = recorded.find(jobs[i].relative);
    if (options.force || it == recorded.end()) continue;
    const OutputRecord& record = it->second;
    if (record.page == jobs[i].page && record.source == PathText(jobs[i].source) &&
        record.UpToDate(jobs[i].target, stamps)) {
      current_[i] = &record;
    }
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
