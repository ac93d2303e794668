// The floor of `gridloom.exe expand SITE --out-dir OUT` under Wine: the Windows calls that
// expanding a site cannot do without, and nothing else. For each page of SITE (*.html, not
// below it): the page is read, the CSV file and the INI file of its first call are read as
// the plug-in reads them (CreateFileA, fourteen GetPrivateProfileStringA), and the page is
// written to OUT through a temporary file and MoveFileExW. Every other file of SITE (its
// folders walked) is copied to the same place below OUT as an output folder mirrors it: read,
// written through a temporary file with its times, and moved into place. Pages and copies
// are shared among JOBS threads as the command shares them. Wine's costs of these calls are
// not Windows', so the command is measured against this floor, run in the same way.
//   gridloom_site_floor.exe SITE OUT [JOBS]
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

std::string ReadAll(HANDLE file) {
  std::string data;
  char buffer[65536];
  DWORD got = 0;
  while (ReadFile(file, buffer, sizeof buffer, &got, nullptr) && got > 0) data.append(buffer, got);
  CloseHandle(file);
  return data;
}

struct Site {
  std::string site, out;
  std::vector<std::string> pages;
  std::vector<std::string> files;  // the others, below SITE
  std::atomic<std::size_t> next{0};
  std::atomic<std::size_t> failures{0};
};

// Writes data to target through a temporary file, with the given times when there are some.
bool WriteThrough(const std::string& target, const std::string& temp, const std::string& data,
                  const FILETIME* written) {
  const HANDLE out = CreateFileA(temp.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr);
  DWORD count = 0;
  return out != INVALID_HANDLE_VALUE &&
         WriteFile(out, data.data(), static_cast<DWORD>(data.size()), &count, nullptr) &&
         (written == nullptr || SetFileTime(out, nullptr, nullptr, written)) &&
         CloseHandle(out) &&
         MoveFileExA(temp.c_str(), target.c_str(), MOVEFILE_REPLACE_EXISTING);
}

// A file other than a page, copied with its time.
void Copy(Site& site, std::size_t i) {
  const std::string& name = site.files[i];
  const HANDLE in = CreateFileA((site.site + "\\" + name).c_str(), GENERIC_READ,
                                FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  FILETIME written{};
  if (in == INVALID_HANDLE_VALUE || !GetFileTime(in, nullptr, nullptr, &written)) {
    ++site.failures;
    return;
  }
  const std::string data = ReadAll(in);
  if (!WriteThrough(site.out + "\\" + name, site.out + "\\.floor-f" + std::to_string(i), data,
                    &written)) {
    ++site.failures;
  }
}

// The files below folder (relative to SITE, "" for SITE itself): pages at the top, the
// others anywhere; the folders are made below OUT.
void List(Site& site, const std::string& folder) {
  WIN32_FIND_DATAA found;
  const std::string base = folder.empty() ? site.site : site.site + "\\" + folder;
  const HANDLE search = FindFirstFileA((base + "\\*").c_str(), &found);
  if (search == INVALID_HANDLE_VALUE) return;
  do {
    const std::string name = found.cFileName;
    if (name == "." || name == "..") continue;
    const std::string relative = folder.empty() ? name : folder + "\\" + name;
    if ((found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
      CreateDirectoryA((site.out + "\\" + relative).c_str(), nullptr);
      List(site, relative);
    } else if (folder.empty() && name.size() > 5 && name.substr(name.size() - 5) == ".html") {
      site.pages.push_back(name);
    } else {
      site.files.push_back(relative);
    }
  } while (FindNextFileA(search, &found));
  FindClose(search);
}

// The first call's two names, as written.
void Names(const std::string& page, std::string& csv, std::string& ini) {
  const std::size_t call = page.find("&gridloom(\"");
  if (call == std::string::npos) return;
  const std::size_t start = call + 11, end = page.find('"', start);
  csv = page.substr(start, end - start);
  const std::size_t iniStart = page.find('"', end + 1) + 1;
  ini = page.substr(iniStart, page.find('"', iniStart) - iniStart);
}

DWORD WINAPI Work(void* argument) {
  Site& site = *static_cast<Site*>(argument);
  static const char* const kSections[] = {"table",  "tableRow", "tdRow1", "tdRowX",
                                          "tdCol1", "tdColX",   "tdEtc"};
  for (std::size_t i = site.next++; i < site.pages.size() + site.files.size();
       i = site.next++) {
    if (i >= site.pages.size()) {
      Copy(site, i - site.pages.size());
      continue;
    }
    const std::string name = site.site + "\\" + site.pages[i];
    const std::string page = ReadAll(CreateFileA(name.c_str(), GENERIC_READ, FILE_SHARE_READ,
                                                 nullptr, OPEN_EXISTING, 0, nullptr));
    std::string csv, ini;
    Names(page, csv, ini);
    const std::string csvPath = site.site + "\\" + csv, iniPath = site.site + "\\" + ini;
    const std::string table = ReadAll(CreateFileA(csvPath.c_str(), GENERIC_READ, FILE_SHARE_READ,
                                                  nullptr, OPEN_EXISTING, 0, nullptr));
    char value[1024];
    for (const char* section : kSections) {
      for (const char* key : {"open", "close"}) {
        GetPrivateProfileStringA(section, key, "", value, sizeof value, iniPath.c_str());
      }
    }
    // As many bytes as the page with its table.
    if (!WriteThrough(site.out + "\\" + site.pages[i],
                      site.out + "\\.floor-" + std::to_string(i), page + table, nullptr)) {
      ++site.failures;
    }
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: gridloom_site_floor SITE OUT [JOBS]\n");
    return 2;
  }
  Site site;
  site.site = argv[1];
  site.out = argv[2];
  const int jobs = argc > 3 ? std::max(1, std::atoi(argv[3])) : 1;
  CreateDirectoryA(site.out.c_str(), nullptr);
  List(site, "");
  if (site.pages.empty()) return 3;
  std::vector<HANDLE> threads;
  for (int t = 1; t < jobs; ++t) {
    threads.push_back(CreateThread(nullptr, 0, Work, &site, 0, nullptr));
  }
  Work(&site);
  for (const HANDLE thread : threads) {
    WaitForSingleObject(thread, INFINITE);
    CloseHandle(thread);
  }
  if (site.failures > 0) {
    std::fprintf(stderr, "gridloom_site_floor: %zu files not written\n", site.failures.load());
    return 3;
  }
  return 0;
}
