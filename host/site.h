// The files of a site as expand, check and serve see them: which are pages, which are
// published at all, and the walk through a folder that finds them.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace gridloom::host {

// A file name (without its folder) of a page: *.html or *.htm, in any case.
bool IsPageName(std::string_view name);

// A name that is not published or served unless asked for: one that starts with a dot
// (.git, .env, .htpasswd, an editor's swap file), but for .well-known, whose files
// (security.txt, ACME challenges) sites publish on purpose; and the lock file that Office
// keeps beside a file it has open (~$table.csv, hidden on Windows but not to a walk).
bool IsHiddenName(std::string_view name);

// A file that a walk found.
struct SiteFile {
  std::filesystem::path path;  // as reached from the folder walked
  std::string name;            // the same as people read it
  std::string relative;        // below the folder walked, with slashes
  bool page = false;
};

struct WalkOptions {
  bool pagesOnly = true;       // else every file (they are copied)
  bool includeHidden = false;  // names IsHiddenName takes too
  // Entries left out (the output folder and the build's state when they lie inside).
  std::vector<std::filesystem::path> skip;
};

struct Walk {
  std::vector<SiteFile> files;  // sorted by name
  // What could not be looked into: folders that cannot be read, entries that are neither
  // files nor folders (a FIFO, a symlink that leads nowhere), each with the warning to give.
  std::vector<std::string> unseen;
  std::vector<std::string> warnings;
};

// The files below a folder. Symlinks to folders are not followed (they may loop); a folder
// that cannot be read is named in a warning and the walk goes on.
Walk WalkFolder(const std::filesystem::path& root, const WalkOptions& options);

// One file of a command's work: a page to expand (or check), or a file to copy.
struct Job {
  std::filesystem::path source;
  std::string name;                // as the user sees it
  std::filesystem::path target;    // empty: standard output (or nothing, for a check)
  bool page = true;                // else a file that is copied
  std::string relative;            // with an output folder: the target's name in it, with slashes
};

// Where the outputs of jobs go: a folder that mirrors the inputs, one file, or neither
// (standard output, or nothing).
struct JobOptions {
  std::optional<std::filesystem::path> outDir, outFile;
  bool includeHidden = false;
  std::vector<std::filesystem::path> skip;  // entries that walks leave out
};

// The jobs of the inputs, each file once (in the order of the inputs, each folder's sorted by
// name), and what could not be looked at. Without an output folder only pages are taken.
struct Jobs {
  std::vector<Job> list;
  std::vector<std::string> unseen;             // files and folders that could not be read
  std::vector<std::filesystem::path> folders;  // the folders walked
  bool ok = true;                              // false after an error (already reported)
  std::size_t Pages() const;
};
Jobs CollectJobs(const std::vector<std::filesystem::path>& inputs, const JobOptions& options);

// Whether a name lies in (or is) one of the things that could not be read.
bool InUnseen(const std::string& name, const std::vector<std::string>& unseen);

}  // namespace gridloom::host
