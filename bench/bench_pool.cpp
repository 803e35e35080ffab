// The cost of le::pool::parallelRange itself (an empty job against
// a direct call of the same std::function), and a small real job for scale.
#include <benchmark/benchmark.h>

#include <atomic>
#include <cmath>
#include <cstddef>
#include <functional>
#include <vector>

#include "compose/le_pool.h"

namespace {

void label(benchmark::State& state) {
  state.counters["threads"] = le::pool::threads();
  state.counters["parts"] = le::pool::parts(size_t(state.range(0)), 1);
}

// An empty job, called directly.
void BM_EmptyJob_DirectCall(benchmark::State& state) {
  const size_t count = size_t(state.range(0));
  std::function<void(size_t, size_t)> fn = [](size_t b, size_t e) { benchmark::DoNotOptimize(b + e); };
  for (auto _ : state) fn(0, count);
  label(state);
}
BENCHMARK(BM_EmptyJob_DirectCall)->Arg(1024);

// The same empty job through parallelRange: publish, wake the workers, run
// part 0, wait for the done signal.
void BM_EmptyJob_ParallelRange(benchmark::State& state) {
  const size_t count = size_t(state.range(0));
  std::function<void(size_t, size_t)> fn = [](size_t b, size_t e) { benchmark::DoNotOptimize(b + e); };
  le::pool::parallelRange(count, 1, fn);  // build the thread's pool outside the timing
  for (auto _ : state) le::pool::parallelRange(count, 1, fn);
  label(state);
}
BENCHMARK(BM_EmptyJob_ParallelRange)->Arg(1024)->UseRealTime();

// parallelRange that decides to run inline (one part): the check alone.
void BM_EmptyJob_ParallelRangeInline(benchmark::State& state) {
  std::function<void(size_t, size_t)> fn = [](size_t b, size_t e) { benchmark::DoNotOptimize(b + e); };
  for (auto _ : state) le::pool::parallelRange(1, 1, fn);
  state.counters["threads"] = le::pool::threads();
}
BENCHMARK(BM_EmptyJob_ParallelRangeInline);

// A real job for scale: sqrt over 512*512*3 floats.
std::vector<float>& buf() {
  static std::vector<float> v(512 * 512 * 3, 2.0f);
  return v;
}
void work(size_t b, size_t e) {
  float* p = buf().data();
  for (size_t i = b; i < e; ++i) p[i] = std::sqrt(p[i] + 1.0f) * 0.5f;
}

void BM_Sqrt786k_Direct(benchmark::State& state) {
  const size_t n = buf().size();
  for (auto _ : state) {
    work(0, n);
    benchmark::ClobberMemory();
  }
}
BENCHMARK(BM_Sqrt786k_Direct)->Unit(benchmark::kMicrosecond)->UseRealTime();

void BM_Sqrt786k_ParallelRange(benchmark::State& state) {
  const size_t n = buf().size();
  const std::function<void(size_t, size_t)> fn = work;
  for (auto _ : state) {
    le::pool::parallelRange(n, 4096, fn);
    benchmark::ClobberMemory();
  }
  state.counters["threads"] = le::pool::threads();
}
BENCHMARK(BM_Sqrt786k_ParallelRange)->Unit(benchmark::kMicrosecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
