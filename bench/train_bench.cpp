// The trainer against FANN's double build on FANN's own sixteen benchmark problems.
//
// Both libraries get the same topology (FANN's benchmark hidden sizes), the same initial weights
// (drawn here, FANN's set from ours: a FANN_SIGMOID of steepness 0.5 is our SIGM of Alpha 1, and
// FANN's bias weight is our threshold with the opposite sign) and the same algorithm (iRPROP−
// with increase 1.2, decrease 0.5, initial step 0.1, steps within [1e-6, 50]; FANN's error
// function set to linear), on one thread.
//
// FANN's RPROP is not the textbook iRPROP− our trainer runs, so the two part at the first epoch and
// the test errors compare two rules, not two roundings. Watched through FANN's API (a plain
// emulation with these rules follows its weights bit for bit for 1000 epochs on diabetes and
// parity8), FANN: grows a step when the product of the two gradients is 0, as on the first epoch
// (its first step is 0.12) and on the one after a change of sign; moves a weight up by its step
// when the gradient is 0, so after a change of sign it steps instead of resting; raises the
// previous step to at least 1e-4 before scaling it; takes the output in the sigmoid's derivative as
// at least 0.01 and at most 0.99; keeps weights within [−1500, 1500].
//
// Per problem:
//   BM_Epoch/<problem>/fann, /mplnet_1t, /mplnet_2t   the time of one epoch over the training rows
//   BM_TestError/<problem>   per seed, interleaved: FANN for E epochs, mplnet for E epochs (both
//                            timed), then mplnet with its defaults (the last fifth of the training
//                            rows validates, early stopping, standardised inputs); the counters
//                            are medians over the seeds of the test files' mean squared errors
//                            and of the times per epoch, and the peak heap of the defaults run
//                            over its data held as doubles plus the starting network.
//   BM_SparseWideMemory      the same peak heap ratio for a wide sparse network (and in MB)
// The table of all problems is printed at the end.
//
// MPLNET_FANN_DATASETS names the folder of the .train and .test files (default: where Debian's
// libfann-doc puts them); MPLNET_BENCH_SEEDS (5) and MPLNET_BENCH_EPOCHS (1000) set the run's
// length. The whole run takes long: pick problems with --benchmark_filter.
#include <benchmark/benchmark.h>
#include <doublefann.h>
#include <malloc.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <random>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "mplnet/engine.h"
#include "mplnet/train.h"

namespace mplnet::bench {
namespace {

struct Problem {
  const char* name;
  std::vector<unsigned> hidden;
  double published;  // FANN's published lowest test MSE for RPROP in a 300 s run
};

const Problem kProblems[] = {
    {"abelone", {16}, 0.005599},    {"bank32fm", {16}, 0.001801},
    {"bank32nh", {16}, 0.01496},    {"kin32fm", {16}, 0.01408},
    {"census-house", {16}, 0.0077}, {"building", {16}, 0.006306},
    {"diabetes", {4}, 0.1634},      {"gene", {4, 2}, 0.07537},
    {"mushroom", {32}, 4.63e-17},   {"parity8", {16}, 9.309e-17},
    {"parity13", {26}, 0.03921},    {"pumadyn-32fm", {10}, 0.004193},
    {"robot", {96}, 0.009034},      {"soybean", {16, 8}, 0.04382},
    {"thyroid", {16, 8}, 0.0109},   {"two-spiral", {20, 10}, 0.2036},
};

std::string DatasetsFolder() {
  const char* folder = std::getenv("MPLNET_FANN_DATASETS");
  return folder != nullptr ? folder : "/usr/share/doc/libfann-dev/examples/datasets";
}

int Setting(const char* name, int fallback) {
  const char* text = std::getenv(name);
  return text != nullptr ? std::max(1, std::atoi(text)) : fallback;
}

using FannData = std::unique_ptr<fann_train_data, decltype(&fann_destroy_train)>;
using Fann = std::unique_ptr<fann, decltype(&fann_destroy)>;

FannData ReadFann(const std::string& path) {
  FannData data(fann_read_train_from_file(path.c_str()), &fann_destroy_train);
  if (!data) throw std::runtime_error("cannot read " + path);
  return data;
}

DataTable ToTable(const fann_train_data& data) {
  DataTable table(data.num_input, data.num_output);
  std::vector<double> row(data.num_input + data.num_output);
  for (unsigned i = 0; i < data.num_data; ++i) {
    std::copy_n(data.input[i], data.num_input, row.begin());
    std::copy_n(data.output[i], data.num_output, row.begin() + data.num_input);
    table.AddRow(row);
  }
  table.ShrinkToFit();  // as ReadDataTable leaves a table
  return table;
}

// A problem's rows, read once.
struct Rows {
  FannData fann_train{nullptr, &fann_destroy_train};
  FannData fann_test{nullptr, &fann_destroy_train};
  DataTable train;
  DataTable test;
};

const Rows& RowsOf(const Problem& p) {
  static std::map<std::string, Rows> cache;
  Rows& rows = cache[p.name];
  if (!rows.fann_train) {
    const std::string stem = DatasetsFolder() + "/" + p.name;
    rows.fann_train = ReadFann(stem + ".train");
    rows.fann_test = ReadFann(stem + ".test");
    rows.train = ToTable(*rows.fann_train);
    rows.test = ToTable(*rows.fann_test);
  }
  return rows;
}

// Layer sizes, and per neuron beyond the inputs its threshold and then a weight per element of the
// layer before, drawn as FANN draws them (uniform in [-0.1, 0.1]).
struct Start {
  std::vector<unsigned> sizes;
  std::vector<std::vector<std::vector<double>>> weights;  // [layer][neuron] = threshold, links
};

Start DrawStart(const Problem& p, const DataTable& rows, unsigned seed) {
  Start s;
  s.sizes.push_back(static_cast<unsigned>(rows.inputs()));
  s.sizes.insert(s.sizes.end(), p.hidden.begin(), p.hidden.end());
  s.sizes.push_back(static_cast<unsigned>(rows.targets()));
  std::mt19937_64 random(seed);
  std::uniform_real_distribution<double> weight(-0.1, 0.1);
  s.weights.resize(s.sizes.size());
  for (std::size_t l = 1; l < s.sizes.size(); ++l) {
    s.weights[l].resize(s.sizes[l]);
    for (auto& neuron : s.weights[l]) {
      neuron.resize(1 + s.sizes[l - 1]);
      for (double& w : neuron) w = weight(random);
    }
  }
  return s;
}

Perceptron OurNetwork(const Start& s) {
  Perceptron net;
  for (unsigned j = 0; j < s.sizes[0]; ++j) {
    net.Add(0, j);
    net.AddLink(0, j, 0, 0, 1.0);
  }
  for (unsigned l = 1; l < s.sizes.size(); ++l) {
    for (unsigned j = 0; j < s.sizes[l]; ++j) {
      net.Add(l, j);
      net.SetAttr(l, j, Neuron::ATTR_NTYPE,
                  l + 1 == s.sizes.size() ? Neuron::NOutput : Neuron::NHiden);
      net.SetAttr(l, j, Neuron::ATTR_ATYPE, Neuron::SIGM);
      net.SetAttr(l, j, Neuron::ATTR_ALPHA, 1.0);
      const std::vector<double>& w = s.weights[l][j];
      net.setThreshold(l, j, w[0]);
      for (unsigned k = 0; k < s.sizes[l - 1]; ++k) net.AddLink(l, j, l - 1, k, w[1 + k]);
    }
  }
  return net;
}

Fann FannNetwork(const Start& s) {
  Fann ann(fann_create_standard_array(static_cast<unsigned>(s.sizes.size()), s.sizes.data()),
           &fann_destroy);
  fann_set_activation_function_hidden(ann.get(), FANN_SIGMOID);
  fann_set_activation_function_output(ann.get(), FANN_SIGMOID);
  fann_set_activation_steepness_hidden(ann.get(), 0.5);
  fann_set_activation_steepness_output(ann.get(), 0.5);
  fann_set_training_algorithm(ann.get(), FANN_TRAIN_RPROP);
  fann_set_train_error_function(ann.get(), FANN_ERRORFUNC_LINEAR);
  fann_set_rprop_increase_factor(ann.get(), 1.2F);
  fann_set_rprop_decrease_factor(ann.get(), 0.5F);
  fann_set_rprop_delta_zero(ann.get(), 0.1F);
  fann_set_rprop_delta_min(ann.get(), 1e-6F);
  fann_set_rprop_delta_max(ann.get(), 50.0F);
  // FANN numbers its neurons layer by layer, each layer ending with its bias neuron.
  std::vector<unsigned> first(s.sizes.size());
  for (std::size_t l = 1; l < s.sizes.size(); ++l) first[l] = first[l - 1] + s.sizes[l - 1] + 1;
  auto layer_of = [&](unsigned neuron) {
    return static_cast<std::size_t>(std::upper_bound(first.begin(), first.end(), neuron) -
                                    first.begin() - 1);
  };
  std::vector<fann_connection> links(fann_get_total_connections(ann.get()));
  fann_get_connection_array(ann.get(), links.data());
  for (fann_connection& c : links) {
    const std::size_t to_layer = layer_of(c.to_neuron);
    const std::vector<double>& w = s.weights[to_layer][c.to_neuron - first[to_layer]];
    const unsigned from = c.from_neuron - first[to_layer - 1];
    c.weight = from == s.sizes[to_layer - 1] ? -w[0] : w[1 + from];
  }
  fann_set_weight_array(ann.get(), links.data(), static_cast<unsigned>(links.size()));
  // The comparison means nothing unless both start from the very same weights.
  std::vector<fann_connection> kept(links.size());
  fann_get_connection_array(ann.get(), kept.data());
  for (std::size_t i = 0; i < links.size(); ++i) {
    if (kept[i].weight != links[i].weight) throw std::runtime_error("FANN did not take the start");
  }
  return ann;
}

// Our settings for the comparison from the same start: iRPROP− with FANN's constants as FANN keeps
// them (as floats: its increase is 1.2000000476837158, not 1.2), raw inputs.
TrainSettings SameAs(fann* ann, unsigned threads) {
  TrainSettings s;
  s.rprop_increase = fann_get_rprop_increase_factor(ann);
  s.rprop_decrease = fann_get_rprop_decrease_factor(ann);
  s.rprop_initial_step = fann_get_rprop_delta_zero(ann);
  s.rprop_min_step = fann_get_rprop_delta_min(ann);
  s.rprop_max_step = fann_get_rprop_delta_max(ann);
  s.standardize = false;
  s.threads = threads;
  return s;
}

double Seconds(std::chrono::steady_clock::time_point since) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

// Bytes the heap holds now.
double HeapBytes() {
  const struct mallinfo2 info = mallinfo2();
  return static_cast<double>(info.uordblks + info.hblkhd);
}

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  const std::size_t n = v.size();
  return n % 2 == 1 ? v[n / 2] : 0.5 * (v[n / 2 - 1] + v[n / 2]);
}

// What the table shows per problem.
struct Line {
  double fann_ms = 0, ours_ms = 0, ours_2t_ms = 0;
  double fann_mse = 0, ours_mse = 0, defaults_mse = 0, defaults_epochs = 0, memory = 0;
  double published = 0;
  int seeds = 0, epochs = 0;
};
std::map<std::string, Line>& Table() {
  static std::map<std::string, Line> table;
  return table;
}

enum class Peer { kFann, kOurs1, kOurs2 };

void BM_Epoch(benchmark::State& state, const Problem* p, Peer peer) {
  const Rows& rows = RowsOf(*p);
  const Start start = DrawStart(*p, rows.train, 1);
  Fann ann = FannNetwork(start);
  if (peer == Peer::kFann) {
    for (auto _ : state) {
      benchmark::DoNotOptimize(fann_train_epoch(ann.get(), rows.fann_train.get()));
    }
  } else {
    Trainer trainer(OurNetwork(start), rows.train, SameAs(ann.get(), peer == Peer::kOurs1 ? 1 : 2));
    for (auto _ : state) benchmark::DoNotOptimize(trainer.RunEpoch());
    state.counters["threads"] = trainer.threads();
  }
  state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(rows.train.rows()));
}

void BM_TestError(benchmark::State& state, const Problem* p) {
  const Rows& rows = RowsOf(*p);
  const int seeds = Setting("MPLNET_BENCH_SEEDS", 5);
  const int epochs = Setting("MPLNET_BENCH_EPOCHS", 1000);
  std::vector<double> fann_mse, ours_mse, defaults_mse, defaults_epochs, fann_ms, ours_ms, memory;
  for (auto _ : state) {
    for (int seed = 1; seed <= seeds; ++seed) {
      const Start start = DrawStart(*p, rows.train, static_cast<unsigned>(seed));

      Fann ann = FannNetwork(start);
      auto began = std::chrono::steady_clock::now();
      for (int e = 0; e < epochs; ++e) fann_train_epoch(ann.get(), rows.fann_train.get());
      fann_ms.push_back(1e3 * Seconds(began) / epochs);
      fann_reset_MSE(ann.get());
      fann_mse.push_back(fann_test_data(ann.get(), rows.fann_test.get()));

      Trainer trainer(OurNetwork(start), rows.train, SameAs(ann.get(), 1));
      began = std::chrono::steady_clock::now();
      for (int e = 0; e < epochs; ++e) trainer.RunEpoch();
      ours_ms.push_back(1e3 * Seconds(began) / epochs);
      Perceptron trained = trainer.Network();
      ours_mse.push_back(Evaluate(trained, rows.test).mse);

      // The defaults, as `mplnet train` runs them: the table, its two slices, the trainer.
      const double heap = HeapBytes();
      Perceptron net = OurNetwork(start);
      const double network = HeapBytes() - heap;
      double peak = 0;
      auto sample = [&] { peak = std::max(peak, HeapBytes() - heap); };
      // A table of its own, as reading the file makes it (a copy would share the cached rows).
      auto all = std::make_unique<DataTable>(ToTable(*rows.fann_train));
      const double data = static_cast<double>(all->rows() * (all->inputs() + all->targets())) * 8;
      const std::size_t held = all->rows() / 5;
      const DataTable fit = all->Slice(0, all->rows() - held);
      const DataTable check = all->Slice(all->rows() - held, held);
      sample();
      all.reset();
      TrainSettings defaults;
      defaults.threads = 0;
      Trainer best(net, fit, defaults);
      sample();
      StopRules rules;
      rules.max_epochs = static_cast<std::size_t>(epochs);
      const TrainOutcome outcome = Train(best, &check, rules, [&](const EpochProgress&) {
        sample();
        return true;
      });
      Perceptron kept = best.Network();
      sample();
      memory.push_back(peak / (data + network));
      defaults_mse.push_back(Evaluate(kept, rows.test).mse);
      defaults_epochs.push_back(static_cast<double>(outcome.epochs));
    }
  }
  Line& line = Table()[p->name];
  line.fann_mse = Median(fann_mse);
  line.ours_mse = Median(ours_mse);
  line.defaults_mse = Median(defaults_mse);
  line.defaults_epochs = Median(defaults_epochs);
  line.fann_ms = Median(fann_ms);
  line.ours_ms = Median(ours_ms);
  line.memory = *std::max_element(memory.begin(), memory.end());
  line.published = p->published;
  line.seeds = seeds;
  line.epochs = epochs;
  state.counters["fann_test_mse"] = line.fann_mse;
  state.counters["mplnet_test_mse"] = line.ours_mse;
  state.counters["defaults_test_mse"] = line.defaults_mse;
  state.counters["fann_ms_per_epoch"] = line.fann_ms;
  state.counters["mplnet_ms_per_epoch"] = line.ours_ms;
  state.counters["peak_memory_ratio"] = line.memory;
}

// A wide sparse network: 3000 inputs, 3000 hidden neurons each reading one input, one output
// reading them all (6000 links), trained with the defaults on 40 rows as BM_TestError's defaults
// run is. Its peak heap should follow the links and rows × neurons, not the layer widths squared.
constexpr int kWideWidth = 3000;
constexpr int kWideRows = 40;
struct WideLine {
  double peak_bytes = 0;
  double ratio = 0;
};
WideLine& Wide() {
  static WideLine line;
  return line;
}

void BM_SparseWideMemory(benchmark::State& state) {
  std::mt19937 random(1);
  std::uniform_real_distribution<double> draw(-0.5, 0.5);
  for (auto _ : state) {
    const double heap = HeapBytes();
    Perceptron net;
    for (int j = 0; j < kWideWidth; ++j) {
      net.Add(0, j);
      net.AddLink(0, j, 0, 0, 1.0);
    }
    for (int j = 0; j < kWideWidth; ++j) {
      net.Add(1, j);
      net.SetAttr(1, j, Neuron::ATTR_NTYPE, Neuron::NHiden);
      net.SetAttr(1, j, Neuron::ATTR_ATYPE, Neuron::SIGM);
      net.AddLink(1, j, 0, j, draw(random));
    }
    net.Add(2, 0);
    net.SetAttr(2, 0, Neuron::ATTR_NTYPE, Neuron::NOutput);
    net.SetAttr(2, 0, Neuron::ATTR_ATYPE, Neuron::SIGM);
    for (int j = 0; j < kWideWidth; ++j) net.AddLink(2, 0, 1, j, draw(random) / kWideWidth);
    const double network = HeapBytes() - heap;
    double peak = 0;
    auto sample = [&] { peak = std::max(peak, HeapBytes() - heap); };
    auto all = std::make_unique<DataTable>(kWideWidth, 1);
    std::vector<double> row(kWideWidth + 1);
    for (int i = 0; i < kWideRows; ++i) {
      for (double& v : row) v = draw(random) + 0.5;
      all->AddRow(row);
    }
    const double data = static_cast<double>(kWideRows) * (kWideWidth + 1) * 8;
    const std::size_t held = all->rows() / 5;
    const DataTable fit = all->Slice(0, all->rows() - held);
    const DataTable check = all->Slice(all->rows() - held, held);
    all.reset();
    TrainSettings defaults;
    defaults.threads = 0;
    Trainer trainer(net, fit, defaults);
    sample();
    StopRules rules;
    rules.max_epochs = 20;
    Train(trainer, &check, rules, [&](const EpochProgress&) {
      sample();
      return true;
    });
    const Perceptron kept = trainer.Network();
    sample();
    Wide() = {peak, peak / (data + network)};
  }
  state.counters["peak_memory_mb"] = Wide().peak_bytes / 1e6;
  state.counters["peak_memory_ratio"] = Wide().ratio;
}

// Keeps the two-thread epoch times for the table as well.
class TableReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& run : runs) {
      const std::string name = run.benchmark_name();
      for (const Problem& p : kProblems) {
        const std::string stem = std::string("BM_Epoch/") + p.name + "/";
        if (name.rfind(stem, 0) != 0) continue;
        const double ms =
            run.GetAdjustedRealTime() * (run.time_unit == benchmark::kMillisecond ? 1.0 : 1e-3);
        const std::string peer = name.substr(stem.size());
        Line& line = Table()[p.name];
        if (peer.rfind("fann", 0) == 0) epoch_fann_[p.name] = ms;
        if (peer.rfind("mplnet_1t", 0) == 0) epoch_ours_[p.name] = ms;
        if (peer.rfind("mplnet_2t", 0) == 0) line.ours_2t_ms = ms;
      }
    }
    ConsoleReporter::ReportRuns(runs);
  }

  void PrintTable() const {
    std::printf(
        "\n| problem | FANN ms/epoch | mplnet ms/epoch (ratio) | 2 threads (ratio) | FANN test MSE "
        "| mplnet test MSE (ratio) | defaults test MSE | defaults epochs | FANN published | "
        "peak memory |\n|---|---|---|---|---|---|---|---|---|---|\n");
    for (const Problem& p : kProblems) {
      const auto found = Table().find(p.name);
      if (found == Table().end()) continue;
      const Line& l = found->second;
      const double fann_ms = Lookup(epoch_fann_, p.name, l.fann_ms);
      const double ours_ms = Lookup(epoch_ours_, p.name, l.ours_ms);
      std::printf(
          "| %s | %.3f | %.3f (%.2f) | %.3f (%.2f) | %.4g | %.4g (%.2f) | %.4g | %.0f | %.4g | "
          "%.2f |\n",
          p.name, fann_ms, ours_ms, ours_ms / fann_ms, l.ours_2t_ms, l.ours_2t_ms / fann_ms,
          l.fann_mse, l.ours_mse, l.ours_mse / l.fann_mse, l.defaults_mse, l.defaults_epochs,
          p.published, l.memory);
    }
    if (Wide().peak_bytes > 0) {
      std::printf("\nsparse wide %d-%d-1 network (%d links), %d rows: peak memory %.2f (%.1f MB)\n",
                  kWideWidth, kWideWidth, 2 * kWideWidth, kWideRows, Wide().ratio,
                  Wide().peak_bytes / 1e6);
    }
  }

 private:
  static double Lookup(const std::map<std::string, double>& m, const std::string& key,
                       double fallback) {
    const auto found = m.find(key);
    return found != m.end() ? found->second : fallback;
  }
  std::map<std::string, double> epoch_fann_;
  std::map<std::string, double> epoch_ours_;
};

void RegisterAll() {
  for (const Problem& p : kProblems) {
    const std::string stem = std::string("BM_Epoch/") + p.name;
    for (const auto& [peer, suffix] :
         {std::pair{Peer::kFann, "/fann"}, std::pair{Peer::kOurs1, "/mplnet_1t"},
          std::pair{Peer::kOurs2, "/mplnet_2t"}}) {
      benchmark::RegisterBenchmark((stem + suffix).c_str(), BM_Epoch, &p, peer)
          ->Unit(benchmark::kMillisecond)
          ->UseRealTime();
    }
    benchmark::RegisterBenchmark((std::string("BM_TestError/") + p.name).c_str(), BM_TestError, &p)
        ->Unit(benchmark::kSecond)
        ->Iterations(1);
  }
  benchmark::RegisterBenchmark("BM_SparseWideMemory", BM_SparseWideMemory)
      ->Unit(benchmark::kSecond)
      ->Iterations(1);
}

}  // namespace
}  // namespace mplnet::bench

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  mplnet::bench::RegisterAll();
  mplnet::bench::TableReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  reporter.PrintTable();
  benchmark::Shutdown();
  return 0;
}
