// Saving and loading whole networks through the network file, into a temporary folder, with FANN's
// fann_save and fann_create_from_file (double build) on networks of the same sizes as the peer.
#include <benchmark/benchmark.h>
#include <doublefann.h>
#include <fcntl.h>
#include <unistd.h>

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

// A FANN network of the given sizes, sigmoid throughout, weights drawn in [-1, 1].
fann* MakeFann(const std::vector<int>& sizes) {
  fann* ann = fann_create_standard(3, sizes[0], sizes[1], sizes[2]);
  fann_set_activation_function_hidden(ann, FANN_SIGMOID);
  fann_set_activation_function_output(ann, FANN_SIGMOID);
  fann_randomize_weights(ann, -1, 1);
  return ann;
}

// Flushes `path` and its folder to the disk, as our save does after writing and renaming.
void FlushFileAndFolder(const std::string& path) {
  for (const std::string& name : {path, std::filesystem::path(path).parent_path().string()}) {
    const int fd = ::open(name.c_str(), O_RDONLY);
    if (fd >= 0) {
      ::fsync(fd);
      ::close(fd);
    }
  }
}

// fann_save into a new file each time; with `flushed`, followed by the flushes our save makes, so
// that the two can also be compared like for like.
void FannSaveEachIteration(benchmark::State& state, bool flushed) {
  fann* ann = MakeFann(Sizes(state));
  BenchFolder folder;
  const std::string path = folder.file("net.net");
  for (auto _ : state) {
    state.PauseTiming();
    std::filesystem::remove(path);
    state.ResumeTiming();
    benchmark::DoNotOptimize(fann_save(ann, path.c_str()));
    if (flushed) FlushFileAndFolder(path);
  }
  state.SetBytesProcessed(state.iterations() *
                          static_cast<std::int64_t>(std::filesystem::file_size(path)));
  fann_destroy(ann);
}

void BM_FannSave(benchmark::State& state) {
  FannSaveEachIteration(state, false);
}

void BM_FannSaveFlushed(benchmark::State& state) {
  FannSaveEachIteration(state, true);
}

void BM_FannLoad(benchmark::State& state) {
  fann* ann = MakeFann(Sizes(state));
  BenchFolder folder;
  const std::string path = folder.file("net.net");
  fann_save(ann, path.c_str());
  fann_destroy(ann);
  for (auto _ : state) {
    fann* loaded = fann_create_from_file(path.c_str());
    benchmark::DoNotOptimize(loaded);
    fann_destroy(loaded);
  }
  state.SetBytesProcessed(state.iterations() *
                          static_cast<std::int64_t>(std::filesystem::file_size(path)));
}

BENCHMARK(BM_SaveNetwork)->Args({10, 20, 5})->Args({100, 200, 10})->Unit(benchmark::kMillisecond);
BENCHMARK(BM_LoadNetwork)->Args({10, 20, 5})->Args({100, 200, 10})->Unit(benchmark::kMillisecond);
// One load only: run alone in a fresh process (--benchmark_filter=FirstLoad), it is a host's first
// load, every page of its heap new.
BENCHMARK(BM_LoadNetwork)
    ->Name("BM_FirstLoad")
    ->Args({100, 200, 10})
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_FannLoad)
    ->Name("BM_FannFirstLoad")
    ->Args({100, 200, 10})
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_FannSave)->Args({10, 20, 5})->Args({100, 200, 10})->Unit(benchmark::kMillisecond);
BENCHMARK(BM_FannSaveFlushed)->Args({100, 200, 10})->Unit(benchmark::kMillisecond);
BENCHMARK(BM_FannLoad)->Args({10, 20, 5})->Args({100, 200, 10})->Unit(benchmark::kMillisecond);
#ifdef __GLIBC__
BENCHMARK(BM_LoadNetworkColdHeap)->Args({100, 200, 10})->Unit(benchmark::kMillisecond);
#endif

}  // namespace
