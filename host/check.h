// check: every call of the pages found in pages and folders, and each problem, reported on
// standard output; nothing is written. The same walk and resolution as expand's.
#pragma once

#include <filesystem>
#include <vector>

#include "page.h"

namespace gridloom::host {

struct CheckRequest {
  std::vector<std::filesystem::path> inputs;  // pages and folders
  unsigned jobs = 1;
  bool includeHidden = false;
};

// Returns the exit status: 1 when a call has a problem, 3 when a page could not be read.
int CheckPages(const InlineFunction& call, const Encodings& encodings, const CheckRequest& request);

}  // namespace gridloom::host
