// Throughput of the reader, the tag settings and the whole inline call.
#include <benchmark/benchmark.h>
#include <sys/resource.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <string_view>
#include <vector>

#include "csvreader/Csvreader.h"
#include "table/Mygridloom.h"
#include "table/read_rows.h"
#include "gridloom/winapi.h"
#include "plugin/inline_call.h"

namespace {

std::string SamplePath() {
  const char* path = std::getenv("GRIDLOOM_SAMPLE");
  return path != nullptr ? path : GRIDLOOM_SAMPLE_CSV;
}

std::filesystem::path BenchDir() {
  auto dir = std::filesystem::temp_directory_path() / "gridloom_bench";
  std::filesystem::create_directories(dir);
  return dir;
}

double PeakRssMiB() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return static_cast<double>(usage.ru_maxrss) / 1024.0;
}

// Every record of the sample, read through an input file stream.
void CsvReaderFromFile(benchmark::State& state) {
  const std::string path = SamplePath();
  const auto size = std::filesystem::file_size(path);
  std::size_t fields = 0;
  for (auto _ : state) {
    std::ifstream file(path, std::ios::in | std::ios::binary);
    gridloom::CSVReader reader(file);
    while (!file.eof() || reader.GetFieldCount() > 0) {
      fields += reader.GetFieldCount();
      reader.ReadRecord(file);
    }
  }
  benchmark::DoNotOptimize(fields);
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * size));
}
BENCHMARK(CsvReaderFromFile)->Unit(benchmark::kMillisecond);

// The fourteen tags of an ordinary INI file (the CSV file is missing, so only the tags count).
void LoadTagSettings(benchmark::State& state) {
  const auto ini = BenchDir() / "param.ini";
  std::ofstream(ini) << "; table tags\r\n[table]\r\nopen=<table class=\"grid\">\r\n"
                        "close=</table>\r\n[tableRow]\r\nopen=<tr>\r\nclose=</tr>\r\n"
                        "[tdRow1]\r\nopen=<th>\r\nclose=</th>\r\n[tdCol1]\r\nopen=<th "
                        "scope=\"row\">\r\nclose=</th>\r\n[tdEtc]\r\nopen=<td>\r\n"
                        "close=</td>\r\n";
  const std::string csv = (BenchDir() / "missing.csv").string();
  for (auto _ : state) {
    gridloom::MyGridLoom table(csv, ini.string());
    benchmark::DoNotOptimize(table.IsCreated());
  }
}
BENCHMARK(LoadTagSettings)->Unit(benchmark::kMicrosecond);

// The stages of the inline call on their own, on one thread where they can be: the rows read
// from the file's bytes in memory, the rows rendered into blocks, and the HTML converted.
std::string SampleBytes() {
  std::ifstream file(SamplePath(), std::ios::binary);
  return {std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
}

void StageReadRows(benchmark::State& state) {
  const std::string data = SampleBytes();
  for (auto _ : state) benchmark::DoNotOptimize(gridloom::ReadRows(data, 0));
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * data.size()));
}
BENCHMARK(StageReadRows)->Unit(benchmark::kMillisecond);

class DiscardingSink final : public gridloom::HtmlSink {
 public:
  bool Start(const std::vector<gridloom::HtmlPart>&) override { return true; }
  std::size_t Write(std::size_t, std::string_view block, bool) override {
    benchmark::DoNotOptimize(block.data());
    return block.size();
  }
};

void StageRender(benchmark::State& state) {
  gridloom::MyGridLoom table(SamplePath(), (BenchDir() / "none.ini").string());
  for (auto _ : state) {
    DiscardingSink sink;
    table.WriteHtml(sink);
  }
}
BENCHMARK(StageRender)->Unit(benchmark::kMillisecond)->UseRealTime();

void StageConvert(benchmark::State& state) {
  gridloom::MyGridLoom table(SamplePath(), (BenchDir() / "none.ini").string());
  const std::string html = table.GetHtml();
  std::u16string wide(html.size() + 1, u'\0');
  for (auto _ : state) {
    benchmark::DoNotOptimize(MultiByteToWideChar(CP_ACP, 0, html.c_str(), -1,
                                                 reinterpret_cast<LPWSTR>(wide.data()),
                                                 static_cast<int>(wide.size())));
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * html.size()));
}
BENCHMARK(StageConvert)->Unit(benchmark::kMillisecond);

// The whole inline call: CSV file in, BSTR out.
void PluginInline(benchmark::State& state) {
  const std::filesystem::path sample = std::filesystem::absolute(SamplePath());
  const auto size = std::filesystem::file_size(sample);
  const std::string args = "\"" + sample.filename().string() + "\"";
  const std::string base = sample.parent_path().string();
  std::size_t length = 0;
  for (auto _ : state) {
    BSTR html = gridloom::plugin::InlineCall(args.c_str(), base.c_str());
    state.PauseTiming();  // freeing the result is the host's part, after the call
    length = SysStringLen(html);
    SysFreeString(html);
    state.ResumeTiming();
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * size));
  state.counters["result_chars"] = static_cast<double>(length);
  state.counters["peak_rss_MiB"] = PeakRssMiB();
  state.counters["csv_MiB"] = static_cast<double>(size) / (1 << 20);
}
BENCHMARK(PluginInline)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
