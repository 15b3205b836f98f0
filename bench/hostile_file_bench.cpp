// Loading files far larger than a network needs: 100,000 sections must cost time linear in their
// number. Google Benchmark fits the complexity over the sizes (BigO should read N).
#include <benchmark/benchmark.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <random>
#include <string>
#include <system_error>

#include "bench/bench_support.h"
#include "mplnet/engine.h"
#include "persistence/ini_file.h"

namespace {

using mplnet::bench::BenchFolder;

// `sections` sections: elements (0, 0), (0, 1), ... with two sections each, 50,000 to a layer (a
// position holds at most 65535).
void WriteSections(const std::string& path, std::int64_t sections) {
  std::ofstream out(path, std::ios::binary);
  for (std::int64_t i = 0; i < sections / 2; ++i) {
    const std::string x = std::to_string(i / 50000);
    const std::string y = std::to_string(i % 50000);
    out << "[Neuron_" << x << y << "]\r\nX=" << x << "\r\nY=" << y
        << "\r\natype=0\r\nntype=1\r\nthreshold=0\r\nalpha=0\r\n[Synapse_" << x << y
        << "]\r\nX=" << x << "\r\nY=" << y << "\r\n0_0=1\r\n";
  }
}

void BM_LoadSections(benchmark::State& state) {
  BenchFolder folder;
  const std::string path = folder.file("sections.ini");
  WriteSections(path, state.range(0));
  mplnet::CIniFile ini;
  ini.SetFileName(path);
  for (auto _ : state) {
    const char* code = nullptr;
    std::unique_ptr<mplnet::Perceptron> net = ini.LoadMPL(code);
    benchmark::DoNotOptimize(net.get());
  }
  state.SetItemsProcessed(state.iterations() * state.range(0));
  state.SetComplexityN(state.range(0));
}
BENCHMARK(BM_LoadSections)
    ->RangeMultiplier(2)
    ->Range(12500, 200000)
    ->Unit(benchmark::kMillisecond)
    ->Complexity(benchmark::oAuto);

}  // namespace
