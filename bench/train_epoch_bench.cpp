// Time per training epoch of the trainer, over the typical sizes of FANN's benchmark problems.
//
// Each benchmark builds a dense layered network (sigmoid units of steepness 1, weights drawn from a
// fixed seed) and a table of random rows, then times RunEpoch() alone: one pass of the algorithm
// over every row, single-threaded or shared by two threads. Arguments: inputs, hidden, outputs,
// rows, threads. items_per_second counts rows.
#include <benchmark/benchmark.h>

#include <random>
#include <vector>

#include "mplnet/engine.h"
#include "mplnet/train.h"

namespace mplnet::bench {
namespace {

Perceptron DenseNetwork(const std::vector<int>& sizes, unsigned seed) {
  std::mt19937 random(seed);
  std::uniform_real_distribution<double> weight(-0.1, 0.1);
  Perceptron net;
  for (int j = 0; j < sizes[0]; ++j) {
    net.Add(0, j);
    net.AddLink(0, j, 0, 0, 1.0);
  }
  for (unsigned i = 1; i < sizes.size(); ++i) {
    for (int j = 0; j < sizes[i]; ++j) {
      net.Add(i, j);
      net.SetAttr(i, j, Neuron::ATTR_NTYPE,
                  i + 1 == sizes.size() ? Neuron::NOutput : Neuron::NHiden);
      net.SetAttr(i, j, Neuron::ATTR_ATYPE, Neuron::SIGM);
      net.SetAttr(i, j, Neuron::ATTR_ALPHA, 1.0);
      net.setThreshold(i, j, weight(random));
      for (int k = 0; k < sizes[i - 1]; ++k) net.AddLink(i, j, i - 1, k, weight(random));
    }
  }
  return net;
}

DataTable RandomRows(int inputs, int outputs, int rows, unsigned seed) {
  std::mt19937 random(seed);
  std::uniform_real_distribution<double> value(0.0, 1.0);
  DataTable table(inputs, outputs);
  std::vector<double> row(inputs + outputs);
  for (int i = 0; i < rows; ++i) {
    for (double& v : row) v = value(random);
    table.AddRow(row);
  }
  return table;
}

void Epochs(benchmark::State& state, Algorithm algorithm) {
  const auto inputs = static_cast<int>(state.range(0));
  const auto hidden = static_cast<int>(state.range(1));
  const auto outputs = static_cast<int>(state.range(2));
  const auto rows = static_cast<int>(state.range(3));
  std::vector<int> sizes = {inputs, hidden};
  if (state.range(5) > 0) sizes.push_back(static_cast<int>(state.range(5)));
  sizes.push_back(outputs);
  const Perceptron net = DenseNetwork(sizes, 1);
  const DataTable table = RandomRows(inputs, outputs, rows, 2);
  TrainSettings settings;
  settings.algorithm = algorithm;
  settings.threads = static_cast<unsigned>(state.range(4));
  settings.standardize = false;
  Trainer trainer(net, table, settings);
  trainer.RunEpoch();  // first touch of every buffer
  for (auto _ : state) benchmark::DoNotOptimize(trainer.RunEpoch());
  state.SetItemsProcessed(state.iterations() * rows);
  state.counters["threads"] = trainer.threads();
}

void BM_RpropEpoch(benchmark::State& state) {
  Epochs(state, Algorithm::kRprop);
}
void BM_AdamEpoch(benchmark::State& state) {
  Epochs(state, Algorithm::kAdam);
}

// inputs, hidden, outputs, rows, threads, second hidden layer (0: none)
void Sizes(benchmark::internal::Benchmark* b) {
  for (const int threads : {1, 2}) {
    b->Args({10, 16, 1, 4000, threads, 0});
    b->Args({32, 16, 1, 4000, threads, 0});
    b->Args({125, 32, 2, 4000, threads, 0});
    b->Args({48, 96, 3, 4000, threads, 0});
    b->Args({2, 20, 1, 4000, threads, 10});
    b->Args({10, 16, 1, 20000, threads, 0});
  }
  b->ArgNames({"in", "hid", "out", "rows", "threads", "hid2"});
  b->Unit(benchmark::kMicrosecond);
}

BENCHMARK(BM_RpropEpoch)->Apply(Sizes)->UseRealTime();
BENCHMARK(BM_AdamEpoch)
    ->Args({10, 16, 1, 4000, 1, 0})
    ->Args({125, 32, 2, 4000, 1, 0})
    ->ArgNames({"in", "hid", "out", "rows", "threads", "hid2"})
    ->Unit(benchmark::kMicrosecond);

}  // namespace
}  // namespace mplnet::bench
