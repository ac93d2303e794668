// What expand refuses to write, and how it writes into its output folder: never over one of
// its own inputs or a file it did not make, never twice to one name, never through a link.
#pragma once

#include <filesystem>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "build_state.h"
#include "page.h"
#include "plan.h"
#include "site.h"

namespace gridloom::host {

// Why the outputs of jobs cannot all be written (a message for status 2), or nothing: two
// jobs with one target (names that are one file to the file system are one target: A.html
// and a.html on Windows), or the depfile one of the outputs or the build's record (by name,
// through the links of the folders that exist). state: the build's record, when there is one.
std::optional<std::string> TargetClash(const std::vector<Job>& jobs,
                                       const std::optional<std::filesystem::path>& outDir,
                                       const std::optional<std::filesystem::path>& outFile,
                                       const std::optional<std::filesystem::path>& depfile);

// Why the output folder cannot be used (its exit status and message), or nothing. It must be
// a folder; and where it lies inside a folder that is walked, which leaves it out, all it
// holds must be outputs of gridloom's: anything else is an input the walk does not see, and
// the build would write over it.
std::optional<std::pair<int, std::string>> OutDirProblem(const std::filesystem::path& outDir,
                                                         const Jobs& jobs,
                                                         const Manifest& manifest);

// The outputs this run writes (the depfile too) that are one of the run's own inputs (a page,
// a copied file, a CSV or INI file that a call reads), by device and inode: its message, or
// nothing. Only outputs that exist can be inputs, so a first build reads no page here.
// Outputs that are up to date are not written, and the inputs of their pages are known: a
// rebuild reads no page of those, and takes the files' identities from the stamps it has.
std::optional<std::string> OutputThatIsAnInput(const std::vector<Job>& jobs,
                                               const std::optional<std::filesystem::path>& depfile,
                                               const Plan& plan, StampCache& stamps,
                                               const InlineFunction& call,
                                               const Encodings& encodings);

// Whether an output (file: its record) already holds exactly data; an output that would not
// change is not written again, so that its time stays and later build steps see nothing new.
bool Holds(const std::filesystem::path& path, const FileInfo& file, std::string_view data);

// Removes the outputs of pages and files that are gone from the input (with --delete), and
// the folders this leaves empty. Kept, with a message: an output that changed since it was
// written (someone else's work now, or a link gridloom did not make), and one whose source
// lies in what could not be read (it may be there still; its record stays, in kept). False
// after an error (reported).
bool RemoveStale(const std::filesystem::path& outDir,
                 const std::map<std::string, OutputRecord>& stale,
                 const std::vector<std::string>& unseen, std::map<std::string, OutputRecord>& kept);

// Makes the folders of the plan below the output folder; answers those that could not be
// made (each reported: a link on the way, or the system's reason, with a hint when the
// output of a page that is gone stands in the way).
std::set<std::filesystem::path> MakeFolders(const std::filesystem::path& outDir,
                                            const std::set<std::filesystem::path>& folders,
                                            const std::map<std::string, OutputRecord>& kept);

}  // namespace gridloom::host
