// Forward-pass benchmarks: the run export (MPLRun), Perceptron::Run and the plain reading of the
// network, beside FANN's fann_run (double build) on the same layer sizes, all in one program so
// that every ratio compares runs made side by side.
//
// The networks are those hosts run: activation types and steepness mixed as trained networks have
// them (a quarter of the neurons TH, the others SIGM or EXP, Alpha from 0.1 to 3), dense from layer
// to layer, and one with a tenth more links across layers; then sigmoid-only and arbitrarily linked
// networks as before. After Google Benchmark's table the program prints, per network, the fastest
// and the median CPU time per pass over the repetitions, each as a multiple of fann_run's. Every
// benchmark reports `allocs_per_pass`, the heap allocations made inside its timed loop divided by
// the passes.
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

enum class Kind {
  kMixed,       // dense; a quarter TH, the rest SIGM or EXP; Alpha from 0.1 to 3
  kMixedCross,  // kMixed, plus a tenth more links, none from the layer just before
  kSigmoid,     // dense; all SIGM with Alpha 2
  kArbitrary,   // kSigmoid, plus four links per neuron from anywhere
};

struct Network {
  const char* name;
  std::vector<int> sizes;
  Kind kind;
};

const std::vector<Network>& Networks() {
  static const std::vector<Network> networks = {
      {"10-20-5-mixed", {10, 20, 5}, Kind::kMixed},
      {"100-200-10-mixed", {100, 200, 10}, Kind::kMixed},
      {"30-60-3-mixed-cross", {30, 60, 3}, Kind::kMixedCross},
      {"10-20-5-sigmoid", {10, 20, 5}, Kind::kSigmoid},
      {"100-200-10-sigmoid", {100, 200, 10}, Kind::kSigmoid},
      {"10-20-5-arbitrary", {10, 20, 5}, Kind::kArbitrary},
      {"100-200-10-arbitrary", {100, 200, 10}, Kind::kArbitrary},
  };
  return networks;
}

bool Dense(Kind kind) {
  return kind == Kind::kMixed || kind == Kind::kSigmoid;
}

// Adds links to random neurons past the input layer until `count` new ones exist; sources come from
// any layer (`skip_previous`: any but the one just before the neuron's).
void AddLinks(Perceptron& p, const std::vector<int>& sizes, int count, bool skip_previous,
              std::mt19937& rng) {
  std::uniform_real_distribution<double> weight(-0.5, 0.5);
  const auto layers = static_cast<unsigned>(sizes.size());
  auto pick = [&rng](unsigned lo, unsigned hi) {
    return std::uniform_int_distribution<unsigned>(lo, hi)(rng);
  };
  while (count > 0) {
    const unsigned x = pick(1, layers - 1);
    const unsigned y = pick(0, static_cast<unsigned>(sizes[x] - 1));
    const unsigned from = pick(0, layers - 1);
    if (skip_previous && from + 1 == x) continue;
    const unsigned index = pick(0, static_cast<unsigned>(sizes[from] - 1));
    Neuron& n = *p.getElem(static_cast<int>(x), static_cast<int>(y))->kernel;
    if (n.Exist(static_cast<int>(from), static_cast<int>(index))) continue;
    n.Add(static_cast<int>(from), static_cast<int>(index), weight(rng));
    --count;
  }
}

// The network of `shape`, the same every time: weights and thresholds spread over [-1, 1).
Perceptron MakeNetwork(const Network& shape) {
  std::mt19937 rng(42);
  mplnet::SetRandomSource([&rng] { return std::uniform_real_distribution<double>(0.0, 1.0)(rng); });
  Perceptron p(shape.sizes);
  mplnet::SetRandomSource(nullptr);
  const bool mixed = shape.kind == Kind::kMixed || shape.kind == Kind::kMixedCross;
  std::mt19937 types(7);
  for (const std::shared_ptr<mplnet::Elem>& elem : p.GetMPL()) {
    if (elem->x == 0) continue;
    Neuron& n = *elem->kernel;
    n.setThreshold(2.0 * n.getThreshold() - 1.0);
    for (const mplnet::SynapseWeight& link : n.getSynapses()) {
      n.SetWeight(link.x, link.y, 2.0 * link.weight - 1.0);
    }
    if (!mixed) continue;
    const bool tanh = std::bernoulli_distribution(0.25)(types);
    const bool exp = std::bernoulli_distribution(0.5)(types);
    n.SetAttr(Neuron::ATTR_ATYPE, tanh ? Neuron::TH : exp ? Neuron::EXP : Neuron::SIGM);
    n.SetAttr(Neuron::ATTR_ALPHA, std::uniform_real_distribution<double>(0.1, 3.0)(types));
  }
  std::mt19937 links(11);
  int dense_links = 0;
  for (std::size_t l = 1; l < shape.sizes.size(); ++l) {
    dense_links += shape.sizes[l - 1] * shape.sizes[l];
  }
  if (shape.kind == Kind::kMixedCross) AddLinks(p, shape.sizes, dense_links / 10, true, links);
  if (shape.kind == Kind::kArbitrary) {
    int neurons = 0;
    for (std::size_t l = 1; l < shape.sizes.size(); ++l) neurons += shape.sizes[l];
    AddLinks(p, shape.sizes, 4 * neurons, false, links);
  }
  return p;
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

void BM_MPLRun(benchmark::State& state, const Network& shape) {
  Perceptron network = MakeNetwork(shape);
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

void RunPerceptron(benchmark::State& state, Perceptron& network) {
  const std::vector<double> in = Inputs(network.GetLayerSize(0));
  Measure(state, Links(network), [&] {
    network.Run(in);
    benchmark::ClobberMemory();
  });
}

void BM_PerceptronRun(benchmark::State& state, const Network& shape) {
  Perceptron network = MakeNetwork(shape);
  RunPerceptron(state, network);
}

// Every neuron's link records handed out to a caller, who may keep them: each neuron then runs on
// its own, reading its records and writing its link inputs on every pass.
void BM_PerceptronRunHandedOut(benchmark::State& state, const Network& shape) {
  Perceptron network = MakeNetwork(shape);
  for (const std::shared_ptr<mplnet::Elem>& elem : network.GetMPL()) {
    benchmark::DoNotOptimize(elem->kernel->synapse_links.begin());
  }
  RunPerceptron(state, network);
}

void BM_PlainReading(benchmark::State& state, const Network& shape) {
  const Perceptron network = MakeNetwork(shape);
  const std::vector<double> in = Inputs(network.GetLayerSize(0));
  Measure(state, Links(network), [&] {
    mplnet::testing::PlainRun(network, in);
    benchmark::ClobberMemory();
  });
}

// FANN's standard network of the same layer sizes: a bias neuron per layer stands for the
// thresholds, FANN_SIGMOID with steepness Alpha/2 computes our sigmoid types and
// FANN_SIGMOID_SYMMETRIC with steepness Alpha our TH. The weights are ours. For a dense network a
// check at the start reports how far the outputs lie apart; links beyond the dense ones FANN's
// standard network cannot hold, so it runs the dense part only.
void BM_FannRun(benchmark::State& state, const Network& shape) {
  const std::vector<int>& sizes = shape.sizes;
  Perceptron network = MakeNetwork(shape);
  std::vector<unsigned> layers(sizes.begin(), sizes.end());
  fann* ann = fann_create_standard_array(static_cast<unsigned>(layers.size()), layers.data());
  // FANN numbers neurons layer after layer, each layer's bias last.
  std::vector<unsigned> first(sizes.size());
  for (std::size_t l = 1; l < sizes.size(); ++l) first[l] = first[l - 1] + sizes[l - 1] + 1;
  for (std::size_t l = 1; l < sizes.size(); ++l) {
    for (int j = 0; j < sizes[l]; ++j) {
      const Neuron& n = *network.getElem(static_cast<int>(l), j)->kernel;
      const auto layer = static_cast<int>(l);
      const double alpha = n.GetAttr(Neuron::ATTR_ALPHA);
      if (n.GetAttr(Neuron::ATTR_ATYPE) == Neuron::TH) {
        fann_set_activation_function(ann, FANN_SIGMOID_SYMMETRIC, layer, j);
        fann_set_activation_steepness(ann, alpha, layer, j);
      } else {
        fann_set_activation_function(ann, FANN_SIGMOID, layer, j);
        fann_set_activation_steepness(ann, alpha / 2.0, layer, j);
      }
      const unsigned to = first[l] + static_cast<unsigned>(j);
      n.ForEachLink([&](int x, int y, double weight) {
        if (static_cast<std::size_t>(x) + 1 != l) return;
        fann_set_weight(ann, first[l - 1] + static_cast<unsigned>(y), to, weight);
      });
      fann_set_weight(ann, first[l - 1] + static_cast<unsigned>(sizes[l - 1]), to,
                      -n.getThreshold());
    }
  }
  std::vector<double> in = Inputs(sizes[0]);
  network.Run(in);
  const std::vector<double> ours = network.GetOutput();
  const fann_type* theirs = fann_run(ann, in.data());
  double apart = 0.0;
  for (std::size_t i = 0; i < ours.size(); ++i) {
    apart = std::max(apart, std::abs(ours[i] - theirs[i]));
  }
  Measure(state, static_cast<std::int64_t>(fann_get_total_connections(ann)), [&] {
    benchmark::DoNotOptimize(fann_run(ann, in.data()));
    benchmark::ClobberMemory();
  });
  if (Dense(shape.kind)) state.counters["max_output_diff"] = apart;
  fann_destroy(ann);
}

// The console table, then per network each benchmark's fastest and median CPU time per pass over
// the repetitions, and each as a multiple of BM_FannRun's on the same network.
class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const Run& run : runs) {
      if (run.run_type != Run::RT_Iteration || run.error_occurred) continue;
      const std::string name = run.benchmark_name();
      const std::size_t slash = name.find('/');
      times_[name.substr(slash + 1)][name.substr(0, slash)].push_back(run.GetAdjustedCPUTime());
    }
  }

  void Finalize() override {
    ConsoleReporter::Finalize();
    std::ostream& out = GetOutputStream();
    out << "\nCPU time per pass over the repetitions, fastest and median, in ns and as a multiple "
           "of BM_FannRun's on the same network:\n";
    char line[200];
    std::snprintf(line, sizeof line, "  %-22s %-26s %11s %11s %8s %8s\n", "network", "benchmark",
                  "fastest", "median", "fastest", "median");
    out << line;
    for (const Network& network : Networks()) {
      const auto by_name = times_.find(network.name);
      if (by_name == times_.end()) continue;
      const auto fann = by_name->second.find("BM_FannRun");
      for (const auto& [name, times] : by_name->second) {
        const double fastest = Fastest(times);
        const double median = Median(times);
        double fastest_ratio = NAN;
        double median_ratio = NAN;
        if (fann != by_name->second.end()) {
          fastest_ratio = fastest / Fastest(fann->second);
          median_ratio = median / Median(fann->second);
        }
        std::snprintf(line, sizeof line, "  %-22s %-26s %11.0f %11.0f %8.3f %8.3f\n", network.name,
                      name.c_str(), fastest, median, fastest_ratio, median_ratio);
        out << line;
      }
    }
    out.flush();
  }

 private:
  static double Fastest(const std::vector<double>& times) {
    return *std::min_element(times.begin(), times.end());
  }
  static double Median(std::vector<double> times) {
    std::sort(times.begin(), times.end());
    const std::size_t n = times.size();
    return n % 2 == 1 ? times[n / 2] : (times[n / 2 - 1] + times[n / 2]) / 2.0;
  }

  // network -> benchmark -> CPU time per pass of each repetition
  std::map<std::string, std::map<std::string, std::vector<double>>> times_;
};

void Register() {
  using Body = void (*)(benchmark::State&, const Network&);
  const std::pair<const char*, Body> benchmarks[] = {
      {"BM_FannRun", BM_FannRun},
      {"BM_MPLRun", BM_MPLRun},
      {"BM_PerceptronRun", BM_PerceptronRun},
      {"BM_PerceptronRunHandedOut", BM_PerceptronRunHandedOut},
      {"BM_PlainReading", BM_PlainReading},
  };
  for (const Network& network : Networks()) {
    for (const auto& [name, body] : benchmarks) {
      // Handing records out costs the same whatever the activations: measured on mixed ones.
      if (body == BM_PerceptronRunHandedOut && network.kind != Kind::kMixed) continue;
      benchmark::RegisterBenchmark((std::string(name) + "/" + network.name).c_str(), body, network);
    }
  }
}

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  Register();
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  return 0;
}
