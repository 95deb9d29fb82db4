// Loading command lines of growing length: the time per token must stay flat, so that a
// tenfold longer command line takes about tenfold the time.

#include "options/command_line_options.h"

#include <benchmark/benchmark.h>

#include <string>

namespace {

// "/o0 v1 /o2 v3 ...": options with their values, all distinct; an odd count ends in a plain
// word so that the last option never lacks its value.
std::u16string DistinctTokens(std::int64_t count) {
  std::u16string text;
  for (std::int64_t i = 0; i < count; ++i) {
    if (i)
      text += u' ';
    const bool last = i + 1 == count;
    text += i % 2 ? u"v" : (last ? u"w" : u"/o");
    for (char c : std::to_string(i))
      text += static_cast<char16_t>(c);
  }
  return text;
}

void BM_LoadCommandLineArgs(benchmark::State &state) {
  const std::u16string text = DistinctTokens(state.range(0));
  for (auto _ : state) {
    morex::CommandLineOptions options;
    options.LoadCommandLineArgs(text);
    benchmark::DoNotOptimize(options.Count());
  }
  state.SetItemsProcessed(state.iterations() * state.range(0));
  state.SetComplexityN(state.range(0));
}

BENCHMARK(BM_LoadCommandLineArgs)
    ->Arg(100)
    ->Arg(327)
    ->Arg(1000)
    ->Arg(3270)
    ->Arg(10000)
    ->Arg(32700)
    ->Arg(32767)
    ->Unit(benchmark::kMicrosecond)
    ->Complexity(benchmark::oN);

} // namespace

BENCHMARK_MAIN();
