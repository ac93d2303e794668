#include "check.h"

#include <string>

#include "base/parallel.h"
#include "report.h"
#include "site.h"

namespace gridloom::host {

int CheckPages(const InlineFunction& call, const Encodings& encodings,
               const CheckRequest& request) {
  const Jobs jobs = CollectJobs(request.inputs, {std::nullopt, std::nullopt, request.includeHidden, {}});
  const std::size_t pages = jobs.Pages();
  bool ioFailure = !jobs.ok;
  if (pages == 0 && !ioFailure) {
    Error("check: no pages (*.html, *.htm) found");
    return kUsage;
  }
  gridloom::Lock lock;  // guards standard error and the counts below
  std::vector<std::string> lines(jobs.list.size());
  std::size_t calls = 0, problems = 0;
  ForEachPage(jobs.list.size(), request.jobs, call, encodings,
              [&](std::size_t i, PageExpander& expander) {
    const Job& job = jobs.list[i];
    PageResult result;
    std::string error;
    expander.Stamp(false);
    try {
      result = expander.Expand(ReadFile(job.source), job.name, job.source.parent_path());
    } catch (const IoError& e) {
      error = e.what();
    } catch (const std::exception& e) {
      error = job.name + ": " + e.what();
    }
    const gridloom::Locked guard(lock);
    lines[i] = result.CallLines(job.name);
    if (!error.empty()) {
      Error(error);
      ioFailure = true;
      return;
    }
    calls += result.calls.size();
    problems += result.Problems();
  });
  std::string report;
  for (const std::string& page : lines) report += page;
  report += std::to_string(calls) + (calls == 1 ? " call" : " calls") + " in " +
            std::to_string(pages) + (pages == 1 ? " page" : " pages") + ": " +
            std::to_string(calls - problems) + " ok, " + std::to_string(problems) +
            " with problems\n";
  if (!PrintText(report)) return kIoFailure;
  if (ioFailure) return kIoFailure;
  return problems > 0 ? kNoTable : kOk;
}

}  // namespace gridloom::host
