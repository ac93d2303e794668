#include "expand.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <exception>
#include <cstdio>
#include <map>
#include <memory>
#include <set>

#include "base/parallel.h"
#include "depfile.h"
#include "outputs.h"
#include "plan.h"
#include "report.h"
#include "site.h"

namespace gridloom::host {

namespace fs = std::filesystem;

namespace {

// What one job came to.
struct Outcome {
  OutputRecord record;
  std::string error, messages, note;
  bool wrote = false;
  int standardOutput = 0;  // the errno of a page's write to standard output
};

// One run of expand, step by step.
class Build {
 public:
  Build(const InlineFunction& call, const Encodings& encodings, const ExpandRequest& request)
      : call_(call), encodings_(encodings), request_(request) {}

  int Run();

 private:
  std::optional<int> Prepare();
  void MakeOutputs();
  Outcome RunJob(std::size_t i, PageExpander& expander) const;
  PageResult Stream(const Job& job, std::string_view page, PageExpander& expander,
                    Outcome& outcome) const;
  void Account(std::size_t i, Outcome& outcome);
  bool WriteDepfile();
  void SaveState();
  int Finish();

  const InlineFunction& call_;
  const Encodings& encodings_;
  const ExpandRequest& request_;
  const bool incremental_ = request_.outDir.has_value();
  Jobs jobs_;
  std::size_t pages_ = 0;
  bool ioFailure_ = false;
  Manifest manifest_;
  StampCache stamps_;
  std::unique_ptr<Plan> plan_;
  std::map<std::string, OutputRecord> keptStale_;
  std::set<fs::path> failedFolders_;
  // What the jobs came to, under lock_.
  gridloom::Lock lock_;
  std::unique_ptr<Progress> progress_;
  std::vector<std::optional<OutputRecord>> records_;
  std::size_t problems_ = 0, expanded_ = 0, copied_ = 0, written_ = 0, failed_ = 0;
  int standardOutput_ = 0;  // the errno of the write to standard output
};

int Build::Run() {
  if (const std::optional<int> status = Prepare()) return *status;
  MakeOutputs();
  return Finish();
}

// Walks the inputs, refuses what would lose a file, and plans.
std::optional<int> Build::Prepare() {
  JobOptions options{request_.outDir, request_.outFile, request_.includeHidden, {}};
  if (request_.outDir) options.skip = {*request_.outDir, Manifest::PathFor(*request_.outDir)};
  jobs_ = CollectJobs(request_.inputs, options);
  ioFailure_ = !jobs_.ok;
  pages_ = jobs_.Pages();
  if (!request_.outDir && pages_ > 1) {
    Error("expand: " + std::to_string(pages_) + " pages: use --out-dir to expand more than one");
    return kUsage;
  }
  if (!request_.outDir && pages_ == 0 && !ioFailure_) {
    Error("expand: no pages (*.html, *.htm) found");
    return kUsage;
  }
  if (const auto clash =
          TargetClash(jobs_.list, request_.outDir, request_.outFile, request_.depfile)) {
    Error(*clash);
    return kUsage;
  }
  if (incremental_) {
    manifest_ = Manifest::Load(*request_.outDir, request_.buildKey);
    if (const auto problem = OutDirProblem(*request_.outDir, jobs_, manifest_)) {
      Error(problem->second);
      return problem->first;
    }
  }
  plan_ = std::make_unique<Plan>(jobs_.list, manifest_.outputs,
                                 PlanOptions{incremental_, request_.force, request_.deleteStale},
                                 stamps_);
  try {
    if (const auto refusal = OutputThatIsAnInput(jobs_.list, request_.depfile, *plan_, stamps_,
                                                 call_, encodings_)) {
      Error(*refusal);
      return kUsage;
    }
  } catch (const std::invalid_argument& e) {
    Error(e.what());
    return kUsage;
  }
  return std::nullopt;
}

// Removes what is stale, makes the folders, and runs the jobs on their threads.
void Build::MakeOutputs() {
  if (plan_->RemoveStale()) {
    ioFailure_ |= !RemoveStale(*request_.outDir, plan_->Stale(), jobs_.unseen, keptStale_);
  } else {
    keptStale_ = plan_->Stale();
  }
  if (incremental_) {
    failedFolders_ = MakeFolders(*request_.outDir, plan_->Folders(), keptStale_);
    ioFailure_ |= !failedFolders_.empty();
  }
  progress_ = std::make_unique<Progress>(
      !request_.quiet && pages_ > 8 && IsTerminal(kStandardError), pages_);
  records_.resize(jobs_.list.size());
  if (plan_->AllCurrent()) {  // nothing to make: what the last build said is said again
    for (std::size_t i = 0; i < jobs_.list.size(); ++i) {
      Outcome outcome;
      outcome.messages = plan_->Current(i)->messages;
      Account(i, outcome);
    }
    progress_->Finish();
    return;
  }
  ForEachPage(jobs_.list.size(), request_.jobs, call_, encodings_,
              [this](std::size_t i, PageExpander& expander) {
                const Job& job = jobs_.list[i];
                if (!job.target.empty() && failedFolders_.count(job.target.parent_path()) != 0) {
                  return;
                }
                expander.Stamp(incremental_);
                Outcome outcome = RunJob(i, expander);
                const gridloom::Locked guard(lock_);
                Account(i, outcome);
              });
  progress_->Finish();
}

// Makes one output: a page expanded, or a file copied (unless its output holds it already).
Outcome Build::RunJob(std::size_t i, PageExpander& expander) const {
  const Job& job = jobs_.list[i];
  Outcome outcome;
  OutputRecord& record = outcome.record;
  if (const OutputRecord* current = plan_->Current(i)) {  // its record stays as it is
    outcome.messages = current->messages;
    return outcome;
  }
  PageResult result;
  try {
    record.page = job.page;
    record.source = PathText(job.source);
    record.sourceStamp = StampOf(job.source);
    const std::string data = ReadFile(job.source);
    std::string_view output = data;
    // In an output folder, what is there is replaced unless it is a file of its own (not a
    // link to one) holding the output already; a copy also has its source's mode and time.
    const bool link = incremental_ && IsLink(job.target);
    const FileInfo old = incremental_ && !link ? Examine(job.target) : FileInfo{};
    bool write;
    if (!job.page) {
      const FileInfo from = Examine(job.source);
      write = link || from.mode != old.mode || from.mtime != old.mtime ||
              !Holds(job.target, old, data);
    } else if (!incremental_) {
      result = Stream(job, data, expander, outcome);
      write = false;
    } else {
      result = expander.Expand(data, job.name, job.source.parent_path());
      output = result.text;
      write = link || !Holds(job.target, old, output);
    }
    record.inputs = InputsOf(result);
    if (write && link) {
      outcome.note = "replaced " + PathText(job.target) +
                     ": it was a symlink, which gridloom does not follow in its output folder";
    }
    if (write) {
      WriteFileAtomic(job.target, output, job.page ? nullptr : &job.source,
                      incremental_ ? Existing::kReplace : Existing::kWriteThrough);
      outcome.wrote = true;
    }
    if (!job.target.empty()) record.outStamp = StampOf(job.target, false);
  } catch (const IoError& e) {
    outcome.error = e.what();
  } catch (const std::exception& e) {
    outcome.error = job.name + ": " + e.what();
  }
  outcome.messages = result.ProblemLines(job.name);
  record.messages = outcome.messages;
  record.calls = result.calls.size();
  record.problems = result.Problems();
  record.tables = result.Tables();
  return outcome;
}

// A page to -o or standard output, written as it is made: its tables are never whole in the
// page's encoding. A file is written atomically, and not at all when the page fails.
PageResult Build::Stream(const Job& job, std::string_view page, PageExpander& expander,
                         Outcome& outcome) const {
  const fs::path folder = job.source.parent_path();
  PageResult result;
  if (job.target.empty()) {
    int& error = outcome.standardOutput;
    return expander.Expand(page, job.name, folder, {[&error](std::string_view piece) {
                             if (error == 0) error = WriteAll(kStandardOutput, piece);
                           }});
  }
  std::exception_ptr failure;  // of the page itself, which the write only passes on
  const auto fill = [&](int fd) {
    int error = 0;
    try {
      const PageSink sink{[&error, fd](std::string_view piece) {
                            if (error == 0) error = WriteAll(fd, piece);
                          },
                          nullptr, [&error, fd](std::u16string_view table) {
                            if (error == 0) error = WriteUtf8(fd, table);
                          }};
      result = expander.Expand(page, job.name, folder, sink);
    } catch (...) {
      failure = std::current_exception();
      return EIO;
    }
    return error;
  };
  try {
    WriteFileAtomic(job.target, fill, nullptr, Existing::kWriteThrough);
  } catch (const IoError&) {
    if (failure) std::rethrow_exception(failure);
    throw;
  }
  outcome.wrote = true;
  return result;
}

// Says what a job came to and counts it; under lock_.
void Build::Account(std::size_t i, Outcome& outcome) {
  const Job& job = jobs_.list[i];
  if (!outcome.messages.empty()) {
    progress_->Clear();
    WriteText(kStandardError, outcome.messages, 0);
  }
  if (!outcome.note.empty()) {
    progress_->Clear();
    Note(outcome.note);
  }
  if (!outcome.error.empty()) {
    progress_->Clear();
    Error(outcome.error);
    ioFailure_ = true;
    ++failed_;
  } else if (plan_->Current(i) == nullptr) {
    records_[i] = std::move(outcome.record);
  }
  if (outcome.standardOutput != 0) standardOutput_ = outcome.standardOutput;
  const OutputRecord* record = records_[i] ? &*records_[i] : plan_->Current(i);
  problems_ += record != nullptr ? record->problems : 0;
  if (plan_->Current(i) == nullptr) (job.page ? expanded_ : copied_) += 1;
  written_ += outcome.wrote ? 1 : 0;
  if (job.page) progress_->PageDone(record != nullptr ? record->tables : 0);
}

// Writes the depfile: each page's output with its page and the files its calls read (a file
// that is missing stood for by the nearest folder that exists: the file's arrival changes
// that folder's time, and so rebuilds the page, without making the page out of date for as
// long as the file stays away). An output older than one of these, left as it was because
// its bytes would not change, is given the time of now, so that make and ninja find it up
// to date; its record is stamped again. False after an error (reported).
bool Build::WriteDepfile() {
  const std::vector<Job>& jobs = jobs_.list;
  std::vector<std::optional<OutputRecord>>& records = records_;
  for (std::size_t i = 0; i < jobs.size(); ++i) {  // up to date, but perhaps stamped again
    if (!records[i] && plan_->Current(i) != nullptr) records[i] = *plan_->Current(i);
  }
  std::vector<DepRule> rules;
  std::vector<std::pair<std::size_t, long long>> newest;  // job, its prerequisites' time
  for (std::size_t i = 0; i < jobs.size(); ++i) {
    if (!jobs[i].page || jobs[i].target.empty() || !records[i]) continue;
    DepRule& rule = rules.emplace_back();
    rule.target = PathText(jobs[i].target);
    rule.page = PathText(jobs[i].source);
    long long time = Examine(jobs[i].source).mtime;
    for (const Input& input : records[i]->inputs) {
      fs::path path = input.path;
      std::error_code error;
      while (!input.stamp.exists && !path.empty() && !fs::exists(path, error)) {
        path = path.parent_path();
      }
      rule.inputs.push_back(path.empty() ? std::string(".") : PathText(path));
      time = std::max(time, Examine(path.empty() ? fs::path(".") : path).mtime);
    }
    newest.emplace_back(i, time);
  }
  try {
    const std::string text = DepfileText(rules);
    const long long now = std::chrono::duration_cast<std::chrono::nanoseconds>(
                              std::chrono::system_clock::now().time_since_epoch())
                              .count();
    for (const auto& [i, time] : newest) {
      const FileInfo output = Examine(jobs[i].target);
      if (!output.exists || output.mtime >= time) continue;
      if (const int error = SetFileTimes(jobs[i].target, std::max(now, time))) {
        throw IoError("cannot set the time of " + PathText(jobs[i].target) + ": " +
                      Reason(error));
      }
      records[i]->outStamp = StampOf(jobs[i].target, false);
    }
    WriteFileAtomic(*request_.depfile, text);
  } catch (const IoError& e) {
    Error(e.what());
    return false;
  }
  return true;
}

// Keeps what this build made on record for the next one. Outputs that failed have no record
// and are made again next time; outputs of pages that are gone are kept on record until
// --delete removes them.
void Build::SaveState() {
  // A build that found everything up to date has nothing new to record; nothing is on
  // record for a folder that could not be made.
  std::error_code error;
  if (!fs::is_directory(*request_.outDir, error) ||
      !(!plan_->AllCurrent() || plan_->RemoveStale() || !plan_->Rebuild() ||
        request_.depfile || manifest_.FoundInside())) {
    return;
  }
  std::map<std::string, OutputRecord> outputs = std::move(keptStale_);
  for (std::size_t i = 0; i < jobs_.list.size(); ++i) {
    if (records_[i]) {
      outputs.insert_or_assign(jobs_.list[i].relative, std::move(*records_[i]));
    } else if (const OutputRecord* current = plan_->Current(i)) {
      outputs.insert_or_assign(jobs_.list[i].relative, *current);
    }
  }
  manifest_.outputs = std::move(outputs);
  try {
    manifest_.Save(*request_.outDir);
  } catch (const IoError& e) {
    Error(std::string(e.what()) + (manifest_.Found()
                                       ? "; the next build makes again what this one made"
                                       : "; the next build makes everything again"));
    ioFailure_ = true;
  }
}

// The depfile, the build's state, the summary and the page on standard output; the status.
int Build::Finish() {
  if (request_.depfile && !ioFailure_ && !WriteDepfile()) ioFailure_ = true;
  if (incremental_) {
    SaveState();
    const std::size_t files = jobs_.list.size() - pages_;
    if (plan_->Rebuild() && !request_.quiet) {
      std::fprintf(stderr, "gridloom: %zu of %zu pages expanded, %zu of %zu other files copied, "
                   "%zu written%s; the rest up to date\n", expanded_, pages_, copied_, files,
                   written_, failed_ == 0 ? "" : (", " + std::to_string(failed_) + " failed").c_str());
    }
  }
  if (!Printed(standardOutput_)) return kIoFailure;
  if (ioFailure_) return kIoFailure;
  return request_.strict && problems_ > 0 ? kNoTable : kOk;
}

}  // namespace

int ExpandPages(const InlineFunction& call, const Encodings& encodings,
                const ExpandRequest& request) {
  return Build(call, encodings, request).Run();
}

}  // namespace gridloom::host
