// Listing-parser throughput on generated listings of 100,000 lines, one per
// style (Unix "ls -l", IIS/DOS, VMS, EPLF) and a mixed one (all of these plus
// lines no mask accepts). Each style is timed two ways:
// - Listing: the whole road of a LIST reply, from the text to the entries and
//   back to an empty list (LoadLinesFromText + ParseLines + ClearListing);
// - ParseOnly: ParseLines alone over lines loaded outside the timing.
#include <cstdio>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>

#include "ftp/ftplist.h"

namespace {

constexpr int kLineCount = 100000;

const char* const kUnix[] = {
    "-rw-r--r--   1 user     group     %7d Dec 24 10:30 file%d.txt",
    "drwxr-xr-x   2 user     group     %7d Jan  5  2005 dir%d",
    "-rw-r--r--    1 1000     1000     %7d Mar 01 09:15 report %d.pdf",
    "lrwxrwxrwx   1 user     group     %7d Jul 14 09:05 link%d -> target",
};
const char* const kDos[] = {
    "12-24-98  10:30PM            %9d readme%d.txt",
    "03-15-06  11:45AM       <DIR>          dir%d%d",
};
const char* const kVms[] = {
    "FILE%d.TXT;%d  2/3  15-MAR-2005 10:30 [GROUP,OWNER]",
    "SUB%d.DIR;%d        1/3     12-FEB-2004 14:20 [SYSTEM]  (RWE,RWE,RE,RE)",
};
const char* const kEplf[] = {
    "+i8388621.%d,m839956783,r,s%d,\tfile.txt",
    "+i8388621.%d,m824255902,/,\tdir%d",
};
const char* const kMixed[] = {
    "-rw-r--r--   1 user     group     %7d Dec 24 10:30 file%d.txt",
    "12-24-98  10:30PM            %9d readme%d.txt",
    "03-15-06  11:45AM       <DIR>          dir%d%d",
    "FILE%d.TXT;%d  2/3  15-MAR-2005 10:30 [GROUP,OWNER]",
    "+m1000000000,s%d,r,\tnotes%d.txt",
    "total %d%d",
};

template <size_t N>
std::string Listing(const char* const (&templates)[N]) {
  std::string text;
  char line[160];
  for (int i = 0; i < kLineCount; ++i) {
    std::snprintf(line, sizeof line, templates[static_cast<size_t>(i) % N], i * 37 % 9999991, i);
    text += line;
    text += "\r\n";
  }
  return text;
}

zud::TDateTime FixedNow() {
  zud::TDateTime now = 0;
  zud::TryEncodeDateTime(2006, 3, 15, 12, 0, 0, 0, now);
  return now;
}

void WholeListing(benchmark::State& state, const std::string& text) {
  zud::TFTPList list;
  list.OnGetNow = FixedNow;
  int entries = 0;
  for (auto _ : state) {
    list.LoadLinesFromText(text);
    list.ParseLines();
    entries = list.EntryCount();
    benchmark::DoNotOptimize(entries);
    list.ClearListing();
  }
  state.SetItemsProcessed(state.iterations() * kLineCount);
  state.counters["entries"] = entries;
}

void ParseOnly(benchmark::State& state, const std::string& text) {
  zud::TFTPList loaded;
  loaded.LoadLinesFromText(text);
  const std::vector<std::string> lines(loaded.Lines.begin(), loaded.Lines.end());
  zud::TFTPList list;
  list.OnGetNow = FixedNow;
  for (auto _ : state) {
    state.PauseTiming();
    list.ClearListing();
    list.Lines = lines;
    state.ResumeTiming();
    list.ParseLines();
    benchmark::DoNotOptimize(list.EntryCount());
  }
  state.SetItemsProcessed(state.iterations() * kLineCount);
  state.counters["entries"] = list.EntryCount();
}

#define LISTING_BENCHMARKS(style, templates)                                          \
  void BM_Listing##style(benchmark::State& state) {                                   \
    static const std::string text = Listing(templates);                               \
    WholeListing(state, text);                                                        \
  }                                                                                   \
  void BM_ParseOnly##style(benchmark::State& state) {                                 \
    static const std::string text = Listing(templates);                               \
    ParseOnly(state, text);                                                           \
  }                                                                                   \
  BENCHMARK(BM_Listing##style)->Unit(benchmark::kMillisecond);                        \
  BENCHMARK(BM_ParseOnly##style)->Unit(benchmark::kMillisecond);

LISTING_BENCHMARKS(Unix, kUnix)
LISTING_BENCHMARKS(Dos, kDos)
LISTING_BENCHMARKS(Vms, kVms)
LISTING_BENCHMARKS(Eplf, kEplf)
LISTING_BENCHMARKS(Mixed, kMixed)

}  // namespace

BENCHMARK_MAIN();
