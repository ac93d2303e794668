#include "build_state.h"

#include <algorithm>
#include <charconv>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <limits>
#include <set>
#include <type_traits>

#include "text_io.h"

namespace gridloom::host {

namespace fs = std::filesystem;

namespace {

// How long after a write its file's times may still read the same after another write. The
// kernel stamps files from a clock that ticks every few milliseconds; file systems that keep
// whole seconds (no nanoseconds in either time) round to two seconds at worst (FAT).
long long Granularity(const FileStamp& stamp) {
  const bool wholeSeconds = stamp.mtime % 1'000'000'000 == 0 && stamp.ctime % 1'000'000'000 == 0;
  return wholeSeconds ? 2'000'000'000LL : 50'000'000LL;
}

// Manifest fields are words: a colon, then the text with backslash, space, tab and line
// breaks escaped, so that an empty text is a word too.
std::string Word(std::string_view text) {
  std::string word = ":";
  for (char c : text) {
    switch (c) {
      case '\\': word += "\\\\"; break;
      case ' ': word += "\\s"; break;
      case '\t': word += "\\t"; break;
      case '\n': word += "\\n"; break;
      case '\r': word += "\\r"; break;
      default: word += c;
    }
  }
  return word;
}

std::optional<std::string> Unword(std::string_view word) {
  if (word.empty() || word.front() != ':') return std::nullopt;
  if (word.find('\\') == std::string_view::npos) return std::string(word.substr(1));
  std::string text;
  for (std::size_t i = 1; i < word.size(); ++i) {
    if (word[i] != '\\') {
      text += word[i];
      continue;
    }
    if (++i == word.size()) return std::nullopt;
    switch (word[i]) {
      case '\\': text += '\\'; break;
      case 's': text += ' '; break;
      case 't': text += '\t'; break;
      case 'n': text += '\n'; break;
      case 'r': text += '\r'; break;
      default: return std::nullopt;
    }
  }
  return text;
}

// The words of a line, into words (whose room is kept from line to line).
void Split(std::string_view line, std::vector<std::string_view>& words) {
  words.clear();
  while (!line.empty()) {
    const std::size_t space = line.find(' ');
    words.push_back(line.substr(0, space));
    if (space == std::string_view::npos) break;
    line.remove_prefix(space + 1);
  }
}

template <typename Number>
bool ParseNumber(std::string_view text, Number& value, int base = 10) {
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value, base);
  return error == std::errc() && end == text.data() + text.size();
}

// A decimal number as ParseNumber takes it in base 10, in a fraction of its time: a record
// holds five for each file.
template <typename Number>
bool ParseDecimal(std::string_view text, Number& value) {
  // A time before 1970 is negative: rare, and left to the general parser.
  if (std::is_signed_v<Number> && text.starts_with('-')) return ParseNumber(text, value);
  using Unsigned = std::make_unsigned_t<Number>;
  constexpr Unsigned kLargest = static_cast<Unsigned>(std::numeric_limits<Number>::max());
  if (text.empty()) return false;
  Unsigned number = 0;
  for (const char c : text) {
    const unsigned digit = static_cast<unsigned char>(c) - unsigned{'0'};
    if (digit > 9 || number > (kLargest - digit) / 10) return false;
    number = number * 10 + digit;
  }
  value = static_cast<Number>(number);
  return true;
}

// The manifest: a header, the key, the inputs (a path and a stamp, each pair once, numbered
// from 0 in order), then each output with the numbers of its inputs and the messages of its
// page, and a last line with the number of outputs and the checksum of all before it.
constexpr std::string_view kHeader = "gridloom-manifest 2\n";

std::optional<Manifest> Parse(std::string_view text) {
  if (!text.starts_with(kHeader) || text.empty() || text.back() != '\n') return std::nullopt;
  const std::size_t last = text.rfind('\n', text.size() - 2);
  std::vector<std::string_view> end;
  Split(text.substr(last + 1, text.size() - last - 2), end);
  std::uint64_t sum = 0;
  std::size_t count = 0;
  if (end.size() != 3 || end[0] != "end" || !ParseNumber(end[1], count) ||
      !ParseNumber(end[2], sum, 16) || Fnv1a(text.substr(0, last + 1)) != sum) {
    return std::nullopt;
  }
  Manifest manifest;
  OutputRecord* record = nullptr;
  std::vector<Input> inputs;
  std::string_view body = text.substr(kHeader.size(), last + 1 - kHeader.size());
  std::vector<std::string_view> words;
  while (!body.empty()) {
    const std::size_t newline = body.find('\n');
    Split(body.substr(0, newline), words);
    body.remove_prefix(newline + 1);
    if (words.empty()) return std::nullopt;
    if (words[0] == "key" && words.size() == 2) {
      const std::optional<std::string> key = Unword(words[1]);
      if (!key) return std::nullopt;
      manifest.key = *key;
    } else if (words[0] == "input" && words.size() == 3 && record == nullptr) {
      const std::optional<std::string> path = Unword(words[1]);
      const std::optional<FileStamp> stamp = FileStamp::Parse(words[2]);
      if (!path || !stamp) return std::nullopt;
      inputs.push_back({*path, *stamp});
    } else if (words[0] == "output" && words.size() == 10) {
      const std::optional<std::string> target = Unword(words[1]), source = Unword(words[3]);
      const std::optional<FileStamp> sourceStamp = FileStamp::Parse(words[4]),
                                     outStamp = FileStamp::Parse(words[5]);
      OutputRecord next;
      if (!target || !source || !sourceStamp || !outStamp || (words[2] != "page" && words[2] != "file") ||
          !ParseNumber(words[6], next.calls) || !ParseNumber(words[7], next.problems) ||
          !ParseNumber(words[8], next.tables)) {
        return std::nullopt;
      }
      next.inputs.reserve(
          static_cast<std::size_t>(std::count(words[9].begin(), words[9].end(), ',')) + 1);
      for (std::string_view list = words[9]; list != "-" && !list.empty();) {
        const std::size_t comma = list.find(',');
        std::size_t index = 0;
        if (!ParseNumber(list.substr(0, comma), index) || index >= inputs.size()) {
          return std::nullopt;
        }
        next.inputs.push_back(inputs[index]);
        list = comma == std::string_view::npos ? std::string_view() : list.substr(comma + 1);
      }
      next.page = words[2] == "page";
      next.source = *source;
      next.sourceStamp = *sourceStamp;
      next.outStamp = *outStamp;
      // Saved in the map's order, so each record goes at its end (one out of order costs a
      // search, as it would without the hint).
      record = &manifest.outputs.insert_or_assign(manifest.outputs.end(), *target, std::move(next))
                    ->second;
    } else if (words[0] == "messages" && words.size() == 2 && record != nullptr) {
      const std::optional<std::string> messages = Unword(words[1]);
      if (!messages) return std::nullopt;
      record->messages = *messages;
    } else {
      return std::nullopt;
    }
  }
  if (manifest.outputs.size() != count) return std::nullopt;
  return manifest;
}

}  // namespace

std::uint64_t Fnv1a(std::string_view text) {
  std::uint64_t hash = 0xcbf29ce484222325ULL;
  for (unsigned char c : text) {
    hash ^= c;
    hash *= 0x100000001b3ULL;
  }
  return hash;
}

bool FileStamp::operator==(const FileStamp& other) const {
  return !unsure && !other.unsure && Same(other);
}

bool FileStamp::Same(const FileStamp& other) const {
  if (!exists || !other.exists) return exists == other.exists;
  return device == other.device && inode == other.inode && size == other.size &&
         mtime == other.mtime && ctime == other.ctime;
}

std::string FileStamp::Text() const {
  if (unsure) return "?";
  if (!exists) return "-";
  std::string text;
  const auto put = [&text](auto value) {
    char digits[24];
    text.append(digits, std::to_chars(digits, digits + sizeof digits, value).ptr);
    text += '/';
  };
  put(device);
  put(inode);
  put(size);
  put(mtime);
  put(ctime);
  text.pop_back();
  return text;
}

std::optional<FileStamp> FileStamp::Parse(std::string_view text) {
  FileStamp stamp;
  if (text == "?") stamp.unsure = true;
  if (text == "?" || text == "-") return stamp;
  stamp.exists = true;
  std::string_view parts[5];
  for (std::string_view& part : parts) {
    const std::size_t slash = text.find('/');
    part = text.substr(0, slash);
    text = slash == std::string_view::npos ? std::string_view() : text.substr(slash + 1);
  }
  if (!text.empty() || !ParseDecimal(parts[0], stamp.device) ||
      !ParseDecimal(parts[1], stamp.inode) || !ParseDecimal(parts[2], stamp.size) ||
      !ParseDecimal(parts[3], stamp.mtime) || !ParseDecimal(parts[4], stamp.ctime)) {
    return std::nullopt;
  }
  return stamp;
}

FileStamp StampOf(const fs::path& path, bool settle) {
  FileStamp stamp;
  const FileInfo file = Examine(path);
  if (!file.exists) return stamp;
  stamp.exists = true;
  stamp.device = file.device;
  stamp.inode = file.inode;
  stamp.size = file.size;
  stamp.mtime = file.mtime;
  stamp.ctime = file.ctime;
  if (settle) {
    const long long now = std::chrono::duration_cast<std::chrono::nanoseconds>(
                              std::chrono::system_clock::now().time_since_epoch())
                              .count();
    stamp.unsure = now - std::max(stamp.mtime, stamp.ctime) < Granularity(stamp);
  }
  return stamp;
}

const FileStamp& StampCache::Of(const std::string& path) {
  const auto [it, added] = stamps_.try_emplace(path);
  if (added) it->second = stamper_(path, true);
  return it->second;
}

bool Unchanged(const std::vector<Input>& inputs, StampCache& stamps) {
  return std::all_of(inputs.begin(), inputs.end(),
                     [&stamps](const Input& input) { return stamps.Of(input.path) == input.stamp; });
}

bool SourcesUnchanged(const std::string& source, const FileStamp& sourceStamp,
                      const std::vector<Input>& inputs, StampCache& stamps) {
  return stamps.Of(source) == sourceStamp && Unchanged(inputs, stamps);
}

bool OutputRecord::UpToDate(const fs::path& target, StampCache& stamps) const {
  return stamps.Output(target) == outStamp && SourcesUnchanged(source, sourceStamp, inputs, stamps);
}

fs::path Manifest::PathFor(const fs::path& outDir) {
  fs::path folder = outDir.lexically_normal();
  if (!folder.has_filename()) folder = folder.parent_path();  // "out/"
  if (folder.empty() || folder.filename() == "." || folder.filename() == "..") {
    folder = fs::absolute(folder).lexically_normal();
    if (!folder.has_filename()) folder = folder.parent_path();
  }
  if (!folder.has_filename()) return folder / ".gridloom-state";  // a root
  return folder.parent_path() / (folder.filename().native() + fs::path(".gridloom-state").native());
}

fs::path Manifest::CachedPathFor(const fs::path& outDir) {
  const fs::path folder = CacheFolder();
  if (folder.empty()) return {};
  char hex[17];
  std::snprintf(hex, sizeof hex, "%016llx", static_cast<unsigned long long>(Fnv1a(
                                                PathText(fs::absolute(outDir).lexically_normal()))));
  return folder / "state" / (std::string(hex) + ".gridloom-state");
}

Manifest Manifest::Load(const fs::path& outDir, const std::string& key) {
  std::optional<Manifest> manifest;
  fs::path from;
  std::string text;
  for (const fs::path& file : {PathFor(outDir), CachedPathFor(outDir), outDir / kOldFileName}) {
    if (file.empty()) continue;
    try {
      text = ReadFile(file);
    } catch (const IoError&) {
      continue;
    }
    manifest = Parse(text);
    from = file;
    break;
  }
  if (manifest && manifest->key == key) {
    manifest->text_ = std::move(text);
    manifest->from_ = std::move(from);
    manifest->found_ = true;
  } else {
    manifest = Manifest();
  }
  manifest->key = key;
  return *std::move(manifest);
}

namespace {

// An input, with its stamp, as one word for the map of numbers.
std::string InputWord(const Input& input) { return Word(input.path) + " " + input.stamp.Text(); }

}  // namespace

void Manifest::Save(const fs::path& outDir) const {
  std::string text(kHeader);
  text += "key " + Word(key) + "\n";
  std::map<std::string, std::size_t> numbers;
  for (const auto& [target, record] : outputs) {
    for (const Input& input : record.inputs) {
      const std::string word = InputWord(input);
      if (numbers.emplace(word, numbers.size()).second) text += "input " + word + "\n";
    }
  }
  for (const auto& [target, record] : outputs) {
    std::string list;
    for (const Input& input : record.inputs) {
      list += (list.empty() ? "" : ",") + std::to_string(numbers[InputWord(input)]);
    }
    text += "output " + Word(target) + (record.page ? " page " : " file ") + Word(record.source) +
            " " + record.sourceStamp.Text() + " " + record.outStamp.Text() + " " +
            std::to_string(record.calls) + " " + std::to_string(record.problems) + " " +
            std::to_string(record.tables) + " " + (list.empty() ? "-" : list) + "\n";
    if (!record.messages.empty()) text += "messages " + Word(record.messages) + "\n";
  }
  char sum[17];
  const auto end = std::to_chars(sum, sum + sizeof sum, Fnv1a(text), 16).ptr;
  text += "end " + std::to_string(outputs.size()) + " " + std::string(sum, end) + "\n";
  const fs::path beside = PathFor(outDir), cached = CachedPathFor(outDir);
  fs::path saved = from_;
  if (text != text_ || from_.filename() == kOldFileName) {
    try {
      WriteFileAtomic(beside, text);
      saved = beside;
    } catch (const IoError& first) {
      // The folder around the output folder may be the system's (/var/www/html).
      if (cached.empty()) throw;
      std::error_code error;
      fs::create_directories(cached.parent_path(), error);
      try {
        WriteFileAtomic(cached, text);
      } catch (const IoError&) {
        throw first;
      }
      saved = cached;
    }
  }
  // One record for a folder: the others are older.
  std::error_code ignored;
  for (const fs::path& other : {beside, cached, outDir / kOldFileName}) {
    if (!other.empty() && other != saved) fs::remove(other, ignored);
  }
}

}  // namespace gridloom::host
