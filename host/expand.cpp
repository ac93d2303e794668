#include "expand.h"

#include <strings.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <map>
#include <set>
#include <unordered_map>
#include <unordered_set>
#include <utility>

#include "base/parallel.h"
#include "gridloom/input_file.h"
#include "gridloom/native_path.h"
#include "inline_scan.h"
#include "plugin_loader.h"
#include "site.h"

namespace gridloom::host {

namespace fs = std::filesystem;

namespace {

// Bytes that a page encoding must write as ASCII for calls to be found in its bytes.
constexpr std::string_view kAsciiProbe = "&gridloom(\"<!-->),\\/.\r\n azAZ09";

bool WritesAsciiAsAscii(const std::string& charset) {
  Recoder probe("UTF-8", charset);
  return probe.Convert(kAsciiProbe) == std::string(kAsciiProbe);
}

// A file of a call as people read it: the page's folder, then the name with slashes.
std::string Shown(const fs::path& folder, const std::string& name) {
  return folder.empty() ? Slashed(name) : PathText(folder) + "/" + Slashed(name);
}

}  // namespace

std::size_t PageResult::Tables() const {
  return static_cast<std::size_t>(
      std::count_if(calls.begin(), calls.end(), [](const CallReport& c) { return c.table; }));
}

std::size_t PageResult::Problems() const {
  return static_cast<std::size_t>(std::count_if(
      calls.begin(), calls.end(), [](const CallReport& c) { return !c.problems.empty(); }));
}

std::string PageResult::ProblemLines(const std::string& name) const {
  std::string text;
  for (const CallReport& report : calls) {
    for (const std::string& problem : report.problems) {
      text += name + ":" + std::to_string(report.line) + ": " + problem + "\n";
    }
  }
  return text;
}

std::string Unreadable(const std::string& ansiPath, bool csv) {
  if (csv && IsDeviceName(ansiPath)) return "a device name of Windows, never a table";
  return WhyUnreadable(NativePath(ansiPath));
}

PageExpander::PageExpander(InlineFunction call, const Encodings& encodings)
    : call_(std::move(call)),
      encodings_(encodings),
      asciiCompatible_(WritesAsciiAsAscii(encodings.page)),
      toUtf8_(encodings.page, "UTF-8"),
      utf8ToAnsi_("UTF-8", encodings.ansi),
      fromUtf8_("UTF-8", encodings.page),
      toPage_(asciiCompatible_ ? encodings.page : std::string("UTF-8")) {}

CallReport PageExpander::Resolve(std::string_view args, const fs::path& folder,
                                 std::string& ansiArgs, std::string& ansiBase) {
  CallReport report;
  const std::string cp = "code page " + std::to_string(encodings_.codePage);
  const std::optional<std::string> utf8 =
      asciiCompatible_ ? toUtf8_.Convert(args) : std::optional(std::string(args));
  if (!utf8) {
    std::string problem = "the call is not valid " + encodings_.pageName;
    if (IsUtf8Name(encodings_.pageName)) {
      problem += " (a Shift_JIS page needs --page-encoding Shift_JIS)";
    }
    report.problems.push_back(problem + "; left as written");
    return report;
  }
  report.csv = Shown(folder, ArgumentField(*utf8, 0));
  const std::string iniName = ArgumentField(*utf8, 1);
  if (!iniName.empty()) report.ini = Shown(folder, iniName);
  const std::string folderText = folder.empty() ? std::string(".") : PathText(folder);
  const std::optional<std::string> argsInCp = utf8ToAnsi_.Convert(*utf8);
  const std::optional<std::string> baseInCp =
      kAnsiNames ? std::optional(folderText) : utf8ToAnsi_.Convert(folderText);
  if (!argsInCp || !baseInCp) {
    report.problems.push_back(
        (argsInCp ? "the folder " + folderText : std::string("the argument text")) +
        " cannot be written in " + cp + kWiderCodePageHint + "; left as written");
    return report;
  }
  ansiArgs = *argsInCp;
  ansiBase = *baseInCp;
  if (kAnsiNames) {  // messages name files as the system does
    report.csv = Shown(folder, ArgumentField(ansiArgs, 0));
    if (!iniName.empty()) report.ini = Shown(folder, ArgumentField(ansiArgs, 1));
  }
  report.csvPath = NativePath(ansiBase + '\\' + ArgumentField(ansiArgs, 0));
  report.csvStamp = StampOf(report.csvPath);
  if (!iniName.empty()) {
    const std::string iniAnsi = ansiBase + '\\' + ArgumentField(ansiArgs, 1);
    report.iniPath = NativePath(iniAnsi);
    report.iniStamp = StampOf(report.iniPath);
    const std::string why = Unreadable(iniAnsi, false);
    if (!why.empty()) {
      report.problems.push_back("cannot read INI file " + report.ini + ": " + why +
                                "; the default tags are used");
    }
  }
  return report;
}

PageResult PageExpander::Expand(std::string_view page, const std::string& name,
                                const fs::path& folder, bool render) {
  std::string decoded;
  if (!asciiCompatible_) {
    std::optional<std::string> utf8 = toUtf8_.Convert(page);
    if (!utf8) throw IoError("cannot read " + name + " as " + encodings_.pageName);
    decoded = std::move(*utf8);
    page = decoded;
  }
  PageResult result;
  if (render) result.text.reserve(page.size() + page.size() / 2);
  std::size_t copied = 0;
  for (const InlineCall& call : FindInlineCalls(page)) {
    const std::string_view written = page.substr(call.begin, call.end - call.begin);
    if (render) result.text.append(page.substr(copied, call.begin - copied));
    copied = call.end;
    std::string ansiArgs, ansiBase;
    CallReport report;
    if (!call.Balanced()) {
      report.problems.push_back("malformed call: " + std::string(call.malformed) +
                                " before its \")\"; left as written");
    } else {
      report = Resolve(call.args, folder, ansiArgs, ansiBase);
    }
    report.line = call.line;
    const bool callable = !report.csvPath.empty();
    if (render && callable) {
      const std::u16string html = call_(ansiArgs, ansiBase);
      report.table = html != Plugin::kFailureComment;
      if (!report.table) {
        const std::string why = Unreadable(ansiBase + '\\' + ArgumentField(ansiArgs, 0), true);
        report.problems.insert(report.problems.begin(),
                               "cannot open CSV file " + report.csv + ": " +
                                   (why.empty() ? "no table could be made of it" : why));
      }
      result.text += toPage_.Encode(html);
    } else if (render) {
      result.text.append(written);
    }
    result.calls.push_back(std::move(report));
  }
  if (render) result.text.append(page.substr(copied));
  if (render && !asciiCompatible_) {
    std::optional<std::string> back = fromUtf8_.Convert(result.text);
    if (!back) throw IoError("cannot write " + name + " back as " + encodings_.pageName);
    result.text = std::move(*back);
  }
  return result;
}

std::vector<Input> InputsOf(const PageResult& result) {
  std::vector<Input> inputs;
  std::set<std::string> seen;
  for (const CallReport& report : result.calls) {
    for (const auto& [path, stamp] : {std::pair(&report.csvPath, &report.csvStamp),
                                      std::pair(&report.iniPath, &report.iniStamp)}) {
      if (!path->empty() && seen.insert(*path).second) inputs.push_back({*path, *stamp});
    }
  }
  return inputs;
}

void Error(const std::string& message) {
  WriteText(kStandardError, "gridloom: " + message + "\n", 0);
}

namespace {

struct Job {
  fs::path source;
  std::string name;  // as the user sees it
  fs::path target;   // empty: standard output (or nothing, for a check)
  bool page = true;  // else a file that is copied
  std::string relative;  // with --out-dir: the target's name in the folder, with slashes
};

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

// The jobs of a request, each file once (in the order of the inputs, each folder's sorted by
// name), and what could not be looked at.
struct Jobs {
  std::vector<Job> list;
  std::vector<std::string> unseen;  // names of files and folders that could not be read
  std::vector<fs::path> folders;    // the folders walked
  bool ok = true;                   // false after an error (already reported)
};

Jobs CollectJobs(const ExpandRequest& request) {
  Jobs jobs;
  WalkOptions options{!request.outDir, request.includeHidden, {}};
  if (request.outDir) {
    options.skip = {*request.outDir, Manifest::PathFor(*request.outDir)};
  }
  // A file named twice (a folder and a page in it) is one input; one input alone cannot be.
  std::set<fs::path> seen;
  const auto add = [&](Job job) {
    if (request.inputs.size() > 1) {
      std::error_code error;
      const fs::path key = fs::weakly_canonical(job.source, error);
      if (!seen.insert(error ? job.source : key).second) return;
    }
    jobs.list.push_back(std::move(job));
  };
  const auto target = [&request](const std::string& relative) {
    return request.outDir ? *request.outDir / relative : request.outFile.value_or(fs::path());
  };
  for (const fs::path& input : request.inputs) {
    std::error_code error;
    const fs::file_status status = fs::status(input, error);
    if (!fs::exists(status)) {
      Error("cannot read " + PathText(input) + ": " +
            (error ? error.message() : std::string("No such file or directory")));
      jobs.unseen.push_back(PathText(input));
      jobs.ok = false;
      continue;
    }
    if (!fs::is_directory(status)) {
      const std::string relative = PathText(input.filename());
      add({input, PathText(input), target(relative), true, relative});
      continue;
    }
    jobs.folders.push_back(input);
    Walk walk = WalkFolder(input, options);
    for (const std::string& warning : walk.warnings) Error(warning);
    jobs.ok = jobs.ok && walk.warnings.empty();
    jobs.unseen.insert(jobs.unseen.end(), walk.unseen.begin(), walk.unseen.end());
    for (SiteFile& file : walk.files) {
      add({std::move(file.path), std::move(file.name), target(file.relative), file.page,
           std::move(file.relative)});
    }
  }
  return jobs;
}

// Whether a name lies in (or is) one of the things that could not be read.
bool InUnseen(const std::string& name, const std::vector<std::string>& unseen) {
  return std::any_of(unseen.begin(), unseen.end(), [&name](const std::string& folder) {
    return name == folder ||
           (name.size() > folder.size() && name.starts_with(folder) && name[folder.size()] == '/');
  });
}

// Why the output folder cannot be used (its exit status and message), or nothing. It must be
// a folder; and where it lies inside a folder that is walked, which leaves it out, all it
// holds must be outputs of gridloom's: anything else is an input the walk does not see, and
// the build would write over it.
std::optional<std::pair<int, std::string>> OutDirProblem(const fs::path& outDir,
                                                         const Jobs& jobs,
                                                         const Manifest& manifest) {
  std::error_code error;
  const fs::file_status status = fs::status(outDir, error);
  if (fs::exists(status) && !fs::is_directory(status)) {
    return std::pair(kIoFailure, "cannot write into " + PathText(outDir) +
                                     ": it is a file, not a folder");
  }
  if (!fs::exists(status)) return std::nullopt;
  // Inside: a folder above it is the one walked, by identity (whatever names, links or
  // letter case lead there).
  const fs::path out = fs::absolute(outDir, error).lexically_normal();
  for (const fs::path& folder : jobs.folders) {
    bool inside = false;
    for (fs::path above = out.parent_path(); !inside && above.has_relative_path();
         above = above.parent_path()) {
      inside = fs::equivalent(above, folder, error);
    }
    if (!inside) continue;
    fs::recursive_directory_iterator it(outDir, error), last;
    for (; !error && it != last; it.increment(error)) {
      if (it->is_directory(error) && !it->is_symlink(error)) continue;
      const std::string name = PathText(it->path());
      std::string relative = PathText(it->path().lexically_relative(outDir));
      if (relative == Manifest::kOldFileName || manifest.outputs.count(relative) != 0) continue;
      return std::pair(kUsage, "refusing to write into " + PathText(outDir) +
                                   ": it lies inside " + PathText(folder) +
                                   ", which is read, and holds " + name +
                                   ", which gridloom did not write (it would be lost); choose "
                                   "an output folder outside " + PathText(folder));
    }
  }
  return std::nullopt;
}


// The outputs this run writes (the depfile too) that are one of the run's own inputs (a page,
// a copied file, a CSV or INI file that a call reads), by device and inode: its message, or
// nothing. Only outputs that exist can be inputs, so a first build reads no page here.
// Outputs that are up to date (current: their records) are not written, and the inputs of
// their pages are known: a rebuild reads no page of those, and takes the files' identities
// from the stamps it has.
std::optional<std::string> OutputThatIsAnInput(const std::vector<Job>& jobs,
                                               const std::optional<fs::path>& depfile,
                                               const std::vector<const OutputRecord*>& current,
                                               StampCache& stamps, const InlineFunction& call,
                                               const Encodings& encodings) {
  std::map<FileId, fs::path> outputs;
  for (std::size_t i = 0; i < jobs.size(); ++i) {
    if (current[i] != nullptr) continue;
    if (const std::optional<FileId> id = IdOf(jobs[i].target)) outputs.emplace(*id, jobs[i].target);
  }
  const auto refuse = [](const fs::path& output, const std::string& what) {
    return "refusing to write " + PathText(output) + ": it is " + what +
           " (the same file); choose another output";
  };
  if (const std::optional<FileId> id = depfile ? IdOf(*depfile) : std::nullopt) {
    const auto [it, added] = outputs.emplace(*id, *depfile);
    if (!added) return refuse(*depfile, "the output " + PathText(it->second));
  }
  if (outputs.empty()) return std::nullopt;
  const auto idOf = [&stamps](const std::string& path) {
    const FileStamp& stamp = stamps.Of(path);
    if (!stamp.exists) return FileId{};
    if (stamp.device != 0 || stamp.inode != 0) return FileId{stamp.device, stamp.inode};
    return IdOf(path).value_or(FileId{});  // Windows' stamps leave the identity out
  };
  for (const Job& job : jobs) {
    const auto it = outputs.find(idOf(PathText(job.source)));
    if (it != outputs.end()) {
      return refuse(it->second, (job.page ? "the page " : "the file ") + job.name);
    }
  }
  PageExpander expander(call, encodings);
  for (std::size_t i = 0; i < jobs.size(); ++i) {
    const Job& job = jobs[i];
    if (!job.page) continue;
    if (current[i] != nullptr) {
      for (const Input& input : current[i]->inputs) {
        const auto it = outputs.find(idOf(input.path));
        if (it != outputs.end()) {
          return refuse(it->second, "the file " + input.path + " that " + job.name + " reads");
        }
      }
      continue;
    }
    PageResult result;
    try {
      result = expander.Expand(ReadFile(job.source), job.name, job.source.parent_path(), false);
    } catch (const IoError&) {
      continue;  // reported when the page is expanded
    }
    for (const CallReport& report : result.calls) {
      for (const auto& [path, shown, kind] :
           {std::tuple(&report.csvPath, &report.csv, "CSV"),
            std::tuple(&report.iniPath, &report.ini, "INI")}) {
        if (path->empty()) continue;
        const auto it = outputs.find(IdOf(*path).value_or(FileId{}));
        if (it == outputs.end()) continue;
        return refuse(it->second, std::string("the ") + kind + " file " + *shown + " that " +
                                       job.name + ":" + std::to_string(report.line) + " reads");
      }
    }
  }
  return std::nullopt;
}

// A page's messages: one line a problem (expand), or one line a call (check).
std::string Messages(const Job& job, const PageResult& result, bool check) {
  if (!check) return result.ProblemLines(job.name);
  std::string text;
  for (const CallReport& report : result.calls) {
    text += job.name + ":" + std::to_string(report.line) + ": ";
    if (!report.csvPath.empty()) {
      text += "CSV " + report.csv + ", INI " + (report.ini.empty() ? "(none)" : report.ini) + ": ";
    }
    if (report.problems.empty()) text += "ok";
    for (std::size_t i = 0; i < report.problems.size(); ++i) {
      text += (i > 0 ? "; " : "") + report.problems[i];
    }
    text += '\n';
  }
  return text;
}


// Whether an output (file: its record) already holds exactly data; an output that would not
// change is not written again, so that its time stays and later build steps see nothing new.
bool Holds(const fs::path& path, const FileInfo& file, std::string_view data) {
  if (!file.regular || file.size != data.size()) return false;
  try {
    return ReadFile(path) == data;
  } catch (const IoError&) {
    return false;
  }
}

// Removes the outputs of pages and files that are gone from the input (with --delete), and
// the folders this leaves empty. Kept, with a message: an output that changed since it was
// written (someone else's work now, or a link gridloom did not make), and one whose source
// lies in what could not be read (it may be there still; its record stays).
bool RemoveStale(const fs::path& outDir, const std::map<std::string, OutputRecord>& stale,
                 const std::vector<std::string>& unseen,
                 std::map<std::string, OutputRecord>& kept) {
  bool ok = true;
  for (const auto& [name, record] : stale) {
    const fs::path target = outDir / name;
    if (InUnseen(record.source, unseen)) {
      Error("kept " + PathText(target) + ": " + record.source +
            " was not seen, as what holds it could not be read");
      kept.emplace(name, record);
      continue;
    }
    const FileStamp now = StampOf(target, false);
    if (IsLink(target) || (now.exists && now != record.outStamp)) {
      Error("kept " + PathText(target) + ": it changed since it was written");
      continue;
    }
    std::error_code error;
    fs::remove(target, error);
    if (error) {
      Error("cannot remove " + PathText(target) + ": " + error.message());
      kept.emplace(name, record);
      ok = false;
      continue;
    }
    for (fs::path folder = target.parent_path(); folder != outDir && !folder.empty();
         folder = folder.parent_path()) {
      if (!fs::is_empty(folder, error) || error || !fs::remove(folder, error)) break;
    }
  }
  return ok;
}

// The first name from the output folder down to folder that is a symlink: gridloom writes
// into its output folder only, never where a link there leads.
std::optional<fs::path> LinkBelow(const fs::path& outDir, const fs::path& folder) {
  fs::path at = outDir;
  for (const fs::path& part : folder.lexically_relative(outDir)) {
    if (part.empty() || part == ".") continue;
    at /= part;
    if (IsLink(at)) return at;
  }
  return std::nullopt;
}

// Writes the depfile: each page's output with its page and the files its calls read (a file
// that is missing stood for by the nearest folder that exists: the file's arrival changes
// that folder's time, and so rebuilds the page, without making the page out of date for as
// long as the file stays away). An output older than one of these, left as it was because
// its bytes would not change, is given the time of now, so that make and ninja find it up
// to date; its record is stamped again. False after an error (reported).
bool WriteDepfile(const fs::path& depfile, const std::vector<Job>& jobs,
                  std::vector<std::optional<OutputRecord>>& records) {
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
    WriteFileAtomic(depfile, text);
  } catch (const IoError& e) {
    Error(e.what());
    return false;
  }
  return true;
}

}  // namespace

int ExpandPages(const InlineFunction& call, const Encodings& encodings,
                const ExpandRequest& request) {
  Jobs collected = CollectJobs(request);
  const std::vector<Job>& jobs = collected.list;
  bool ioFailure = !collected.ok;
  const auto pages = static_cast<std::size_t>(
      std::count_if(jobs.begin(), jobs.end(), [](const Job& job) { return job.page; }));
  if (!request.check && !request.outDir && pages > 1) {
    Error("expand: " + std::to_string(pages) + " pages: use --out-dir to expand more than one");
    return kUsage;
  }
  if (!request.outDir && pages == 0 && !ioFailure) {
    Error(std::string(request.check ? "check" : "expand") + ": no pages (*.html, *.htm) found");
    return kUsage;
  }
  if (request.outDir) {
    // Names that are one file to the file system are one target (A.html and a.html on
    // Windows).
    std::unordered_map<std::string, const Job*> targets;
    for (const Job& job : jobs) {
      auto [it, added] = targets.emplace(NameKey(PathText(job.target.lexically_normal())), &job);
      if (!added) {
        Error("expand: " + it->second->name + " and " + job.name + " would both be written to " +
              PathText(job.target));
        return kUsage;
      }
    }
  }
  // The depfile is an output like the others: none of them by name (through the links of
  // the folders that exist, letters compared as the file system does), nor the build's
  // record; outputs that exist already are compared by identity below.
  if (request.depfile) {
    const auto key = [](const fs::path& path) {
      std::error_code error;
      return NameKey(PathText(fs::weakly_canonical(fs::absolute(path, error), error)));
    };
    const std::string depfile = key(*request.depfile);
    std::vector<std::pair<std::string, std::string>> outputs;  // key, what it is
    if (request.outDir) {
      const std::string out = key(*request.outDir);
      for (const Job& job : jobs) outputs.emplace_back(out + "/" + NameKey(job.relative), job.name);
      if (!request.check) outputs.emplace_back(key(Manifest::PathFor(*request.outDir)),
                                               "the build's record");
    } else if (request.outFile && !jobs.empty()) {
      outputs.emplace_back(key(*request.outFile), jobs.front().name);
    }
    for (const auto& [output, what] : outputs) {
      if (output != depfile) continue;
      Error("expand: the depfile and " + what + " would both be written to " +
            PathText(*request.depfile));
      return kUsage;
    }
  }

  // What an earlier build into the same folder made, and which outputs are still current.
  const bool incremental = request.outDir && !request.check;
  Manifest manifest;
  if (incremental) {
    manifest = Manifest::Load(*request.outDir, request.buildKey);
    if (const auto problem = OutDirProblem(*request.outDir, collected, manifest)) {
      Error(problem->second);
      return problem->first;
    }
  }
  const bool rebuild = !manifest.outputs.empty();
  std::vector<const OutputRecord*> current(jobs.size(), nullptr);
  StampCache stamps;
  for (std::size_t i = 0; incremental && i < jobs.size(); ++i) {
    const auto it = manifest.outputs.find(jobs[i].relative);
    if (request.force || it == manifest.outputs.end()) continue;
    const OutputRecord& record = it->second;
    if (record.page == jobs[i].page && record.source == PathText(jobs[i].source) &&
        record.UpToDate(jobs[i].target, stamps)) {
      current[i] = &record;
    }
  }

  try {
    if (const std::optional<std::string> refusal = OutputThatIsAnInput(
            jobs, request.check ? std::nullopt : request.depfile, current, stamps, call,
            encodings)) {
      Error(*refusal);
      return kUsage;
    }
  } catch (const std::invalid_argument& e) {
    Error(e.what());
    return kUsage;
  }

  // Outputs of pages and files that are gone: removed first with --delete (a page that
  // became a folder of the same name needs its old output out of the way), else kept.
  // Names compared as the file system does: on Windows, Page.html renamed page.html is one
  // output, and the old name's record is not stale.
  std::map<std::string, OutputRecord> stale;  // current[] points into manifest.outputs
  {
    std::unordered_set<std::string> made(jobs.size());
    for (const Job& job : jobs) made.insert(NameKey(job.relative));
    for (const auto& [name, record] : manifest.outputs) {
      if (made.count(NameKey(name)) == 0) stale.emplace(name, record);
    }
  }
  std::map<std::string, OutputRecord> keptStale;
  const bool removeStale = incremental && request.deleteStale && !stale.empty();
  if (removeStale) {
    ioFailure |= !RemoveStale(*request.outDir, stale, collected.unseen, keptStale);
  } else {
    keptStale = std::move(stale);
  }

  // Folders first, on one thread; the jobs below a folder that cannot be made are dropped.
  // Only the output tree is made; the folder of an -o file must exist.
  std::set<fs::path> folders, failedFolders;
  for (std::size_t i = 0; i < jobs.size(); ++i) {
    if (request.outDir && current[i] == nullptr) folders.insert(jobs[i].target.parent_path());
  }
  for (const fs::path& folder : folders) {
    std::error_code error;
    if (const std::optional<fs::path> link = LinkBelow(*request.outDir, folder)) {
      Error("cannot write into " + PathText(folder) + ": " + PathText(*link) +
            " is a symlink, and gridloom writes into its output folder only");
    } else if (fs::create_directories(folder, error); error) {
      std::string hint;
      for (const auto& [name, record] : keptStale) {
        const fs::path old = *request.outDir / name;
        const auto [end, _] = std::mismatch(old.begin(), old.end(), folder.begin(), folder.end());
        if (end == old.end()) hint = " (" + PathText(old) + " is the output of " + record.source +
                                     ", which is gone: --delete removes it)";
      }
      Error("cannot create folder " + PathText(folder) + ": " + error.message() + hint);
    } else {
      continue;
    }
    failedFolders.insert(folder);
    ioFailure = true;
  }

  gridloom::Lock lock;  // guards standard error, the progress line and the counts below
  Progress progress(!request.quiet && !request.check && pages > 8 && IsTerminal(kStandardError),
                    pages);
  std::size_t problems = 0, calls = 0, expanded = 0, copied = 0, written = 0, failed = 0;
  std::string standardOutput;
  std::vector<std::string> checked(request.check ? jobs.size() : 0);
  std::vector<std::optional<OutputRecord>> records(jobs.size());
  std::atomic<std::size_t> next{0};
  const Existing existing = request.outDir ? Existing::kReplace : Existing::kWriteThrough;

  const auto work = [&] {
    PageExpander expander(call, encodings);
    for (std::size_t i = next++; i < jobs.size(); i = next++) {
      const Job& job = jobs[i];
      if (!job.target.empty() && failedFolders.count(job.target.parent_path()) != 0) continue;
      PageResult result;
      OutputRecord record;
      std::string error, messages, note;
      bool wrote = false;
      if (current[i] != nullptr) {
        record = *current[i];
        messages = record.messages;
      } else {
        try {
          record.page = job.page;
          record.source = PathText(job.source);
          record.sourceStamp = StampOf(job.source);
          const std::string data = ReadFile(job.source);
          std::string_view output = data;
          // In an output folder, what is there is replaced unless it is a file of its own
          // (not a link to one) holding the output already; a copy also has its source's
          // mode and time.
          const bool link = incremental && IsLink(job.target);
          const FileInfo old = incremental && !link ? Examine(job.target) : FileInfo{};
          bool write;
          if (!job.page) {
            const FileInfo from = Examine(job.source);
            write = link || from.mode != old.mode || from.mtime != old.mtime ||
                    !Holds(job.target, old, data);
          } else {
            result = expander.Expand(data, job.name, job.source.parent_path());
            output = result.text;
            write = !job.target.empty() &&
                    (!incremental || link || !Holds(job.target, old, result.text));
            record.inputs = InputsOf(result);
          }
          if (write && link) {
            note = "replaced " + PathText(job.target) +
                   ": it was a symlink, which gridloom does not follow in its output folder";
          }
          if (write) {
            WriteFileAtomic(job.target, output, job.page ? nullptr : &job.source, existing);
            wrote = true;
          }
          if (!job.target.empty()) record.outStamp = StampOf(job.target, false);
        } catch (const IoError& e) {
          error = e.what();
        } catch (const std::exception& e) {
          error = job.name + ": " + e.what();
        }
        messages = Messages(job, result, request.check);
        record.messages = messages;
        record.calls = result.calls.size();
        record.problems = result.Problems();
        record.tables = result.Tables();
      }
      const gridloom::Locked guard(lock);
      if (request.check) {
        checked[i] = messages;
      } else if (!messages.empty()) {
        progress.Clear();
        WriteText(kStandardError, messages, 0);
      }
      if (!note.empty()) {
        progress.Clear();
        Error(note);
      }
      if (!error.empty()) {
        progress.Clear();
        Error(error);
        ioFailure = true;
        ++failed;
      } else {
        records[i] = std::move(record);
      }
      problems += records[i] ? records[i]->problems : 0;
      calls += records[i] ? records[i]->calls : 0;
      if (current[i] == nullptr) (job.page ? expanded : copied) += 1;
      written += wrote ? 1 : 0;
      if (job.page && job.target.empty() && error.empty() && !request.check) {
        standardOutput = std::move(result.text);
      }
      if (job.page) progress.PageDone(records[i] ? records[i]->tables : 0);
    }
  };
  const unsigned threads =
      static_cast<unsigned>(std::clamp<std::size_t>(jobs.size(), 1, std::max(1u, request.jobs)));
  gridloom::RunParts(threads, [&work](std::size_t) { work(); });
  progress.Finish();

  if (request.depfile && !ioFailure && !WriteDepfile(*request.depfile, jobs, records)) {
    ioFailure = true;
  }

  if (incremental) {
    // Outputs that failed have no record and are made again next time; outputs of pages that
    // are gone are kept on record until --delete removes them.
    std::map<std::string, OutputRecord> outputs = std::move(keptStale);
    for (std::size_t i = 0; i < jobs.size(); ++i) {
      if (records[i]) outputs.insert_or_assign(jobs[i].relative, std::move(*records[i]));
    }
    manifest.outputs = std::move(outputs);
    // A build that found everything up to date has nothing new to record.
    const bool allCurrent = std::all_of(current.begin(), current.end(),
                                        [](const OutputRecord* record) { return record != nullptr; });
    // Nothing is on record for a folder that could not be made.
    std::error_code error;
    const bool made = fs::is_directory(*request.outDir, error);
    try {
      if (made && (!allCurrent || removeStale || !rebuild || request.depfile ||
                   manifest.FoundInside())) {
        manifest.Save(*request.outDir);
      }
    } catch (const IoError& e) {
      Error(std::string(e.what()) + (manifest.Found()
                                         ? "; the next build makes again what this one made"
                                         : "; the next build makes everything again"));
      ioFailure = true;
    }
    const std::size_t files = jobs.size() - pages;
    if (rebuild && !request.quiet) {
      std::fprintf(stderr, "gridloom: %zu of %zu pages expanded, %zu of %zu other files copied, "
                   "%zu written%s; the rest up to date\n", expanded, pages, copied, files, written,
                   failed == 0 ? "" : (", " + std::to_string(failed) + " failed").c_str());
    }
  }
  std::string out = std::move(standardOutput);
  if (request.check) {
    for (const std::string& lines : checked) out += lines;
    out += std::to_string(calls) + (calls == 1 ? " call" : " calls") + " in " +
           std::to_string(pages) + (pages == 1 ? " page" : " pages") + ": " +
           std::to_string(calls - problems) + " ok, " + std::to_string(problems) +
           " with problems\n";
  }
  if (!out.empty() && !request.outFile && !request.outDir) {
    // A page goes out as its bytes; the report of check, like messages, as text.
    const int error =
        request.check ? WriteText(kStandardOutput, out, 0) : WriteAll(kStandardOutput, out);
    if (error != 0) {
      Error("cannot write standard output: " + Reason(error));
      return kIoFailure;
    }
  }
  if (ioFailure) return kIoFailure;
  return (request.strict || request.check) && problems > 0 ? kNoTable : kOk;
}

}  // namespace gridloom::host
