// Hot text helpers: the line-break scan under every received line, base64 for
// proxy headers, and the IPv6 text conversions.
#include <benchmark/benchmark.h>

#include <string>

#include "util/codec.h"
#include "util/iptext.h"
#include "util/textutil.h"

namespace zud {
namespace {

void BM_FindLineBreak(benchmark::State& state) {
  std::string buffer(static_cast<size_t>(state.range(0)), 'x');
  buffer += "\r\n";
  std::string terminator;
  for (auto _ : state) benchmark::DoNotOptimize(FindLineBreak(buffer, terminator));
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}
BENCHMARK(BM_FindLineBreak)->Arg(80)->Arg(65536);

void BM_ConvertToBase64(benchmark::State& state) {
  const std::string data(static_cast<size_t>(state.range(0)), '\xA5');
  for (auto _ : state) benchmark::DoNotOptimize(ConvertToBase64(data));
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}
BENCHMARK(BM_ConvertToBase64)->Arg(32)->Arg(65536);

void BM_IPv6RoundTrip(benchmark::State& state) {
  for (auto _ : state) {
    benchmark::DoNotOptimize(IPv6BytesToText(IPv6TextToBytes("2001:db8::ff00:42:8329")));
  }
}
BENCHMARK(BM_IPv6RoundTrip);

void BM_TakeFieldLoop(benchmark::State& state) {
  const std::string line = "227 Entering Passive Mode (127,0,0,1,195,80)";
  for (auto _ : state) {
    std::string rest = line;
    while (!rest.empty()) benchmark::DoNotOptimize(TakeField(rest, ","));
  }
}
BENCHMARK(BM_TakeFieldLoop);

}  // namespace
}  // namespace zud

BENCHMARK_MAIN();
