#include "outputs.h"

#include <algorithm>
#include <unordered_map>

#include "report.h"
#include "text_io.h"

namespace gridloom::host {

namespace fs = std::filesystem;

namespace {

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

// The key under which a path and its names through the links of the folders that exist are
// one file, letters compared as the file system does.
std::string PathKey(const fs::path& path) {
  std::error_code error;
  return NameKey(PathText(fs::weakly_canonical(fs::absolute(path, error), error)));
}

}  // namespace

std::optional<std::string> TargetClash(const std::vector<Job>& jobs,
                                       const std::optional<fs::path>& outDir,
                                       const std::optional<fs::path>& outFile,
                                       const std::optional<fs::path>& depfile) {
  if (outDir) {
    std::unordered_map<std::string, const Job*> targets;
    for (const Job& job : jobs) {
      auto [it, added] = targets.emplace(NameKey(PathText(job.target.lexically_normal())), &job);
      if (!added) {
        return "expand: " + it->second->name + " and " + job.name + " would both be written to " +
               PathText(job.target);
      }
    }
  }
  if (!depfile) return std::nullopt;
  const std::string name = PathKey(*depfile);
  std::vector<std::pair<std::string, std::string>> outputs;  // key, what it is
  if (outDir) {
    const std::string out = PathKey(*outDir);
    for (const Job& job : jobs) outputs.emplace_back(out + "/" + NameKey(job.relative), job.name);
    outputs.emplace_back(PathKey(Manifest::PathFor(*outDir)), "the build's record");
  } else if (outFile && !jobs.empty()) {
    outputs.emplace_back(PathKey(*outFile), jobs.front().name);
  }
  for (const auto& [output, what] : outputs) {
    if (output == name) {
      return "expand: the depfile and " + what + " would both be written to " +
             PathText(*depfile);
    }
  }
  return std::nullopt;
}

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

std::optional<std::string> OutputThatIsAnInput(const std::vector<Job>& jobs,
                                               const std::optional<fs::path>& depfile,
                                               const Plan& plan, StampCache& stamps,
                                               const InlineFunction& call,
                                               const Encodings& encodings) {
  std::map<FileId, fs::path> outputs;
  for (std::size_t i = 0; i < jobs.size(); ++i) {
    if (plan.Current(i) != nullptr) continue;
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
    if (plan.Current(i) != nullptr) {
      for (const Input& input : plan.Current(i)->inputs) {
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

bool Holds(const fs::path& path, const FileInfo& file, std::string_view data) {
  if (!file.regular || file.size != data.size()) return false;
  try {
    return ReadFile(path) == data;
  } catch (const IoError&) {
    return false;
  }
}

bool RemoveStale(const fs::path& outDir, const std::map<std::string, OutputRecord>& stale,
                 const std::vector<std::string>& unseen,
                 std::map<std::string, OutputRecord>& kept) {
  bool ok = true;
  for (const auto& [name, record] : stale) {
    const fs::path target = outDir / name;
    if (InUnseen(record.source, unseen)) {
      Warning("kept " + PathText(target) + ": " + record.source +
            " was not seen, as what holds it could not be read");
      kept.emplace(name, record);
      continue;
    }
    const FileStamp now = StampOf(target, false);
    if (IsLink(target) || (now.exists && now != record.outStamp)) {
      Warning("kept " + PathText(target) + ": it changed since it was written");
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

std::set<fs::path> MakeFolders(const fs::path& outDir, const std::set<fs::path>& folders,
                               const std::map<std::string, OutputRecord>& kept) {
  std::set<fs::path> failed;
  for (const fs::path& folder : folders) {
    std::error_code error;
    if (const std::optional<fs::path> link = LinkBelow(outDir, folder)) {
      Error("cannot write into " + PathText(folder) + ": " + PathText(*link) +
            " is a symlink, and gridloom writes into its output folder only");
    } else if (fs::create_directories(folder, error); error) {
      std::string hint;
      for (const auto& [name, record] : kept) {
        const fs::path old = outDir / name;
        const auto [end, _] = std::mismatch(old.begin(), old.end(), folder.begin(), folder.end());
        if (end == old.end()) hint = " (" + PathText(old) + " is the output of " + record.source +
                                     ", which is gone: --delete removes it)";
      }
      Error("cannot create folder " + PathText(folder) + ": " + error.message() + hint);
    } else {
      continue;
    }
    failed.insert(folder);
  }
  return failed;
}

}  // namespace gridloom::host
