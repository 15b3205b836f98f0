// Exp and Tanh against the C runtime's exp and tanh, one value at a time and in groups, over the
// arguments a neuron's activation sees (steepness times weighted sum, mostly within +/-20).
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdint>
#include <random>
#include <vector>

#include "engine/activation_math.h"

namespace {

using mplnet::internal::Exp;
using mplnet::internal::ExpGroup;
using mplnet::internal::Tanh;
using mplnet::internal::TanhGroup;

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

template <void (*G)(const double*, double*, std::size_t)>
void BM_Group(benchmark::State& state) {
  const std::vector<double> xs = Arguments(state.range(0), static_cast<double>(state.range(1)));
  std::vector<double> out(xs.size());
  for (auto _ : state) {
    G(xs.data(), out.data(), xs.size());
    benchmark::DoNotOptimize(out.data());
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(xs.size()));
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

BENCHMARK(BM_OneByOne<Exp>)->Name("BM_Exp")->Apply(Sizes);
BENCHMARK(BM_OneByOne<RuntimeExp>)->Name("BM_RuntimeExp")->Apply(Sizes);
BENCHMARK(BM_Group<ExpGroup>)->Name("BM_ExpGroup")->Apply(Sizes);
BENCHMARK(BM_OneByOne<Tanh>)->Name("BM_Tanh")->Apply(Sizes);
BENCHMARK(BM_OneByOne<RuntimeTanh>)->Name("BM_RuntimeTanh")->Apply(Sizes);
BENCHMARK(BM_Group<TanhGroup>)->Name("BM_TanhGroup")->Apply(Sizes);

}  // namespace

BENCHMARK_MAIN();
