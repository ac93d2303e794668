#include "expand.h"

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <map>
#include <mutex>
#include <set>
#include <thread>
#include <utility>

#include "inline_scan.h"
#include "plugin_loader.h"

namespace gridloom::host {

namespace fs = std::filesystem;

PageExpander::PageExpander(InlineFunction call, const Encodings& encodings)
    : call_(std::move(call)),
      encodings_(encodings),
      toAnsi_(encodings.page, encodings.ansi),
      folderToAnsi_("UTF-8", encodings.ansi),
      toUtf8_(encodings.page, "UTF-8"),
      toPage_(encodings.page) {}

PageResult PageExpander::Expand(std::string_view page, const std::string& name,
                                const fs::path& folder) {
  PageResult result;
  result.text.reserve(page.size() + page.size() / 2);
  const std::string folderText = folder.empty() ? std::string(".") : folder.string();
  std::optional<std::optional<std::string>> base;  // the folder in the ANSI code page, once
  const auto warn = [&](const InlineCall& call, const std::string& what) {
    result.warnings.push_back(name + ":" + std::to_string(call.line) + ": " + what);
  };
  const std::string cp = "code page " + std::to_string(encodings_.codePage);

  std::size_t copied = 0;
  for (const InlineCall& call : FindInlineCalls(page)) {
    result.text.append(page.substr(copied, call.begin - copied));
    copied = call.end;
    const std::string_view written = page.substr(call.begin, call.end - call.begin);
    if (!call.balanced) {
      warn(call, "unbalanced parentheses or quotes in &gridloom(; left as written");
      ++result.failures;
      result.text.append(written);
      continue;
    }
    const std::optional<std::string> argText = toAnsi_.Convert(call.args);
    if (!base) base = folderToAnsi_.Convert(folderText);
    if (!argText || !*base) {
      warn(call, (argText ? "folder " + folderText : std::string("argument text")) +
                     " cannot be written in " + cp + "; left as written");
      ++result.failures;
      result.text.append(written);
      continue;
    }
    const std::u16string html = call_(*argText, **base);
    if (html == Plugin::kFailureComment) {
      ++result.failures;
      const std::string csv = CsvFileName(call.args);
      std::string shown = toUtf8_.Convert(csv).value_or(csv);
      std::replace(shown.begin(), shown.end(), '\\', '/');
      warn(call, "cannot open CSV file " + (folder.empty() ? shown : folderText + "/" + shown));
    } else {
      ++result.tables;
    }
    result.text += toPage_.Encode(html);
  }
  result.text.append(page.substr(copied));
  return result;
}

namespace {

struct Job {
  fs::path source;
  std::string name;  // as the user sees it
  fs::path target;   // empty: standard output
  bool page = true;  // else a file that is copied
};

bool IsPageName(const fs::path& path) {
  std::string extension = path.extension().string();
  for (char& c : extension) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return extension == ".html" || extension == ".htm";
}

void Error(const std::string& message) {
  std::fprintf(stderr, "gridloom: %s\n", message.c_str());
}

// The progress line: pages done of total, tables, rate. Drawn under the caller's lock.
class Progress {
 public:
  Progress(bool enabled, std::size_t pages) : enabled_(enabled), pages_(pages) {}

  void PageDone(std::size_t tables) {
    ++done_;
    tables_ += tables;
    const auto now = Clock::now();
    if (enabled_ && (now - drawn_ > std::chrono::milliseconds(100) || done_ == pages_)) {
      drawn_ = now;
      Draw(now);
    }
  }
  // Clears the line before other output.
  void Clear() const {
    if (enabled_ && shown_) std::fputs("\r\033[K", stderr);
  }
  void Finish() {
    if (enabled_ && shown_) std::fputc('\n', stderr);
  }

 private:
  using Clock = std::chrono::steady_clock;
  void Draw(Clock::time_point now) {
    const double seconds = std::chrono::duration<double>(now - start_).count();
    const double rate = seconds > 0 ? static_cast<double>(done_) / seconds : 0;
    std::fprintf(stderr, "\r\033[Kgridloom: %zu/%zu pages, %zu tables, %.0f pages/s", done_,
                 pages_, tables_, rate);
    std::fflush(stderr);
    shown_ = true;
  }

  bool enabled_;
  std::size_t pages_;
  std::size_t done_ = 0, tables_ = 0;
  bool shown_ = false;
  Clock::time_point start_ = Clock::now(), drawn_{};
};

// The jobs of a request, sorted by name; false after an error (already reported).
bool CollectJobs(const ExpandRequest& request, std::vector<Job>& jobs) {
  bool ok = true;
  std::error_code error;
  const std::optional<fs::path> outDir =
      request.outDir ? std::optional(fs::weakly_canonical(*request.outDir, error)) : std::nullopt;
  for (const fs::path& input : request.inputs) {
    const fs::file_status status = fs::status(input, error);
    if (!fs::exists(status)) {
      Error("cannot read " + input.string() + ": " +
            (error ? error.message() : std::string("No such file or directory")));
      ok = false;
      continue;
    }
    if (!fs::is_directory(status)) {
      jobs.push_back({input, input.string(),
                      request.outDir ? *request.outDir / input.filename()
                                     : request.outFile.value_or(fs::path()),
                      true});
      continue;
    }
    std::vector<Job> found;
    fs::recursive_directory_iterator it(input, error), end;
    for (; !error && it != end; it.increment(error)) {
      const fs::directory_entry& entry = *it;
      if (entry.is_directory()) {
        // The output tree may lie inside the input tree: it is not read.
        std::error_code ignored;
        if (outDir && fs::equivalent(entry.path(), *outDir, ignored)) it.disable_recursion_pending();
        continue;
      }
      if (!entry.is_regular_file()) continue;
      const bool page = IsPageName(entry.path());
      if (!page && !request.outDir) continue;
      const fs::path relative = entry.path().lexically_relative(input);
      found.push_back({entry.path(), entry.path().string(),
                       request.outDir ? *request.outDir / relative
                                      : request.outFile.value_or(fs::path()),
                       page});
    }
    if (error) {
      Error("cannot read " + input.string() + ": " + error.message());
      ok = false;
    }
    std::sort(found.begin(), found.end(),
              [](const Job& a, const Job& b) { return a.name < b.name; });
    jobs.insert(jobs.end(), found.begin(), found.end());
  }
  return ok;
}

}  // namespace

int ExpandPages(const InlineFunction& call, const Encodings& encodings,
                const ExpandRequest& request) {
  std::vector<Job> jobs;
  bool ioFailure = !CollectJobs(request, jobs);
  const auto pages = static_cast<std::size_t>(
      std::count_if(jobs.begin(), jobs.end(), [](const Job& job) { return job.page; }));
  if (!request.outDir && pages > 1) {
    Error("expand: " + std::to_string(pages) + " pages: use --out-dir to expand more than one");
    return kUsage;
  }
  if (!request.outDir && pages == 0 && !ioFailure) {
    Error("expand: no pages (*.html, *.htm) found");
    return kUsage;
  }
  if (request.outDir) {
    std::map<fs::path, const Job*> targets;
    for (const Job& job : jobs) {
      auto [it, added] = targets.emplace(job.target.lexically_normal(), &job);
      if (!added) {
        Error("expand: " + it->second->name + " and " + job.name + " would both be written to " +
              job.target.string());
        return kUsage;
      }
    }
  }

  // Folders first, on one thread; the jobs below a folder that cannot be made are dropped.
  // Only the output tree is made; the folder of an -o file must exist.
  std::set<fs::path> folders, failedFolders;
  for (const Job& job : jobs) {
    if (request.outDir) folders.insert(job.target.parent_path());
  }
  for (const fs::path& folder : folders) {
    std::error_code error;
    fs::create_directories(folder, error);
    if (error) {
      Error("cannot create folder " + folder.string() + ": " + error.message());
      failedFolders.insert(folder);
      ioFailure = true;
    }
  }
  std::erase_if(jobs, [&](const Job& job) {
    return !job.target.empty() && failedFolders.count(job.target.parent_path()) != 0;
  });

  std::mutex lock;  // guards standard error, the progress line and the counts below
  Progress progress(!request.quiet && pages > 8 && isatty(STDERR_FILENO), pages);
  std::size_t failures = 0;
  std::string standardOutput;
  std::atomic<std::size_t> next{0};

  const auto work = [&] {
    PageExpander expander(call, encodings);
    for (std::size_t i = next++; i < jobs.size(); i = next++) {
      const Job& job = jobs[i];
      PageResult result;
      std::string error;
      try {
        const std::string data = ReadFile(job.source);
        if (!job.page) {
          WriteFileAtomic(job.target, data);
        } else {
          result = expander.Expand(data, job.name, job.source.parent_path());
          if (!job.target.empty()) WriteFileAtomic(job.target, result.text);
        }
      } catch (const IoError& e) {
        error = e.what();
      } catch (const std::exception& e) {
        error = job.name + ": " + e.what();
      }
      const std::lock_guard<std::mutex> guard(lock);
      if (!result.warnings.empty() || !error.empty()) progress.Clear();
      for (const std::string& warning : result.warnings) std::fprintf(stderr, "%s\n", warning.c_str());
      if (!error.empty()) {
        Error(error);
        ioFailure = true;
      }
      failures += result.failures;
      if (job.page && job.target.empty() && error.empty()) standardOutput = std::move(result.text);
      if (job.page) progress.PageDone(result.tables);
    }
  };
  const unsigned threads =
      static_cast<unsigned>(std::clamp<std::size_t>(jobs.size(), 1, std::max(1u, request.jobs)));
  std::vector<std::thread> workers;
  for (unsigned t = 1; t < threads; ++t) workers.emplace_back(work);
  work();
  for (std::thread& worker : workers) worker.join();
  progress.Finish();

  if (!standardOutput.empty() && !request.outFile && !request.outDir) {
    if (std::fwrite(standardOutput.data(), 1, standardOutput.size(), stdout) !=
            standardOutput.size() ||
        std::fflush(stdout) != 0) {
      Error("cannot write standard output");
      return kIoFailure;
    }
  }
  if (ioFailure) return kIoFailure;
  return request.strict && failures > 0 ? kNoTable : kOk;
}

}  // namespace gridloom::host
