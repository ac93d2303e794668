// What a build remembers so that the next one redoes only what changed: the stamps of files
// and the record that an expand with --out-dir keeps beside its output folder.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

namespace gridloom::host {

// What tells that a file changed: identity, size and times. A file that is missing has a
// stamp too, so a file that appears is a change. A stamp taken while the file could still
// change unseen (its times too close to the moment it was taken, within the granularity of
// the file system's clock) is unsure, and unsure stamps equal nothing: the next build looks
// again rather than miss a write.
struct FileStamp {
  bool exists = false;
  bool unsure = false;
  unsigned long long device = 0, inode = 0, size = 0;
  long long mtime = 0, ctime = 0;  // nanoseconds since the epoch

  bool operator==(const FileStamp& other) const;
  bool Same(const FileStamp& other) const;  // the same values, sure or not
  std::string Text() const;  // one word, as the manifest keeps it
  static std::optional<FileStamp> Parse(std::string_view text);
};

// FNV-1a of a text: enough to tell a manifest that was cut short or altered from a whole one,
// or one state of a page's files from another.
std::uint64_t Fnv1a(std::string_view text);

// The stamp of the file that path names, following symlinks. With settle, a stamp whose
// times are too recent to be trusted is marked unsure (for inputs; an output we just wrote
// is ours and is stamped as it is).
FileStamp StampOf(const std::filesystem::path& path, bool settle = true);

// Stamps of inputs taken once each, for the pages of one build that share data files; an
// output's stamp is taken each time it is asked for. Not for concurrent use.
class StampCache {
 public:
  // What takes a stamp: StampOf, or what a test has in place of the file system.
  using Stamper = std::function<FileStamp(const std::filesystem::path& path, bool settle)>;
  StampCache() : StampCache(StampOf) {}
  explicit StampCache(Stamper stamper) : stamper_(std::move(stamper)) {}

  const FileStamp& Of(const std::string& path);
  FileStamp Output(const std::filesystem::path& path) const { return stamper_(path, false); }

 private:
  Stamper stamper_;
  std::unordered_map<std::string, FileStamp> stamps_;  // a site's paths share long prefixes
};

// A file that one output was made from: a CSV or an INI file read by a call of the page.
struct Input {
  std::string path;  // as the operating system takes it
  FileStamp stamp;
  bool operator==(const Input&) const = default;
};

// Whether every input still has the stamp it was recorded with.
bool Unchanged(const std::vector<Input>& inputs, StampCache& stamps);

// What one output of a build was made from, and what its build said.
struct OutputRecord {
  bool page = true;     // else a copied file
  std::string source;   // the page or file, as the operating system takes it
  FileStamp sourceStamp, outStamp;
  std::vector<Input> inputs;
  std::string messages;  // the page's problems, said again when it is up to date
  std::size_t calls = 0, problems = 0, tables = 0;

  // Whether the output is still what a build would make: source, inputs and the output
  // itself unchanged.
  bool UpToDate(const std::filesystem::path& target, StampCache& stamps) const;
};

// Whether a page (or file) and the files its calls read still have the stamps they had when
// its output was made.
bool SourcesUnchanged(const std::string& source, const FileStamp& sourceStamp,
                      const std::vector<Input>& inputs, StampCache& stamps);



// The record of a build into an output folder, kept beside the folder (never published with
// it) as one small file that is replaced atomically. A record that is missing, damaged, or
// written for other settings loads as empty, which means a full build, never a wrong one.
class Manifest {
 public:
  // Where earlier versions kept the record: inside the output folder. It is read when there
  // is no record beside the folder, and removed once the record is saved there.
  static constexpr std::string_view kOldFileName = ".gridloom-manifest";

  // Where the record of a build into outDir lies: NAME.gridloom-state beside the folder NAME
  // (inside it only when the folder is a root of the file system). Where that cannot be
  // written, the record goes to the user's cache folder, under a name made of outDir's.
  static std::filesystem::path PathFor(const std::filesystem::path& outDir);
  static std::filesystem::path CachedPathFor(const std::filesystem::path& outDir);

  // key: everything besides the inputs that the outputs depend on (version, code pages,
  // plug-in, working folder).
  static Manifest Load(const std::filesystem::path& outDir, const std::string& key);
  // Replaces the record, unless it would not change. Throws IoError (the first place's).
  void Save(const std::filesystem::path& outDir) const;
  // Whether a record was found for these settings (and so the next build has one, even
  // when this one's cannot be saved).
  bool Found() const { return found_; }
  // Whether it was found where earlier versions kept it (and so is to be moved).
  bool FoundInside() const { return from_.filename() == kOldFileName; }

  std::string key;
  std::map<std::string, OutputRecord> outputs;  // by the output's path below the folder

 private:
  std::string text_;             // as loaded
  std::filesystem::path from_;   // where it was loaded from
  bool found_ = false;
};

}  // namespace gridloom::host
