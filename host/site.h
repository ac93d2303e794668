// The files of a site as expand, check and serve see them: which are pages, which are
// published at all, and the walk through a folder that finds them.
#pragma once

#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

namespace gridloom::host {

// A file name (without its folder) of a page: *.html or *.htm, in any case.
bool IsPageName(std::string_view name);

// A name that is not published or served unless asked for: one that starts with a dot
// (.git, .env, .htpasswd, an editor's swap file), but for .well-known, whose files
// (security.txt, ACME challenges) sites publish on purpose.
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

}  // namespace gridloom::host
