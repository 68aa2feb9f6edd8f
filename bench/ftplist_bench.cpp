// Listing-parser throughput: 100,000 Unix "ls -l" lines, and 100,000 lines of
// mixed styles (Unix, IIS/DOS, VMS, EPLF and lines no mask accepts).
#include <string>
#include <vector>

#include <benchmark/benchmark.h>

#include "ftp/ftplist.h"

namespace {

constexpr int kLineCount = 100000;

std::vector<std::string> UnixLines() {
  const char* const kTemplates[] = {
      "-rw-r--r--   1 user     group     %7d Dec 24 10:30 file%d.txt",
      "drwxr-xr-x   2 user     group     %7d Jan  5  2005 dir%d",
      "-rw-r--r--    1 1000     1000     %7d Mar 01 09:15 report %d.pdf",
      "lrwxrwxrwx   1 user     group     %7d Jul 14 09:05 link%d -> target",
  };
  std::vector<std::string> lines;
  lines.reserve(kLineCount);
  char line[160];
  for (int i = 0; i < kLineCount; ++i) {
    std::snprintf(line, sizeof line, kTemplates[i % 4], i * 37 % 9999991, i);
    lines.emplace_back(line);
  }
  return lines;
}

std::vector<std::string> MixedLines() {
  const char* const kTemplates[] = {
      "-rw-r--r--   1 user     group     %7d Dec 24 10:30 file%d.txt",
      "12-24-98  10:30PM            %9d readme%d.txt",
      "03-15-06  11:45AM       <DIR>          dir%d%d",
      "FILE%d.TXT;%d  2/3  15-MAR-2005 10:30 [GROUP,OWNER]",
      "+m1000000000,s%d,r,\tnotes%d.txt",
      "total %d%d",
  };
  std::vector<std::string> lines;
  lines.reserve(kLineCount);
  char line[160];
  for (int i = 0; i < kLineCount; ++i) {
    std::snprintf(line, sizeof line, kTemplates[i % 6], i % 9999991, i % 7 + 1);
    lines.emplace_back(line);
  }
  return lines;
}

void ParseListing(benchmark::State& state, const std::vector<std::string>& lines) {
  zud::TFTPList list;
  zud::TDateTime now = 0;
  zud::TryEncodeDateTime(2006, 3, 15, 12, 0, 0, 0, now);
  list.OnGetNow = [now] { return now; };
  for (auto _ : state) {
    state.PauseTiming();
    list.ClearListing();
    list.Lines = lines;
    state.ResumeTiming();
    list.ParseLines();
    benchmark::DoNotOptimize(list.EntryCount());
  }
  state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(lines.size()));
  state.counters["entries"] = list.EntryCount();
}

void BM_ParseUnixListing(benchmark::State& state) { ParseListing(state, UnixLines()); }
void BM_ParseMixedListing(benchmark::State& state) { ParseListing(state, MixedLines()); }

BENCHMARK(BM_ParseUnixListing)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ParseMixedListing)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
