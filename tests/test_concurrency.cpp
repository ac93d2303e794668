// PluginInline from eight threads at once, on different files and all on the same files:
// every result must equal the single-threaded result for the same call. Run under
// ThreadSanitizer by the tsan preset.
#include <gtest/gtest.h>

#include <latch>
#include <string>
#include <thread>
#include <vector>

#include "gridloom/gridloom.h"
#include "gridloom/winapi.h"
#include "temp_dir.h"

namespace {

constexpr int kThreads = 8;
constexpr int kRounds = 20;

class Files {
 public:
  Files() {
    for (int i = 0; i < kThreads; ++i) {
      std::string csv;
      for (int row = 0; row < 50 * (i + 1); ++row) {
        csv += std::to_string(i) + ",\"r" + std::to_string(row) + " <&>\"\",\x95\x5C\r\n";
      }
      dir_.Write("t" + std::to_string(i) + ".csv", csv);
      dir_.Write("t" + std::to_string(i) + ".ini",
                 "[tdRow1]\r\nopen=<th class=\"" + std::to_string(i) + "\">\r\nclose=</th>\r\n");
    }
  }
  const std::string& dir() const { return dir_.path(); }

 private:
  gridloom::testsupport::TempDir dir_{"gridloom-threads"};
};

std::u16string Call(const std::string& argText, const std::string& baseDir) {
  BSTR result = PluginInline(0, argText.c_str(), 0, 0, baseDir.c_str(), 0, 0);
  std::u16string text = result != nullptr ? std::u16string(result, SysStringLen(result))
                                          : u"(null BSTR)";
  SysFreeString(result);
  return text;
}

// Thread t makes the calls argsOf(t) kRounds times, all threads starting together; answers
// the number of results that differ from the single-threaded ones.
template <typename ArgsOf>
int CountMismatches(const std::string& dir, ArgsOf argsOf) {
  std::vector<std::vector<std::u16string>> expected(kThreads);
  for (int t = 0; t < kThreads; ++t) {
    for (const std::string& args : argsOf(t)) expected[t].push_back(Call(args, dir));
  }
  std::vector<int> mismatches(kThreads, 0);
  std::latch start(kThreads);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      const std::vector<std::string> calls = argsOf(t);
      start.arrive_and_wait();
      for (int round = 0; round < kRounds; ++round) {
        for (std::size_t i = 0; i < calls.size(); ++i) {
          if (Call(calls[i], dir) != expected[t][i]) ++mismatches[t];
        }
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  int total = 0;
  for (const int m : mismatches) total += m;
  return total;
}

TEST(Concurrency, EightThreadsOnDifferentFilesMatchTheSingleThreadedResults) {
  const Files files;
  const int mismatches = CountMismatches(files.dir(), [](int t) {
    const std::string n = std::to_string(t);
    return std::vector<std::string>{"t" + n + ".csv,t" + n + ".ini", "\"t" + n + ".csv\"",
                                    "missing" + n + ".csv"};
  });
  EXPECT_EQ(mismatches, 0);
}

TEST(Concurrency, EightThreadsOnTheSameFilesMatchTheSingleThreadedResults) {
  const Files files;
  const int mismatches = CountMismatches(files.dir(), [](int) {
    return std::vector<std::string>{"t7.csv,t3.ini", "t7.csv", "missing.csv"};
  });
  EXPECT_EQ(mismatches, 0);
}

// The results differ between files, so a mix-up between threads would show.
TEST(Concurrency, TheFilesGiveDistinctTables) {
  const Files files;
  const std::u16string first = Call("t0.csv,t0.ini", files.dir());
  EXPECT_TRUE(first.starts_with(u"<table><tr><th class=\"0\">0</th>")) << "unexpected table";
  EXPECT_NE(first, Call("t1.csv,t1.ini", files.dir()));
  EXPECT_NE(Call("t7.csv", files.dir()), Call("t7.csv,t3.ini", files.dir()));
}

}  // namespace
