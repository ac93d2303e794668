// The record an expand into an output folder keeps (Manifest::Save and Load), in a scratch
// folder. The first byte chooses what the rest is:
//   0: a record built from the bytes, with names of any bytes; saved, it loads as it was,
//      and changed in one byte, cut short or with bytes put in, it loads as it was or as
//      nothing, never as another record.
//   1: the file's bytes as they are;
//   2: the lines of a record between a header, a key line and an end line whose count and
//      checksum (FNV-1a, computed here) fit, so that the lines themselves are what is read.
// Whatever a file loads as must save and load again as the same record.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include <fuzzer/FuzzedDataProvider.h>

#include "build_state.h"
#include "fuzz_files.h"
#include "text_io.h"

namespace {

namespace fs = std::filesystem;
using gridloom::host::FileStamp;
using gridloom::host::Manifest;
using gridloom::host::OutputRecord;

constexpr std::string_view kKey = "fuzz key";

[[noreturn]] void Fail(const char* what) {
  std::fprintf(stderr, "build state: %s\n", what);
  std::abort();
}

// The output folder, and the user's cache folder kept in the scratch folder too (a record that
// cannot be saved beside the output folder goes there).
const fs::path& OutDir() {
  static const fs::path out = [] {
    const std::string scratch = gridloom::fuzz::ScratchDir();
    setenv("XDG_CACHE_HOME", (scratch + "/cache").c_str(), 1);
    fs::create_directories(scratch + "/out");
    return fs::path(scratch) / "out";
  }();
  return out;
}

void WriteRecordFile(std::string_view bytes) {
  std::ofstream file(Manifest::PathFor(OutDir()), std::ios::binary | std::ios::trunc);
  file.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  if (!file) Fail("cannot write the record's file");
}

std::string ReadRecordFile() {
  std::ifstream file(Manifest::PathFor(OutDir()), std::ios::binary);
  if (!file) Fail("the record was not saved beside the output folder");
  return {std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
}

// Stamps as a record keeps them: an unsure stamp is unsure and nothing more, a missing file's
// stamp is missing and nothing more.
bool Agree(const FileStamp& a, const FileStamp& b) {
  if (a.unsure || b.unsure) return a.unsure == b.unsure;
  if (!a.exists || !b.exists) return a.exists == b.exists;
  return a.device == b.device && a.inode == b.inode && a.size == b.size && a.mtime == b.mtime &&
         a.ctime == b.ctime;
}

bool SameRecords(const Manifest& a, const Manifest& b) {
  if (a.key != b.key || a.outputs.size() != b.outputs.size()) return false;
  for (auto x = a.outputs.begin(), y = b.outputs.begin(); x != a.outputs.end(); ++x, ++y) {
    const OutputRecord &p = x->second, &q = y->second;
    if (x->first != y->first || p.page != q.page || p.source != q.source ||
        !Agree(p.sourceStamp, q.sourceStamp) || !Agree(p.outStamp, q.outStamp) ||
        p.messages != q.messages || p.calls != q.calls || p.problems != q.problems ||
        p.tables != q.tables || p.inputs.size() != q.inputs.size()) {
      return false;
    }
    for (std::size_t i = 0; i < p.inputs.size(); ++i) {
      if (p.inputs[i].path != q.inputs[i].path || !Agree(p.inputs[i].stamp, q.inputs[i].stamp))
        return false;
    }
  }
  return true;
}

bool LoadsAsNothing(const Manifest& loaded) { return !loaded.Found() && loaded.outputs.empty(); }

FileStamp StampFrom(FuzzedDataProvider& data) {
  FileStamp stamp;
  switch (data.ConsumeIntegralInRange(0, 3)) {
    case 0: return stamp;  // missing
    case 1: stamp.unsure = true; break;
    default: break;
  }
  stamp.exists = true;
  stamp.device = data.ConsumeIntegral<unsigned long long>();
  stamp.inode = data.ConsumeIntegral<unsigned long long>();
  stamp.size = data.ConsumeIntegral<unsigned long long>();
  stamp.mtime = data.ConsumeIntegral<long long>();
  stamp.ctime = data.ConsumeIntegral<long long>();
  return stamp;
}

Manifest RecordFrom(FuzzedDataProvider& data) {
  Manifest manifest;
  manifest.key = data.ConsumeRandomLengthString(64);
  std::vector<std::string> paths;  // inputs that several outputs share
  const int outputs = data.ConsumeIntegralInRange(0, 4);
  for (int i = 0; i < outputs; ++i) {
    OutputRecord record;
    const std::string target = data.ConsumeRandomLengthString(32);
    record.page = data.ConsumeBool();
    record.source = data.ConsumeRandomLengthString(32);
    record.sourceStamp = StampFrom(data);
    record.outStamp = StampFrom(data);
    const int inputs = data.ConsumeIntegralInRange(0, 3);
    for (int j = 0; j < inputs; ++j) {
      if (!paths.empty() && data.ConsumeBool()) {
        record.inputs.push_back({paths[data.ConsumeIntegralInRange<std::size_t>(
                                     0, paths.size() - 1)],
                                 StampFrom(data)});
      } else {
        paths.push_back(data.ConsumeRandomLengthString(32));
        record.inputs.push_back({paths.back(), StampFrom(data)});
      }
    }
    record.messages = data.ConsumeRandomLengthString(64);
    record.calls = data.ConsumeIntegral<std::size_t>();
    record.problems = data.ConsumeIntegral<std::size_t>();
    record.tables = data.ConsumeIntegral<std::size_t>();
    manifest.outputs[target] = record;
  }
  return manifest;
}

// Saves a record, and checks that it loads as it was; answers the file's bytes.
std::string SaveAndCheck(const Manifest& manifest) {
  manifest.Save(OutDir());
  const Manifest loaded = Manifest::Load(OutDir(), manifest.key);
  if (!loaded.Found() || !SameRecords(loaded, manifest)) Fail("a saved record loads otherwise");
  return ReadRecordFile();
}

void Damaged(FuzzedDataProvider& data) {
  const Manifest manifest = RecordFrom(data);
  const std::string saved = SaveAndCheck(manifest);
  std::string damaged = saved;
  const std::size_t at = data.ConsumeIntegralInRange<std::size_t>(0, saved.size() - 1);
  switch (data.ConsumeIntegralInRange(0, 2)) {
    case 0:
      damaged[at] = static_cast<char>(damaged[at] ^ data.ConsumeIntegralInRange(1, 255));
      break;
    case 1: damaged.resize(at); break;
    default: {
      std::string put = data.ConsumeRandomLengthString(16);
      if (put.empty()) put = "\n";
      damaged.insert(at, put);
    }
  }
  WriteRecordFile(damaged);
  const Manifest loaded = Manifest::Load(OutDir(), manifest.key);
  if (LoadsAsNothing(loaded)) return;
  if (!loaded.Found() || !SameRecords(loaded, manifest))
    Fail("a damaged record loads as another record");
}

std::uint64_t Fnv1a64(std::string_view text) {
  std::uint64_t hash = 14695981039346656037ULL;
  for (const char c : text) hash = (hash ^ static_cast<unsigned char>(c)) * 1099511628211ULL;
  return hash;
}

// A file of whatever lines: the header, a key line for kKey, the lines, and an end line with
// as many outputs as there are output lines and the checksum of all before it.
std::string Completed(std::string lines) {
  if (!lines.empty() && lines.back() != '\n') lines += '\n';
  std::string text = "gridloom-manifest 2\nkey :fuzz\\skey\n" + lines;
  std::size_t outputs = 0;
  for (std::size_t at = 0; at != std::string::npos; at = text.find('\n', at + 1)) {
    if (text.compare(at == 0 ? 0 : at + 1, 7, "output ") == 0) ++outputs;
  }
  char sum[17];
  std::snprintf(sum, sizeof sum, "%llx", static_cast<unsigned long long>(Fnv1a64(text)));
  return text + "end " + std::to_string(outputs) + " " + sum + "\n";
}

// Whether the digits of a number a stamp holds stand in the file: a number read from a file is
// one written there (its digits, after any sign and leading zeros), never one made up by a read
// that ran past what its type holds.
template <typename Number>
bool Written(std::string_view bytes, Number value) {
  const auto magnitude = static_cast<unsigned long long>(value);
  return bytes.find(std::to_string(value < 0 ? 0 - magnitude : magnitude)) !=
         std::string_view::npos;
}

bool StampWritten(std::string_view bytes, const FileStamp& stamp) {
  return !stamp.exists || stamp.unsure ||
         (Written(bytes, stamp.device) && Written(bytes, stamp.inode) &&
          Written(bytes, stamp.size) && Written(bytes, stamp.mtime) && Written(bytes, stamp.ctime));
}

void Arbitrary(std::string_view bytes) {
  WriteRecordFile(bytes);
  const Manifest loaded = Manifest::Load(OutDir(), std::string(kKey));
  if (!loaded.Found()) {
    if (!loaded.outputs.empty()) Fail("a record not found has outputs");
    return;
  }
  for (const auto& [target, record] : loaded.outputs) {
    bool written = StampWritten(bytes, record.sourceStamp) && StampWritten(bytes, record.outStamp);
    for (const auto& input : record.inputs) written = written && StampWritten(bytes, input.stamp);
    if (!written) Fail("a stamp loads with a number the file does not hold");
  }
  if (loaded.key != kKey) Fail("a record loads with another key");
  // Saved as the command saves it (written again unless the text stays the same).
  SaveAndCheck(loaded);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size) {
  if (size == 0) return -1;
  const std::string_view rest(reinterpret_cast<const char*>(bytes) + 1, size - 1);
  try {
    switch (bytes[0] % 3) {
      case 0: {
        FuzzedDataProvider data(bytes + 1, size - 1);
        Damaged(data);
        break;
      }
      case 1: Arbitrary(rest); break;
      default: Arbitrary(Completed(std::string(rest))); break;
    }
  } catch (const gridloom::host::IoError& e) {
    std::fprintf(stderr, "build state: %s\n", e.what());
    Fail("the scratch folder cannot be written");
  }
  return 0;
}
