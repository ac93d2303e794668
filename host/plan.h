// What a build into an output folder is to do, decided before anything is written: which
// outputs are up to date and left alone, which are made, which folders are made for them,
// and what becomes of the outputs of pages and files that are gone (removed with --delete,
// else kept on record).
#pragma once

#include <cstddef>
#include <filesystem>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "build_state.h"
#include "site.h"

namespace gridloom::host {

struct PlanOptions {
  bool incremental = false;  // into an output folder, with a build state (not -o)
  bool force = false;        // make every output again
  bool deleteStale = false;  // remove the outputs of what is gone
};

class Plan {
 public:
  // The plan for jobs over the outputs on record (which must outlive the plan: up-to-date
  // jobs point at their records). Stamps come from stamps (the file system, or a test's).
  Plan(const std::vector<Job>& jobs, const std::map<std::string, OutputRecord>& recorded,
       const PlanOptions& options, StampCache& stamps);

  // The record of a job whose output is up to date, or nullptr: the job is run.
  const OutputRecord* Current(std::size_t job) const { return current_[job]; }
  bool AllCurrent() const;
  // Whether an earlier build is on record (a rebuild, which ends with a summary).
  bool Rebuild() const { return rebuild_; }

  // Outputs on record whose page or file is gone (names compared as the file system does:
  // on Windows, Page.html renamed page.html is the same output): removed first when
  // RemoveStale() (a page that became a folder of the same name needs its old output out of
  // the way), else kept on record.
  const std::map<std::string, OutputRecord>& Stale() const { return stale_; }
  bool RemoveStale() const { return removeStale_; }

  // The folders the outputs that are made need (with an output folder).
  const std::set<std::filesystem::path>& Folders() const { return folders_; }

 private:
  std::vector<const OutputRecord*> current_;
  std::map<std::string, OutputRecord> stale_;
  std::set<std::filesystem::path> folders_;
  bool rebuild_ = false;
  bool removeStale_ = false;
};

}  // namespace gridloom::host
