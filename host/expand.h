// expand: the pages of a request written with each call replaced by its table, to standard
// output, a file or an output folder that mirrors the inputs (the other files copied), on
// several threads. Into an output folder only what changed is made again.
//
// The steps: walk the inputs (site.h), refuse what would lose a file (outputs.h), plan what
// is up to date (plan.h), make what is not, and finish: the depfile, the build's state and
// the summary.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "page.h"

namespace gridloom::host {

struct ExpandRequest {
  std::vector<std::filesystem::path> inputs;  // pages and folders
  std::optional<std::filesystem::path> outFile;
  std::optional<std::filesystem::path> outDir;
  unsigned jobs = 1;
  bool strict = false;
  bool quiet = false;
  // With outDir: what besides pages and data the outputs depend on (a change rebuilds
  // everything), whether to rebuild everything anyway, and whether outputs whose page or
  // file is gone are removed.
  std::string buildKey;
  bool force = false;
  bool deleteStale = false;
  std::optional<std::filesystem::path> depfile;  // rules for make and ninja, written here
  bool includeHidden = false;  // walks take names that start with a dot too
};

// Runs a request; messages go to standard error, a single page without an output to
// standard output. Returns the exit status.
int ExpandPages(const InlineFunction& call, const Encodings& encodings,
                const ExpandRequest& request);

}  // namespace gridloom::host
