// Forward-pass benchmarks: the run export, Perceptron::Run and the plain reading of the network,
// and FANN's fann_run (double build) on the same topology and weights as a peer.
//
// After the usual table the program prints, per topology, each CPU time per pass as a multiple of
// fann_run's. Every benchmark reports `allocs_per_pass`, the heap allocations made inside its timed
// loop divided by the passes; the run export makes none once its network is compiled.
#include <benchmark/benchmark.h>
#include <doublefann.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <new>
#include <ostream>
#include <random>
#include <string>
#include <vector>

#include "host/tavra_dll.h"
#include "mplnet/engine.h"
#include "mplnet/mplnet.h"
#include "plain_reading.h"

// Every allocation of the program goes through here and is counted.
namespace {
std::uint64_t g_allocations = 0;
}  // namespace

void* operator new(std::size_t size) {
  ++g_allocations;
  if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
  throw std::bad_alloc();
}
void operator delete(void* p) noexcept {
  std::free(p);
}
void operator delete(void* p, std::size_t) noexcept {
  std::free(p);
}

namespace {

using mplnet::Neuron;
using mplnet::Perceptron;

// A network of the given layer sizes, fully connected layer to layer, with sigmoid neurons of
// steepness 2 and reproducible weights and thresholds spread over [-1, 1).
Perceptron MakeDense(const std::vector<int>& sizes) {
  std::mt19937 rng(42);
  mplnet::SetRandomSource([&rng] { return std::uniform_real_distribution<double>(0.0, 1.0)(rng); });
  Perceptron p(sizes);
  mplnet::SetRandomSource(nullptr);
  for (const std::shared_ptr<mplnet::Elem>& elem : p.GetMPL()) {
    if (elem->x == 0) continue;
    Neuron& n = *elem->kernel;
    n.setThreshold(2.0 * n.getThreshold() - 1.0);
    for (const mplnet::SynapseWeight& link : n.getSynapses())
      n.SetWeight(link.x, link.y, 2.0 * link.weight - 1.0);
  }
  return p;
}

// The dense network plus four links per neuron from anywhere: earlier layers, later layers, its own
// layer and itself. No two neurons read the same list, so no neurons run as a group.
Perceptron MakeArbitrary(const std::vector<int>& sizes) {
  Perceptron p = MakeDense(sizes);
  std::mt19937 rng(7);
  std::uniform_real_distribution<double> weight(-0.5, 0.5);
  for (unsigned i = 1; i < sizes.size(); ++i) {
    for (int j = 0; j < sizes[i]; ++j) {
      for (int k = 0; k < 4; ++k) {
        const auto layer = std::uniform_int_distribution<unsigned>(
            0, static_cast<unsigned>(sizes.size() - 1))(rng);
        const auto index = std::uniform_int_distribution<unsigned>(
            0, static_cast<unsigned>(sizes[layer] - 1))(rng);
        p.AddLink(i, static_cast<unsigned>(j), layer, index, weight(rng));
      }
    }
  }
  return p;
}

std::vector<int> Sizes(const benchmark::State& state) {
  return {static_cast<int>(state.range(0)), static_cast<int>(state.range(1)),
          static_cast<int>(state.range(2))};
}

std::vector<double> Inputs(int n) {
  std::vector<double> in(static_cast<std::size_t>(n));
  for (int i = 0; i < n; ++i) in[static_cast<std::size_t>(i)] = std::sin(0.37 * i + 0.1);
  return in;
}

std::int64_t Links(const Perceptron& p) {
  std::int64_t links = 0;
  for (const auto& elem : p.GetMPL()) links += static_cast<std::int64_t>(elem->kernel->getCount());
  return links;
}

// Runs `pass` in the timed loop and reports passes per second, links and allocations per pass.
template <typename Pass>
void Measure(benchmark::State& state, std::int64_t links, Pass pass) {
  pass();  // compiles what is compiled; the loop measures the steady state
  const std::uint64_t before = g_allocations;
  for (auto _ : state) pass();
  const std::uint64_t allocations = g_allocations - before;
  state.SetItemsProcessed(state.iterations());
  state.counters["links"] = static_cast<double>(links);
  state.counters["allocs_per_pass"] =
      static_cast<double>(allocations) / static_cast<double>(state.iterations());
}

void RunExport(benchmark::State& state, Perceptron network) {
  const std::int64_t links = Links(network);
  mplnet::MPL.net = std::make_unique<Perceptron>(std::move(network));
  const std::vector<double> in = Inputs(mplnet::MPL.net->GetLayerSize(0));
  std::vector<double> out(static_cast<std::size_t>(MPLGetOutArraySize()));
  Measure(state, links, [&] {
    benchmark::DoNotOptimize(MPLRun(out.data(), in.data(), static_cast<int>(in.size())));
    benchmark::ClobberMemory();
  });
  mplnet::MPL.net = std::make_unique<Perceptron>();
}

void RunPerceptron(benchmark::State& state, Perceptron network) {
  const std::vector<double> in = Inputs(network.GetLayerSize(0));
  Measure(state, Links(network), [&] {
    network.Run(in);
    benchmark::ClobberMemory();
  });
}

void RunPlain(benchmark::State& state, const Perceptron& network) {
  const std::vector<double> in = Inputs(network.GetLayerSize(0));
  Measure(state, Links(network), [&] {
    mplnet::testing::PlainRun(network, in);
    benchmark::ClobberMemory();
  });
}

void BM_MPLRun(benchmark::State& state) {
  RunExport(state, MakeDense(Sizes(state)));
}
void BM_PerceptronRun(benchmark::State& state) {
  RunPerceptron(state, MakeDense(Sizes(state)));
}
void BM_PlainReading(benchmark::State& state) {
  RunPlain(state, MakeDense(Sizes(state)));
}
void BM_MPLRunArbitraryLinks(benchmark::State& state) {
  RunExport(state, MakeArbitrary(Sizes(state)));
}
void BM_PerceptronRunArbitraryLinks(benchmark::State& state) {
  RunPerceptron(state, MakeArbitrary(Sizes(state)));
}
void BM_PlainReadingArbitraryLinks(benchmark::State& state) {
  RunPlain(state, MakeArbitrary(Sizes(state)));
}

// Every neuron's link records handed out to a caller, who may keep them: each neuron then runs on
// its own, reading its records and writing its link inputs on every pass.
void BM_PerceptronRunHandedOut(benchmark::State& state) {
  Perceptron network = MakeDense(Sizes(state));
  for (const std::shared_ptr<mplnet::Elem>& elem : network.GetMPL()) {
    benchmark::DoNotOptimize(elem->kernel->synapse_links.begin());
  }
  RunPerceptron(state, std::move(network));
}

// FANN's standard network of the same sizes: a bias neuron per layer stands for the thresholds, and
// steepness 1 gives 1 / (1 + e^(-2s)), the same function as ours with steepness 2. The weights are
// ours; a check at the start reports how far the outputs lie apart.
void BM_FannRun(benchmark::State& state) {
  const std::vector<int> sizes = Sizes(state);
  Perceptron network = MakeDense(sizes);
  fann* ann = fann_create_standard(3, sizes[0], sizes[1], sizes[2]);
  fann_set_activation_function_hidden(ann, FANN_SIGMOID);
  fann_set_activation_function_output(ann, FANN_SIGMOID);
  fann_set_activation_steepness_hidden(ann, 1.0);
  fann_set_activation_steepness_output(ann, 1.0);
  // FANN numbers neurons layer after layer, each layer's bias last.
  std::vector<unsigned> first(sizes.size());
  for (std::size_t l = 1; l < sizes.size(); ++l) first[l] = first[l - 1] + sizes[l - 1] + 1;
  for (std::size_t l = 1; l < sizes.size(); ++l) {
    for (int j = 0; j < sizes[l]; ++j) {
      const Neuron& n = *network.getElem(static_cast<int>(l), j)->kernel;
      const unsigned to = first[l] + static_cast<unsigned>(j);
      for (const mplnet::SynapseWeight& link : n.getSynapses()) {
        fann_set_weight(ann, first[l - 1] + static_cast<unsigned>(link.y), to, link.weight);
      }
      fann_set_weight(ann, first[l - 1] + static_cast<unsigned>(sizes[l - 1]), to,
                      -n.getThreshold());
    }
  }
  std::vector<double> in = Inputs(sizes[0]);
  network.Run(in);
  const std::vector<double> ours = network.GetOutput();
  const fann_type* theirs = fann_run(ann, in.data());
  double apart = 0.0;
  for (std::size_t i = 0; i < ours.size(); ++i)
    apart = std::max(apart, std::abs(ours[i] - theirs[i]));
  Measure(state, static_cast<std::int64_t>(fann_get_total_connections(ann)), [&] {
    benchmark::DoNotOptimize(fann_run(ann, in.data()));
    benchmark::ClobberMemory();
  });
  state.counters["max_output_diff"] = apart;
  fann_destroy(ann);
}

void Topologies(benchmark::internal::Benchmark* b) {
  b->Args({10, 20, 5})->Args({100, 200, 10})->ArgNames({"in", "hidden", "out"});
}

BENCHMARK(BM_FannRun)->Apply(Topologies);
BENCHMARK(BM_MPLRun)->Apply(Topologies);
BENCHMARK(BM_PerceptronRun)->Apply(Topologies);
BENCHMARK(BM_PlainReading)->Apply(Topologies);
BENCHMARK(BM_PerceptronRunHandedOut)->Apply(Topologies);
BENCHMARK(BM_MPLRunArbitraryLinks)->Apply(Topologies);
BENCHMARK(BM_PerceptronRunArbitraryLinks)->Apply(Topologies);
BENCHMARK(BM_PlainReadingArbitraryLinks)->Apply(Topologies);

// The console table, then each CPU time per pass as a multiple of fann_run's on the same topology
// (CPU time, and the fastest of repetitions, so that other work on the machine does not tilt the
// comparison).
class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const Run& run : runs) {
      if (run.run_type != Run::RT_Iteration || run.error_occurred) continue;
      const std::string name = run.benchmark_name();
      const std::size_t slash = name.find('/');
      // Of several repetitions the fastest: other work on the machine only ever adds time.
      auto [it, added] =
          times_[name.substr(slash)].try_emplace(name.substr(0, slash), run.GetAdjustedCPUTime());
      if (!added) it->second = std::min(it->second, run.GetAdjustedCPUTime());
    }
  }

  void Finalize() override {
    ConsoleReporter::Finalize();
    std::ostream& out = GetOutputStream();
    out << "\nCPU time per pass as a multiple of BM_FannRun's on the same topology:\n";
    for (const auto& [topology, by_name] : times_) {
      const auto fann = by_name.find("BM_FannRun");
      if (fann == by_name.end()) continue;
      for (const auto& [name, time] : by_name) {
        if (name == "BM_FannRun") continue;
        char line[160];
        std::snprintf(line, sizeof line, "  %-32s %-28s %10.3f\n", name.c_str(), topology.c_str(),
                      time / fann->second);
        out << line;
      }
    }
    out.flush();
  }

 private:
  std::map<std::string, std::map<std::string, double>> times_;
};

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  return 0;
}
