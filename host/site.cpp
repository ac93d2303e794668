#include "site.h"

#include <strings.h>

#include <algorithm>
#include <set>
#include <system_error>

#include "build_state.h"
#include "report.h"
#include "text_io.h"

namespace gridloom::host {

namespace fs = std::filesystem;

bool IsPageName(std::string_view name) {
  const std::size_t dot = name.rfind('.');
  if (dot == std::string_view::npos || dot == 0) return false;
  const std::string_view extension = name.substr(dot);
  return (extension.size() == 5 && strncasecmp(extension.data(), ".html", 5) == 0) ||
         (extension.size() == 4 && strncasecmp(extension.data(), ".htm", 4) == 0);
}

bool IsHiddenName(std::string_view name) {
  return (name.starts_with('.') && name != "." && name != ".." && name != ".well-known") ||
         name.starts_with("~$");
}

namespace {

// What an entry is that is neither a regular file nor a folder, for the warning.
std::string KindOf(const fs::directory_entry& entry) {
  std::error_code error;
  const fs::file_status status = entry.status(error);
  if (error || !fs::exists(status)) {
    return entry.is_symlink(error) ? "a symlink that leads nowhere" : "it cannot be examined";
  }
  switch (status.type()) {
    case fs::file_type::fifo: return "a FIFO, not a file";
    case fs::file_type::socket: return "a socket, not a file";
    case fs::file_type::block:
    case fs::file_type::character: return "a device, not a file";
    default: return "not a file";
  }
}

bool Skipped(const fs::directory_entry& entry, const std::string& base,
             const WalkOptions& options, const std::vector<std::string>& skipNames) {
  for (std::size_t i = 0; i < skipNames.size(); ++i) {
    std::error_code error;
    if (base == skipNames[i] && fs::equivalent(entry.path(), options.skip[i], error)) return true;
  }
  return false;
}

void WalkBelow(const fs::path& root, const std::string& rootName, const fs::path& folder,
               const WalkOptions& options, const std::vector<std::string>& skipNames,
               Walk& walk) {
  std::error_code error;
  fs::directory_iterator it(folder, error), end;
  std::vector<fs::path> folders;
  for (; !error && it != end; it.increment(error)) {
    const fs::directory_entry& entry = *it;
    const std::string base = PathText(entry.path().filename());
    if (!options.includeHidden && IsHiddenName(base)) continue;
    if (base == Manifest::kOldFileName) continue;  // an output folder's record, kept there once
    if (Skipped(entry, base, options, skipNames)) continue;
    const std::string name = PathText(entry.path());
    // A name that cannot be opened as itself here is never read under another's (nor asked
    // what it is: that would ask another entry, or a device).
    if (const std::string why = UnreachableName(entry.path().filename()); !why.empty()) {
      walk.warnings.push_back("skipped " + name + ": " + why);
      walk.unseen.push_back(name);
      continue;
    }
    std::error_code ignored;
    const bool folder = entry.is_directory(ignored);
    const bool page = !folder && IsPageName(base);
    if (!folder && !page && options.pagesOnly) continue;
    if (folder) {
      if (!entry.is_symlink(ignored)) folders.push_back(entry.path());
      continue;
    }
    if (!entry.is_regular_file(ignored)) {
      walk.warnings.push_back("skipped " + name + ": " + KindOf(entry));
      walk.unseen.push_back(name);
      continue;
    }
    // The walk reaches every entry through root, so its name below root is what follows.
    std::string relative = name.substr(std::min(name.size(), rootName.size()));
    while (!relative.empty() && relative.front() == '/') relative.erase(0, 1);
    walk.files.push_back({entry.path(), name, std::move(relative), page});
  }
  if (error) {
    walk.warnings.push_back("cannot read folder " + PathText(folder) + ": " + error.message() +
                            "; what it holds is skipped");
    walk.unseen.push_back(PathText(folder));
  }
  for (const fs::path& below : folders) {
    WalkBelow(root, rootName, below, options, skipNames, walk);
  }
}

}  // namespace

Walk WalkFolder(const fs::path& root, const WalkOptions& options) {
  Walk walk;
  std::vector<std::string> skipNames;
  for (const fs::path& skip : options.skip) skipNames.push_back(PathText(skip.filename()));
  WalkBelow(root, PathText(root), root, options, skipNames, walk);
  // In the order of their names, which all begin with the root's: the names below it, shorter,
  // compare alike.
  std::sort(walk.files.begin(), walk.files.end(),
            [](const SiteFile& a, const SiteFile& b) { return a.relative < b.relative; });
  return walk;
}

std::size_t Jobs::Pages() const {
  return static_cast<std::size_t>(
      std::count_if(list.begin(), list.end(), [](const Job& job) { return job.page; }));
}

Jobs CollectJobs(const std::vector<fs::path>& inputs, const JobOptions& options) {
  Jobs jobs;
  const WalkOptions walking{!options.outDir, options.includeHidden, options.skip};
  // A file named twice (a folder and a page in it) is one input; one input alone cannot be.
  std::set<fs::path> seen;
  const auto add = [&](Job job) {
    if (inputs.size() > 1) {
      std::error_code error;
      const fs::path key = fs::weakly_canonical(job.source, error);
      if (!seen.insert(error ? job.source : key).second) return;
    }
    jobs.list.push_back(std::move(job));
  };
  const auto target = [&options](const std::string& relative) {
    return options.outDir ? *options.outDir / relative : options.outFile.value_or(fs::path());
  };
  for (const fs::path& input : inputs) {
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
    Walk walk = WalkFolder(input, walking);
    for (const std::string& warning : walk.warnings) Warning(warning);
    jobs.ok = jobs.ok && walk.warnings.empty();
    jobs.unseen.insert(jobs.unseen.end(), walk.unseen.begin(), walk.unseen.end());
    for (SiteFile& file : walk.files) {
      add({std::move(file.path), std::move(file.name), target(file.relative), file.page,
           std::move(file.relative)});
    }
  }
  return jobs;
}

bool InUnseen(const std::string& name, const std::vector<std::string>& unseen) {
  return std::any_of(unseen.begin(), unseen.end(), [&name](const std::string& folder) {
    return name == folder ||
           (name.size() > folder.size() && name.starts_with(folder) && name[folder.size()] == '/');
  });
}

}  // namespace gridloom::host
