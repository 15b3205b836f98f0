// Exp and Tanh against the C runtime's exp and tanh, one value at a time, and the forward pass's
// vector activations of every kernel set, over the arguments a neuron's activation sees (steepness
// times weighted sum, mostly within +/-20).
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdint>
#include <random>
#include <vector>

#include "engine/activation_math.h"
#include "engine/kernels.h"

namespace {

using mplnet::internal::Exp;
using mplnet::internal::Tanh;

std::vector<double> Arguments(std::size_t n, double limit) {
  std::mt19937_64 engine(42);
  std::uniform_real_distribution<double> uniform(-limit, limit);
  std::vector<double> xs(n);
  for (double& x : xs) x = uniform(engine);
  return xs;
}

// Range(0) is the number of arguments, Range(1) their limit in magnitude.
template <double (*F)(double)>
void BM_OneByOne(benchmark::State& state) {
  const std::vector<double> xs = Arguments(state.range(0), static_cast<double>(state.range(1)));
  for (auto _ : state) {
    for (double x : xs) benchmark::DoNotOptimize(F(x));
  }
  state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(xs.size()));
}

// Activations of Range(0) neurons with sums within +/-Range(1) (thresholds 0, steepness 1), all TH
// or all sigmoid, by the kernel set AvailableKernels()[Range(2)].
template <bool kTanh>
void BM_Activate(benchmark::State& state) {
  const std::vector<const mplnet::internal::Kernels*> sets = mplnet::internal::AvailableKernels();
  if (static_cast<std::size_t>(state.range(2)) >= sets.size()) {
    state.SkipWithError("this CPU lacks the kernel set");
    return;
  }
  const mplnet::internal::Kernels& kernels = *sets[state.range(2)];
  state.SetLabel(kernels.name);
  const std::vector<double> sums = Arguments(state.range(0), static_cast<double>(state.range(1)));
  const std::vector<double> thresholds(sums.size(), 0.0);
  const std::vector<double> alphas(sums.size(), 1.0);
  std::vector<double> s(sums.size());
  std::vector<double> out(sums.size());
  for (auto _ : state) {
    kernels.activate(sums.data(), thresholds.data(), alphas.data(), kTanh ? sums.size() : 0,
                     sums.size(), s.data(), out.data());
    benchmark::DoNotOptimize(out.data());
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(sums.size()));
}

double RuntimeExp(double x) {
  return std::exp(x);
}
double RuntimeTanh(double x) {
  return std::tanh(x);
}

void Sizes(benchmark::internal::Benchmark* b) {
  for (int limit : {1, 20}) b->Args({1024, limit});
}

void SizesAndKernels(benchmark::internal::Benchmark* b) {
  for (int limit : {1, 20}) {
    for (int set : {0, 1}) b->Args({1024, limit, set});
  }
}

BENCHMARK(BM_OneByOne<Exp>)->Name("BM_Exp")->Apply(Sizes);
BENCHMARK(BM_OneByOne<RuntimeExp>)->Name("BM_RuntimeExp")->Apply(Sizes);
BENCHMARK(BM_Activate<false>)->Name("BM_ActivateSigmoid")->Apply(SizesAndKernels);
BENCHMARK(BM_OneByOne<Tanh>)->Name("BM_Tanh")->Apply(Sizes);
BENCHMARK(BM_OneByOne<RuntimeTanh>)->Name("BM_RuntimeTanh")->Apply(Sizes);
BENCHMARK(BM_Activate<true>)->Name("BM_ActivateTanh")->Apply(SizesAndKernels);

}  // namespace

BENCHMARK_MAIN();
