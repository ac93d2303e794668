// What an expand into an output folder decides before it writes (the plan), and the record it
// keeps for the next build.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <limits>
#include <map>
#include <string>
#include <vector>

#include "build_state.h"
#include "plan.h"
#include "temp_dir.h"
#include "text_io.h"

namespace gridloom::host {
namespace {

namespace fs = std::filesystem;

FileStamp Stamp(unsigned long long size, long long mtime = 1'000'000'000) {
  FileStamp stamp;
  stamp.exists = true;
  stamp.device = 1;
  stamp.inode = size + 100;
  stamp.size = size;
  stamp.mtime = stamp.ctime = mtime;
  return stamp;
}

// A site of two pages and a copied file built once into out/, and the files as they are now:
// each stamp as it was recorded unless a case changes it.
struct World {
  std::vector<Job> jobs = {
      {"site/a.html", "site/a.html", "out/a.html", true, "a.html"},
      {"site/sub/b.html", "site/sub/b.html", "out/sub/b.html", true, "sub/b.html"},
      {"site/c.png", "site/c.png", "out/c.png", false, "c.png"},
  };
  std::map<std::string, OutputRecord> recorded;
  std::map<std::string, FileStamp> now;  // by path; missing files have no entry
  PlanOptions options{true, false, false};

  World() {
    now = {{"site/a.html", Stamp(1)},  {"site/sub/b.html", Stamp(2)}, {"site/c.png", Stamp(3)},
           {"out/a.html", Stamp(11)},  {"out/sub/b.html", Stamp(12)}, {"out/c.png", Stamp(13)},
           {"site/t.csv", Stamp(21)},  {"site/p.ini", Stamp(22)}};
    const std::vector<std::vector<std::string>> inputs = {{"site/t.csv", "site/p.ini"},
                                                          {"site/p.ini"}, {}};
    for (std::size_t i = 0; i < jobs.size(); ++i) {
      OutputRecord& record = recorded[jobs[i].relative];
      record.page = jobs[i].page;
      record.source = PathText(jobs[i].source);
      record.sourceStamp = now[record.source];
      record.outStamp = now[PathText(jobs[i].target)];
      for (const std::string& input : inputs[i]) record.inputs.push_back({input, now[input]});
    }
  }

  StampCache Stamps() const {
    return StampCache([this](const fs::path& path, bool) {
      const auto it = now.find(PathText(path));
      return it == now.end() ? FileStamp{} : it->second;
    });
  }
};

TEST(Plan, MakesAgainWhatChangedAndOnlyThat) {
  struct Case {
    const char* name;
    std::function<void(World&)> change;
    std::string current;  // per job: c up to date, - made again
    std::vector<std::string> stale;
    bool removeStale = false;
    std::vector<std::string> folders;  // made for the outputs that are made
  };
  const Case cases[] = {
      {"nothing changed", [](World&) {}, "ccc", {}, false, {}},
      {"a page changed", [](World& w) { w.now["site/sub/b.html"] = Stamp(5); }, "c-c", {},
       false, {"out/sub"}},
      {"a CSV file changed", [](World& w) { w.now["site/t.csv"] = Stamp(7); }, "-cc", {}, false,
       {"out"}},
      {"an INI file two pages read changed", [](World& w) { w.now["site/p.ini"] = Stamp(8); },
       "--c", {}, false, {"out", "out/sub"}},
      {"a CSV file is gone", [](World& w) { w.now.erase("site/t.csv"); }, "-cc", {}, false,
       {"out"}},
      {"a CSV file that was missing appeared",
       [](World& w) {
         w.recorded["a.html"].inputs[0].stamp = FileStamp{};
         w.now["site/t.csv"] = Stamp(21);
       },
       "-cc", {}, false, {"out"}},
      {"an input is too new to be sure of",
       [](World& w) { w.recorded["a.html"].inputs[1].stamp.unsure = true; }, "-cc", {}, false,
       {"out"}},
      {"an output was edited", [](World& w) { w.now["out/c.png"] = Stamp(99); }, "cc-", {},
       false, {"out"}},
      {"an output was removed", [](World& w) { w.now.erase("out/sub/b.html"); }, "c-c", {},
       false, {"out/sub"}},
      {"a copied file changed", [](World& w) { w.now["site/c.png"] = Stamp(4, 5); }, "cc-", {},
       false, {"out"}},
      {"--force", [](World& w) { w.options.force = true; }, "---", {}, false,
       {"out", "out/sub"}},
      {"a page now where a copied file was",
       [](World& w) { w.recorded["a.html"].page = false; }, "-cc", {}, false, {"out"}},
      {"the output now made from another source (the old one still there)",
       [](World& w) {
         w.recorded["c.png"].source = "elsewhere/c.png";
         w.now["elsewhere/c.png"] = w.recorded["c.png"].sourceStamp;
       },
       "cc-", {}, false, {"out"}},
      {"a page is gone",
       [](World& w) { w.recorded["old.html"] = w.recorded["a.html"]; }, "ccc", {"old.html"},
       false, {}},
      {"a page is gone, with --delete",
       [](World& w) {
         w.recorded["old.html"] = w.recorded["a.html"];
         w.options.deleteStale = true;
       },
       "ccc", {"old.html"}, true, {}},
      {"--delete with nothing gone", [](World& w) { w.options.deleteStale = true; }, "ccc", {},
       false, {}},
      // Names that are one file to the file system are one output: on Windows a page renamed
      // in another case is not gone.
      {"a page renamed in another case",
       [](World& w) {
         w.recorded["A.html"] = w.recorded["a.html"];
         w.recorded.erase("a.html");
       },
       "-cc", kAnsiNames ? std::vector<std::string>{} : std::vector<std::string>{"A.html"},
       false, {"out"}},
      {"not into an output folder (-o)", [](World& w) { w.options = PlanOptions{}; }, "---", {},
       false, {}},
  };
  for (const Case& c : cases) {
    World world;
    c.change(world);
    StampCache stamps = world.Stamps();
    const Plan plan(world.jobs, world.recorded, world.options, stamps);
    std::string current;
    for (std::size_t i = 0; i < world.jobs.size(); ++i) {
      const OutputRecord* record = plan.Current(i);
      current += record == nullptr ? '-' : 'c';
      if (record != nullptr) {
        EXPECT_EQ(record, &world.recorded.at(world.jobs[i].relative)) << c.name;
      }
    }
    EXPECT_EQ(current, c.current) << c.name;
    EXPECT_EQ(plan.AllCurrent(), c.current == "ccc") << c.name;
    EXPECT_EQ(plan.Rebuild(), true) << c.name;
    std::vector<std::string> stale;
    for (const auto& [name, record] : plan.Stale()) stale.push_back(name);
    EXPECT_EQ(stale, c.stale) << c.name;
    EXPECT_EQ(plan.RemoveStale(), c.removeStale) << c.name;
    std::vector<std::string> folders;
    for (const fs::path& folder : plan.Folders()) folders.push_back(PathText(folder));
    EXPECT_EQ(folders, c.folders) << c.name;
  }
}

// A large site's outputs are judged on two threads; each judges its own.
TEST(Plan, ALargeSiteIsJudgedWhole) {
  World world;
  world.jobs.clear();
  world.recorded.clear();
  for (std::size_t i = 0; i < 2500; ++i) {
    const std::string name = "f" + std::to_string(i) + ".png";
    world.jobs.push_back({"site/" + name, "site/" + name, "out/" + name, false, name});
    world.now["site/" + name] = Stamp(1000 + i);
    world.now["out/" + name] = Stamp(5000 + i);
    OutputRecord& record = world.recorded[name];
    record.page = false;
    record.source = "site/" + name;
    record.sourceStamp = Stamp(1000 + i);
    record.outStamp = Stamp(5000 + i);
    if (i % 7 == 3) world.now["site/" + name] = Stamp(9);  // changed since
  }
  StampCache stamps = world.Stamps();
  const Plan plan(world.jobs, world.recorded, world.options, stamps);
  for (std::size_t i = 0; i < world.jobs.size(); ++i) {
    EXPECT_EQ(plan.Current(i) == nullptr, i % 7 == 3) << world.jobs[i].name;
  }
}

TEST(Plan, AFirstBuildMakesEverything) {
  World world;
  StampCache stamps = world.Stamps();
  const Plan plan(world.jobs, {}, world.options, stamps);
  EXPECT_FALSE(plan.Rebuild());
  for (std::size_t i = 0; i < world.jobs.size(); ++i) EXPECT_EQ(plan.Current(i), nullptr);
  EXPECT_TRUE(plan.Stale().empty());
}

std::string ReadAll(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// Stamps as a record keeps them: an unsure stamp is kept as unsure, without its values (it
// equals nothing anyway).
bool Agree(const FileStamp& loaded, const FileStamp& saved) {
  return loaded.unsure == saved.unsure && (saved.unsure || loaded.Same(saved));
}

void ExpectSameOutputs(const std::map<std::string, OutputRecord>& loaded,
                       const std::map<std::string, OutputRecord>& saved, const std::string& why) {
  ASSERT_EQ(loaded.size(), saved.size()) << why;
  for (auto a = loaded.begin(), b = saved.begin(); a != loaded.end(); ++a, ++b) {
    EXPECT_EQ(a->first, b->first) << why;
    const OutputRecord &x = a->second, &y = b->second;
    EXPECT_EQ(x.page, y.page) << why;
    EXPECT_EQ(x.source, y.source) << why;
    EXPECT_TRUE(Agree(x.sourceStamp, y.sourceStamp)) << why;
    EXPECT_TRUE(Agree(x.outStamp, y.outStamp)) << why;
    EXPECT_EQ(x.messages, y.messages) << why;
    EXPECT_EQ(x.calls, y.calls) << why;
    EXPECT_EQ(x.problems, y.problems) << why;
    EXPECT_EQ(x.tables, y.tables) << why;
    ASSERT_EQ(x.inputs.size(), y.inputs.size()) << why;
    for (std::size_t i = 0; i < x.inputs.size(); ++i) {
      EXPECT_EQ(x.inputs[i].path, y.inputs[i].path) << why;
      EXPECT_TRUE(Agree(x.inputs[i].stamp, y.inputs[i].stamp)) << why;
    }
  }
}

// Every name a site can hold comes back as it was saved; a record changed in any byte loads
// as it was or as empty (a full build), never as another record.
TEST(Manifest, RoundTripsAwkwardNamesAndLoadsNothingWhenDamaged) {
  const std::vector<std::string> names = {
      "a b.html", "line\nbreak.html", "cr\rlf.html", "tab\tname.html", "back\\slash.html",
      "#hash.html", "$dollar.html", "colon:.html", "\xff\xfe not UTF-8.html", ":colon first",
      "\\", " ", "100%.html", "sub/deep/name.html"};
  testsupport::TempDir dir;
  const fs::path out = fs::path(dir.path()) / "out";
  fs::create_directories(out);
  Manifest manifest;
  manifest.key = "gridloom 1\nfolder /a b\\c";
  FileStamp unsure = Stamp(6);
  unsure.unsure = true;
  for (std::size_t i = 0; i < names.size(); ++i) {
    OutputRecord& record = manifest.outputs[names[i]];
    record.page = i % 2 == 0;
    record.source = "site/" + names[i];
    record.sourceStamp = i % 3 == 0 ? unsure : Stamp(i);
    // Times before 1970 are negative; sizes and times at their limits.
    const std::vector<FileStamp> extremes = {
        Stamp(i + 50), Stamp(i, -1'500'000'000),
        Stamp(std::numeric_limits<unsigned long long>::max(),
              std::numeric_limits<long long>::min()),
        Stamp(0, std::numeric_limits<long long>::max())};
    record.outStamp = i % 4 == 0 ? FileStamp{} : extremes[i % extremes.size()];
    record.inputs = {{names[(i + 1) % names.size()], i % 5 == 0 ? unsure : Stamp(i + 7)},
                     {names[i] + ".ini", {}}};
    record.messages = names[i] + ":3: cannot open CSV file " + names[i] + "\n";
    record.calls = i;
    record.problems = i / 2;
    record.tables = i / 3;
  }
  manifest.Save(out);
  const Manifest loaded = Manifest::Load(out, manifest.key);
  EXPECT_TRUE(loaded.Found());
  ExpectSameOutputs(loaded.outputs, manifest.outputs, "as saved");
  EXPECT_TRUE(Manifest::Load(out, manifest.key + " ").outputs.empty()) << "another key";

  const fs::path file = Manifest::PathFor(out);
  const std::string saved = ReadAll(file);
  ASSERT_FALSE(saved.empty());
  for (std::size_t at = 0; at < saved.size(); ++at) {
    for (const unsigned char flip : {0x01, 0x20, 0x80}) {
      std::string damaged = saved;
      damaged[at] = static_cast<char>(damaged[at] ^ flip);
      std::ofstream(file, std::ios::binary | std::ios::trunc) << damaged;
      const Manifest again = Manifest::Load(out, manifest.key);
      if (again.outputs.empty()) continue;
      ExpectSameOutputs(again.outputs, manifest.outputs,
                        "byte " + std::to_string(at) + " changed by " + std::to_string(flip));
      if (HasFailure()) return;
    }
  }
  std::ofstream(file, std::ios::binary | std::ios::trunc) << saved.substr(0, saved.size() / 2);
  EXPECT_TRUE(Manifest::Load(out, manifest.key).outputs.empty()) << "cut short";
}

}  // namespace
}  // namespace gridloom::host
