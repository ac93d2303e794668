#include "page.h"

#include <algorithm>
#include <atomic>
#include <new>
#include <set>
#include <utility>

#include "base/huge_pages.h"
#include "base/parallel.h"
#include "base/utf16.h"
#include "gridloom/native_path.h"
#include "inline_scan.h"

namespace gridloom::host {

namespace fs = std::filesystem;

namespace {

// Bytes that a page encoding must write as ASCII for calls to be found in its bytes.
constexpr std::string_view kAsciiProbe = "&gridloom(\"<!-->),\\/.\r\n azAZ09";

bool WritesAsciiAsAscii(const std::string& charset) {
  Recoder probe("UTF-8", charset);
  return probe.Convert(kAsciiProbe) == std::string(kAsciiProbe);
}

std::string FolderText(const fs::path& folder) { return folder.empty() ? "" : PathText(folder); }

}  // namespace

std::string Shown(const std::string& folder, const std::string& name) {
  return folder.empty() ? Slashed(name) : folder + "/" + Slashed(name);
}

std::string IniProblem(const call::Files& files, const std::string& shown) {
  if (files.iniName.empty()) return {};
  const std::string why = WhyUnreadable(NativePath(files.ini));
  if (why.empty()) return {};
  return "cannot read INI file " + shown + ": " + why + "; the default tags are used";
}

std::string CsvProblem(const call::Files& files, const std::string& shown) {
  std::string why = call::IsDeviceName(files.csv) ? "a device name of Windows, never a table"
                                                  : WhyUnreadable(NativePath(files.csv));
  return "cannot open CSV file " + shown + ": " +
         (why.empty() ? "no table could be made of it" : why);
}

std::size_t PageResult::Tables() const {
  return static_cast<std::size_t>(
      std::count_if(calls.begin(), calls.end(), [](const CallReport& c) { return c.table; }));
}

std::size_t PageResult::Problems() const {
  return static_cast<std::size_t>(std::count_if(
      calls.begin(), calls.end(), [](const CallReport& c) { return !c.problems.empty(); }));
}

std::string PageResult::ProblemLines(const std::string& name) const {
  std::string text;
  for (const CallReport& report : calls) {
    for (const std::string& problem : report.problems) {
      text += name + ":" + std::to_string(report.line) + ": " + problem + "\n";
    }
  }
  return text;
}

std::string PageResult::CallLines(const std::string& name) const {
  std::string text;
  for (const CallReport& report : calls) {
    text += name + ":" + std::to_string(report.line) + ": ";
    if (!report.csvPath.empty()) {
      text += "CSV " + report.csv + ", INI " + (report.ini.empty() ? "(none)" : report.ini) + ": ";
    }
    if (report.problems.empty()) text += "ok";
    for (std::size_t i = 0; i < report.problems.size(); ++i) {
      text += (i > 0 ? "; " : "") + report.problems[i];
    }
    text += '\n';
  }
  return text;
}

std::vector<Input> InputsOf(const PageResult& result) {
  std::vector<Input> inputs;
  std::set<std::string> seen;
  for (const CallReport& report : result.calls) {
    for (const auto& [path, stamp] : {std::pair(&report.csvPath, &report.csvStamp),
                                      std::pair(&report.iniPath, &report.iniStamp)}) {
      if (!path->empty() && seen.insert(*path).second) inputs.push_back({*path, *stamp});
    }
  }
  return inputs;
}

PageExpander::PageExpander(InlineFunction call, const Encodings& encodings)
    : call_(std::move(call)),
      encodings_(encodings),
      asciiCompatible_(WritesAsciiAsAscii(encodings.page)),
      toUtf8_(encodings.page, "UTF-8"),
      utf8ToAnsi_("UTF-8", encodings.ansi),
      fromUtf8_("UTF-8", encodings.page),
      toPage_(asciiCompatible_ ? encodings.page : std::string("UTF-8")),
      toPageIsUtf8_(!asciiCompatible_ || IsUtf8Name(encodings.page)) {}

CallReport PageExpander::Resolve(std::string_view args, const fs::path& folder, bool checked,
                                 std::string& ansiArgs, std::string& ansiBase,
                                 call::Files& files) {
  CallReport report;
  const std::optional<std::string> utf8 =
      asciiCompatible_ ? toUtf8_.Convert(args) : std::optional(std::string(args));
  if (!utf8) {
    std::string problem = "the call is not valid " + encodings_.pageName;
    if (IsUtf8Name(encodings_.pageName)) {
      problem += " (a Shift_JIS page needs --page-encoding Shift_JIS)";
    }
    report.problems.push_back(problem + "; left as written");
    return report;
  }
  const std::string folderText = folder.empty() ? std::string(".") : PathText(folder);
  const std::optional<std::string> argsInCp = utf8ToAnsi_.Convert(*utf8);
  const std::optional<std::string> baseInCp =
      kAnsiNames ? std::optional(folderText) : utf8ToAnsi_.Convert(folderText);
  if (!argsInCp || !baseInCp) {
    report.problems.push_back(
        (argsInCp ? "the folder " + folderText : std::string("the argument text")) +
        " cannot be written in code page " + std::to_string(encodings_.codePage) +
        kWiderCodePageHint + "; left as written");
    return report;
  }
  ansiArgs = *argsInCp;
  ansiBase = *baseInCp;
  files = call::FilesOf(ansiArgs, ansiBase);
  // Messages name files as the system does: in the ANSI code page on Windows.
  const call::Files shown = kAnsiNames ? files : call::FilesOf(*utf8, "");
  report.csv = Shown(FolderText(folder), shown.csvName);
  if (!files.iniName.empty()) report.ini = Shown(FolderText(folder), shown.iniName);
  report.csvPath = NativePath(files.csv);
  if (!files.iniName.empty()) report.iniPath = NativePath(files.ini);
  if (!checked) return report;
  if (stamping_) {
    report.csvStamp = stamps_.Of(report.csvPath);
    if (!report.iniPath.empty()) report.iniStamp = stamps_.Of(report.iniPath);
  }
  if (!report.iniPath.empty()) {
    // Calls that share an INI file ask about it once in the expander's life (one build).
    const auto [it, added] = iniProblems_.try_emplace(files.ini + '\n' + report.ini);
    if (added) it->second = IniProblem(files, report.ini);
    if (!it->second.empty()) report.problems.push_back(it->second);
  }
  return report;
}

PageResult PageExpander::Expand(std::string_view page, const std::string& name,
                                const fs::path& folder, bool render) {
  PageResult result;
  if (!render) {
    if (asciiCompatible_) {
      ExpandCalls(page, folder, nullptr, result);
    } else {
      std::optional<std::string> utf8 = toUtf8_.Convert(page);
      if (!utf8) throw IoError("cannot read " + name + " as " + encodings_.pageName);
      ExpandCalls(*utf8, folder, nullptr, result);
    }
    return result;
  }
  std::string text;
  text.reserve(page.size());
  const PageSink collect{[&text](std::string_view piece) { text.append(piece); },
                         [&text](std::size_t bytes) {
                           // Room that is never written costs no memory: only what is written
                           // is given pages, huge ones for a large table.
                           if (text.capacity() - text.size() >= bytes) return;
                           try {
                             text.reserve(text.size() + bytes);
                             AdviseHugePages(text.data(), text.capacity());
                           } catch (const std::bad_alloc&) {
                             // the bound is not to be had at once: the page grows as it comes
                           }
                         }};
  result = Expand(page, name, folder, collect);
  result.text = std::move(text);
  return result;
}

PageResult PageExpander::Expand(std::string_view page, const std::string& name,
                                const fs::path& folder, const PageSink& sink) {
  PageResult result;
  if (asciiCompatible_) {
    ExpandCalls(page, folder, &sink, result);
    return result;
  }
  // Calls are found in UTF-8, and the page is written back whole.
  std::optional<std::string> utf8 = toUtf8_.Convert(page);
  if (!utf8) throw IoError("cannot read " + name + " as " + encodings_.pageName);
  std::string expanded;
  const PageSink collect{[&expanded](std::string_view piece) { expanded.append(piece); }};
  ExpandCalls(*utf8, folder, &collect, result);
  utf8.reset();
  std::optional<std::string> back = fromUtf8_.Convert(expanded);
  if (!back) throw IoError("cannot write " + name + " back as " + encodings_.pageName);
  sink.write(*back);
  return result;
}

void PageExpander::ExpandCalls(std::string_view page, const fs::path& folder,
                               const PageSink* sink, PageResult& result) {
  std::size_t copied = 0;
  for (const InlineCall& found : FindInlineCalls(page)) {
    if (sink != nullptr) sink->write(page.substr(copied, found.begin - copied));
    copied = found.end;
    std::string ansiArgs, ansiBase;
    call::Files files;
    CallReport report;
    if (!found.Balanced()) {
      report.problems.push_back("malformed call: " + std::string(found.malformed) +
                                " before its \")\"; left as written");
    } else {
      report = Resolve(found.args, folder, sink != nullptr, ansiArgs, ansiBase, files);
    }
    report.line = found.line;
    const bool callable = !report.csvPath.empty();
    if (sink != nullptr && callable) {
      const WideText html = call_(ansiArgs, ansiBase);
      report.table = html.View() != call::kFailureComment;
      if (!report.table) report.problems.insert(report.problems.begin(), CsvProblem(files, report.csv));
      // At most 3 bytes a UTF-16 unit in UTF-8, 8 in another charset (a lone surrogate's
      // reference); in a 32-bit process, whose addresses are few, at least one.
      const std::size_t most = sizeof(void*) < 8 ? 1 : toPageIsUtf8_ ? 3 : 8;
      if (sink->expect) sink->expect(html.View().size() * most);
      if (sink->utf8 && toPageIsUtf8_) {
        sink->utf8(html.View());
      } else {
        Encode(html.View(), *sink);
      }
    } else if (sink != nullptr) {
      sink->write(page.substr(found.begin, found.end - found.begin));
    }
    result.calls.push_back(std::move(report));
  }
  if (sink != nullptr) sink->write(page.substr(copied));
}

void PageExpander::Encode(std::u16string_view html, const PageSink& sink) {
  // Pieces small enough to stay in the caches, never splitting a surrogate pair.
  constexpr std::size_t kPiece = std::size_t{1} << 15;
  for (std::size_t at = 0; at < html.size();) {
    std::size_t units = std::min(kPiece, html.size() - at);
    if (at + units < html.size() && utf16::IsHigh(html[at + units - 1])) --units;
    sink.write(toPage_.Encode(html.substr(at, units)));
    at += units;
  }
}

void ForEachPage(std::size_t count, unsigned threads, const InlineFunction& call,
                 const Encodings& encodings,
                 const std::function<void(std::size_t, PageExpander&)>& work) {
  std::atomic<std::size_t> next{0};
  const auto parts = static_cast<unsigned>(std::clamp<std::size_t>(count, 1, std::max(1u, threads)));
  gridloom::RunParts(parts, [&](std::size_t) {
    PageExpander expander(call, encodings);
    for (std::size_t i = next++; i < count; i = next++) work(i, expander);
  });
}

}  // namespace gridloom::host
