// Saving and loading whole networks through the network file, into a temporary folder.
#include <benchmark/benchmark.h>

#ifdef __GLIBC__
#include <malloc.h>
#endif

#include <filesystem>
#include <memory>
#include <random>
#include <string>
#include <system_error>
#include <vector>

#include "bench/bench_support.h"
#include "mplnet/engine.h"
#include "persistence/ini_file.h"

namespace {

#ifdef __GLIBC__
// glibc gives free memory at the top of the heap back to the system once it exceeds a threshold
// that it adjusts as it goes, so whether one load's freed pages are still there for the next
// depends on what ran before. The heap keeps its free memory here, as a host's heap that has
// loaded a network before does, and BM_LoadNetworkColdHeap measures the other extreme: every page
// the load touches faulted in fresh.
const bool kHeapKeepsFreeMemory = [] {
  constexpr int kLarge = 1 << 30;
  return mallopt(M_TRIM_THRESHOLD, kLarge) == 1 && mallopt(M_MMAP_THRESHOLD, 32 << 20) == 1;
}();
#endif

// A network of the given sizes with seeded random weights.
mplnet::Perceptron MakeNetwork(const std::vector<int>& sizes) {
  std::mt19937_64 rng(7);
  mplnet::SetRandomSource([&rng] { return std::uniform_real_distribution<double>(0, 1)(rng); });
  mplnet::Perceptron net(sizes);
  mplnet::SetRandomSource(nullptr);
  return net;
}

std::vector<int> Sizes(const benchmark::State& state) {
  return {static_cast<int>(state.range(0)), static_cast<int>(state.range(1)),
          static_cast<int>(state.range(2))};
}

// Entries the writer writes: 8 per element plus one per link.
std::int64_t EntryCount(const mplnet::Perceptron& net) {
  std::int64_t entries = 0;
  for (const auto& elem : net.GetMPL())
    entries += 8 + static_cast<std::int64_t>(elem->kernel->getCount());
  return entries;
}

using mplnet::bench::BenchFolder;

void BM_SaveNetwork(benchmark::State& state) {
  const mplnet::Perceptron net = MakeNetwork(Sizes(state));
  BenchFolder folder;
  const std::string path = folder.file("net.ini");
  for (auto _ : state) {
    state.PauseTiming();
    std::filesystem::remove(path);  // a save into a new file each time
    state.ResumeTiming();
    mplnet::CIniFile ini;
    ini.SetFileName(path);
    benchmark::DoNotOptimize(ini.SaveMPL(net));
  }
  state.SetItemsProcessed(state.iterations() * EntryCount(net));
  state.SetBytesProcessed(state.iterations() *
                          static_cast<std::int64_t>(std::filesystem::file_size(path)));
}

// Loads a saved network of the benchmark's sizes once per iteration. With `fresh_pages`, the heap
// first gives all its free memory back to the system, as in a host process's first load: every
// page the load touches is then a fresh page fault. On a virtual machine where a fault costs
// microseconds, that is most of the time.
void LoadEachIteration(benchmark::State& state, bool fresh_pages) {
  const mplnet::Perceptron net = MakeNetwork(Sizes(state));
  BenchFolder folder;
  const std::string path = folder.file("net.ini");
  {
    mplnet::CIniFile ini;
    ini.SetFileName(path);
    ini.SaveMPL(net);
  }
#ifdef __GLIBC__
  benchmark::DoNotOptimize(kHeapKeepsFreeMemory);
#endif
  for (auto _ : state) {
    if (fresh_pages) {
      state.PauseTiming();
#ifdef __GLIBC__
      malloc_trim(0);
#endif
      state.ResumeTiming();
    }
    mplnet::CIniFile ini;
    ini.SetFileName(path);
    const char* code = nullptr;
    benchmark::DoNotOptimize(ini.LoadMPL(code));
  }
  state.SetItemsProcessed(state.iterations() * EntryCount(net));
  state.SetBytesProcessed(state.iterations() *
                          static_cast<std::int64_t>(std::filesystem::file_size(path)));
}

void BM_LoadNetwork(benchmark::State& state) {
  LoadEachIteration(state, false);
}

#ifdef __GLIBC__
void BM_LoadNetworkColdHeap(benchmark::State& state) {
  LoadEachIteration(state, true);
}
#endif

BENCHMARK(BM_SaveNetwork)->Args({10, 20, 5})->Args({100, 200, 10})->Unit(benchmark::kMillisecond);
BENCHMARK(BM_LoadNetwork)->Args({10, 20, 5})->Args({100, 200, 10})->Unit(benchmark::kMillisecond);
#ifdef __GLIBC__
BENCHMARK(BM_LoadNetworkColdHeap)->Args({100, 200, 10})->Unit(benchmark::kMillisecond);
#endif

}  // namespace
