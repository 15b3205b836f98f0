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
//                            timed), then mplnet with its defaults (TrainOnEveryRow, as `mplnet
//                            train` runs it), timed whole; the counters are medians over the
//                            seeds of the test files' mean squared errors, of the times per epoch
//                            and of the defaults' time over FANN's, and the peak heap of the
//                            defaults run over its data held as doubles plus the starting network.
//   BM_SmallTable/<table>    small public classification tables (scikit-learn's CSV files, rows
//                            shuffled by a fixed draw, two thirds train): per seed FANN's RPROP for
//                            E epochs on every training row (inputs scaled to [0, 1]), then the
//                            defaults on the raw rows; test MSE and accuracy, medians.
//   BM_SparseWideMemory      the same peak heap ratio for a wide sparse network (and in MB)
// The table of all problems is printed at the end.
//
// MPLNET_FANN_DATASETS names the folder of the .train and .test files (default: where Debian's
// libfann-doc puts them), MPLNET_SMALL_TABLES that of the small tables (python3-sklearn's);
// MPLNET_BENCH_SEEDS (5) and MPLNET_BENCH_EPOCHS (1000) set the run's length. The whole run takes
// long: pick problems with --benchmark_filter.
#include <benchmark/benchmark.h>
#include <doublefann.h>
#include <malloc.h>

#include <algorithm>
#include <chrono>
#include <cmath>
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

// The defaults' run: the network `mplnet train` saves with no option, and what it did.
struct DefaultsRun {
  std::unique_ptr<Perceptron> network;
  EveryRowOutcome outcome;
  double data_bytes = 0;  // the table's rows held as doubles
};

// Runs the defaults on `rows`, calling `sample` when the heap may be at its peak: once the table
// is held, after every epoch, and once the network is built.
template <typename Sample>
DefaultsRun RunDefaults(const Perceptron& start, DataTable rows, const Sample& sample) {
  DefaultsRun run;
  run.data_bytes = static_cast<double>(rows.rows() * (rows.inputs() + rows.targets())) * 8;
  sample();
  TrainSettings settings;
  settings.threads = 0;  // as the tool's default
  run.network = std::make_unique<Perceptron>(TrainOnEveryRow(
      start, rows, settings, EveryRowRules{},
      [&](const EpochProgress&) {
        sample();
        return true;
      },
      &run.outcome));
  sample();
  return run;
}

// What the table shows per problem.
struct Line {
  double fann_ms = 0, ours_ms = 0, ours_2t_ms = 0;
  double fann_mse = 0, ours_mse = 0, defaults_mse = 0, defaults_epochs = 0, refit_epochs = 0;
  double defaults_time = 0, memory = 0;
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
  std::vector<double> fann_mse, ours_mse, defaults_mse, defaults_epochs, refit_epochs,
      defaults_time, fann_ms, ours_ms, memory;
  for (auto _ : state) {
    for (int seed = 1; seed <= seeds; ++seed) {
      const Start start = DrawStart(*p, rows.train, static_cast<unsigned>(seed));

      Fann ann = FannNetwork(start);
      auto began = std::chrono::steady_clock::now();
      for (int e = 0; e < epochs; ++e) fann_train_epoch(ann.get(), rows.fann_train.get());
      const double fann_seconds = Seconds(began);
      fann_ms.push_back(1e3 * fann_seconds / epochs);
      fann_reset_MSE(ann.get());
      fann_mse.push_back(fann_test_data(ann.get(), rows.fann_test.get()));

      Trainer trainer(OurNetwork(start), rows.train, SameAs(ann.get(), 1));
      began = std::chrono::steady_clock::now();
      for (int e = 0; e < epochs; ++e) trainer.RunEpoch();
      ours_ms.push_back(1e3 * Seconds(began) / epochs);
      Perceptron trained = trainer.Network();
      ours_mse.push_back(Evaluate(trained, rows.test).mse);

      // The defaults, as `mplnet train` runs them on a table read from its file.
      const double heap = HeapBytes();
      Perceptron net = OurNetwork(start);
      const double network = HeapBytes() - heap;
      double peak = 0;
      auto sample = [&] { peak = std::max(peak, HeapBytes() - heap); };
      // A table of its own, as reading the file makes it (a copy would share the cached rows).
      DataTable table = ToTable(*rows.fann_train);
      began = std::chrono::steady_clock::now();
      const DefaultsRun run = RunDefaults(net, std::move(table), sample);
      defaults_time.push_back(Seconds(began) / fann_seconds);
      memory.push_back(peak / (run.data_bytes + network));
      defaults_mse.push_back(Evaluate(*run.network, rows.test).mse);
      defaults_epochs.push_back(static_cast<double>(run.outcome.decided.best_epoch));
      refit_epochs.push_back(static_cast<double>(run.outcome.refit.epochs));
    }
  }
  Line& line = Table()[p->name];
  line.fann_mse = Median(fann_mse);
  line.ours_mse = Median(ours_mse);
  line.defaults_mse = Median(defaults_mse);
  line.defaults_epochs = Median(defaults_epochs);
  line.refit_epochs = Median(refit_epochs);
  line.defaults_time = Median(defaults_time);
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
  state.counters["defaults_time_ratio"] = line.defaults_time;
}

// A small public classification table with a fixed split.
struct SmallTable {
  const char* name;
  const char* file;  // in the folder MPLNET_SMALL_TABLES names
  unsigned outputs;  // 1: the class itself (two classes); else one output per class
  std::vector<unsigned> hidden;
};

const SmallTable kSmallTables[] = {
    {"iris", "iris.csv", 3, {8}},
    {"wine", "wine_data.csv", 3, {8}},
    {"breast-cancer", "breast_cancer.csv", 1, {16}},
};

std::string SmallTablesFolder() {
  const char* folder = std::getenv("MPLNET_SMALL_TABLES");
  return folder != nullptr ? folder : "/usr/lib/python3/dist-packages/sklearn/datasets/data";
}

// The rows of a table as scikit-learn keeps them: a first line "rows,inputs,class names…", then
// per line the inputs and the class number, separated by commas. The rows come shuffled by a fixed
// draw (the files list them class by class); the first two thirds train, the rest test.
std::pair<DataTable, DataTable> ReadSmallTable(const SmallTable& t) {
  const std::string path = SmallTablesFolder() + "/" + t.file;
  std::FILE* file = std::fopen(path.c_str(), "r");
  if (file == nullptr) throw std::runtime_error("cannot read " + path);
  std::vector<std::vector<double>> rows;
  std::size_t inputs = 0;
  std::string line;
  for (int c = std::fgetc(file); c != EOF; c = std::fgetc(file)) {
    if (c != '\n') {
      line += static_cast<char>(c);
      continue;
    }
    std::vector<double> values;
    for (std::size_t at = 0; at < line.size();) {
      std::size_t comma = line.find(',', at);
      if (comma == std::string::npos) comma = line.size();
      values.push_back(std::strtod(line.substr(at, comma - at).c_str(), nullptr));
      at = comma + 1;
    }
    if (inputs == 0) {
      inputs = static_cast<std::size_t>(values.at(1));
    } else if (!values.empty()) {
      if (values.size() != inputs + 1) throw std::runtime_error("bad line in " + path);
      rows.push_back(values);
    }
    line.clear();
  }
  std::fclose(file);
  std::mt19937_64 draw(20);
  for (std::size_t i = rows.size() - 1; i > 0; --i) std::swap(rows[i], rows[draw() % (i + 1)]);
  const std::size_t training = rows.size() * 2 / 3;
  std::pair<DataTable, DataTable> split{DataTable(inputs, t.outputs), DataTable(inputs, t.outputs)};
  for (std::size_t i = 0; i < rows.size(); ++i) {
    std::vector<double> row(rows[i].begin(), rows[i].begin() + static_cast<std::ptrdiff_t>(inputs));
    const auto label = static_cast<unsigned>(rows[i][inputs]);
    for (unsigned k = 0; k < t.outputs; ++k) {
      row.push_back(t.outputs == 1 ? label : (k == label ? 1.0 : 0.0));
    }
    (i < training ? split.first : split.second).AddRow(row);
  }
  return split;
}

// `rows` for FANN, each input scaled to [0, 1] by its least and greatest value over `training`.
FannData ScaledForFann(const DataTable& rows, const DataTable& training) {
  std::vector<double> low(rows.inputs(), HUGE_VAL), high(rows.inputs(), -HUGE_VAL);
  for (std::size_t i = 0; i < training.rows(); ++i) {
    for (std::size_t j = 0; j < rows.inputs(); ++j) {
      low[j] = std::min(low[j], training.row(i)[j]);
      high[j] = std::max(high[j], training.row(i)[j]);
    }
  }
  FannData data(
      fann_create_train(static_cast<unsigned>(rows.rows()), static_cast<unsigned>(rows.inputs()),
                        static_cast<unsigned>(rows.targets())),
      &fann_destroy_train);
  for (std::size_t i = 0; i < rows.rows(); ++i) {
    for (std::size_t j = 0; j < rows.inputs(); ++j) {
      const double span = high[j] - low[j];
      data->input[i][j] = span > 0 ? (rows.row(i)[j] - low[j]) / span : 0.0;
    }
    for (std::size_t k = 0; k < rows.targets(); ++k) {
      data->output[i][k] = rows.row(i)[rows.inputs() + k];
    }
  }
  return data;
}

// The share of `data`'s rows whose every output FANN computes lies on its target's side of 0.5.
double FannAccuracy(fann* ann, const fann_train_data& data) {
  std::size_t right = 0;
  for (unsigned i = 0; i < data.num_data; ++i) {
    const fann_type* out = fann_run(ann, data.input[i]);
    bool all = true;
    for (unsigned k = 0; k < data.num_output; ++k) {
      all = all && (out[k] > 0.5) == (data.output[i][k] > 0.5);
    }
    right += all ? 1 : 0;
  }
  return static_cast<double>(right) / data.num_data;
}

struct SmallLine {
  std::size_t training = 0, test = 0;
  double fann_mse = 0, fann_accuracy = 0, defaults_mse = 0, defaults_accuracy = 0;
  double defaults_epochs = 0, defaults_time = 0;
};
std::map<std::string, SmallLine>& SmallResults() {
  static std::map<std::string, SmallLine> results;
  return results;
}

// Per seed: FANN's RPROP for E epochs on every training row (inputs scaled to [0, 1]), then the
// defaults from the same start on the raw rows; medians over the seeds of the test errors.
void BM_SmallTable(benchmark::State& state, const SmallTable* t) {
  const auto [training, test] = ReadSmallTable(*t);
  const FannData fann_training = ScaledForFann(training, training);
  const FannData fann_test = ScaledForFann(test, training);
  const Problem shape{t->name, t->hidden, 0};
  const int seeds = Setting("MPLNET_BENCH_SEEDS", 5);
  const int epochs = Setting("MPLNET_BENCH_EPOCHS", 1000);
  std::vector<double> fann_mse, fann_accuracy, defaults_mse, defaults_accuracy, defaults_epochs,
      defaults_time;
  for (auto _ : state) {
    for (int seed = 1; seed <= seeds; ++seed) {
      const Start start = DrawStart(shape, training, static_cast<unsigned>(seed));
      Fann ann = FannNetwork(start);
      auto began = std::chrono::steady_clock::now();
      for (int e = 0; e < epochs; ++e) fann_train_epoch(ann.get(), fann_training.get());
      const double fann_seconds = Seconds(began);
      fann_reset_MSE(ann.get());
      fann_mse.push_back(fann_test_data(ann.get(), fann_test.get()));
      fann_accuracy.push_back(FannAccuracy(ann.get(), *fann_test));

      began = std::chrono::steady_clock::now();
      const DefaultsRun run = RunDefaults(OurNetwork(start), training, [] {});
      defaults_time.push_back(Seconds(began) / fann_seconds);
      const Errors errors = Evaluate(*run.network, test);
      defaults_mse.push_back(errors.mse);
      defaults_accuracy.push_back(errors.accuracy.value_or(0.0));
      defaults_epochs.push_back(static_cast<double>(run.outcome.decided.best_epoch));
    }
  }
  SmallLine& line = SmallResults()[t->name];
  line.training = training.rows();
  line.test = test.rows();
  line.fann_mse = Median(fann_mse);
  line.fann_accuracy = Median(fann_accuracy);
  line.defaults_mse = Median(defaults_mse);
  line.defaults_accuracy = Median(defaults_accuracy);
  line.defaults_epochs = Median(defaults_epochs);
  line.defaults_time = Median(defaults_time);
  state.counters["fann_test_mse"] = line.fann_mse;
  state.counters["defaults_test_mse"] = line.defaults_mse;
  state.counters["fann_accuracy"] = line.fann_accuracy;
  state.counters["defaults_accuracy"] = line.defaults_accuracy;
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
        "| mplnet test MSE (ratio) | defaults test MSE (ratio) | defaults epochs | defaults time "
        "| FANN published | peak memory |\n|---|---|---|---|---|---|---|---|---|---|---|\n");
    int shown = 0, at_most_fann = 0, at_most_published = 0, in_time = 0;
    for (const Problem& p : kProblems) {
      const auto found = Table().find(p.name);
      if (found == Table().end()) continue;
      const Line& l = found->second;
      const double fann_ms = Lookup(epoch_fann_, p.name, l.fann_ms);
      const double ours_ms = Lookup(epoch_ours_, p.name, l.ours_ms);
      std::printf(
          "| %s | %.3f | %.3f (%.2f) | %.3f (%.2f) | %.4g | %.4g (%.2f) | %.4g (%.2f) | %.0f, "
          "%.0f | %.2f | %.4g | %.2f |\n",
          p.name, fann_ms, ours_ms, ours_ms / fann_ms, l.ours_2t_ms, l.ours_2t_ms / fann_ms,
          l.fann_mse, l.ours_mse, l.ours_mse / l.fann_mse, l.defaults_mse,
          l.defaults_mse / l.fann_mse, l.defaults_epochs, l.refit_epochs, l.defaults_time,
          p.published, l.memory);
      ++shown;
      at_most_fann += l.defaults_mse <= l.fann_mse ? 1 : 0;
      at_most_published += l.defaults_mse <= p.published ? 1 : 0;
      in_time += l.defaults_time <= 1.0 ? 1 : 0;
    }
    if (shown > 0) {
      std::printf(
          "\ndefaults' test MSE at most FANN's after its epochs: %d of %d; at most FANN's "
          "published best: %d of %d; whole run within FANN's epochs' time: %d of %d\n",
          at_most_fann, shown, at_most_published, shown, in_time, shown);
    }
    if (SmallResults().empty()) return;
    std::printf(
        "\n| table | training, test rows | FANN test MSE | FANN accuracy | defaults test MSE "
        "(ratio) | defaults accuracy | defaults epochs | defaults time |\n"
        "|---|---|---|---|---|---|---|---|\n");
    for (const SmallTable& t : kSmallTables) {
      const auto found = SmallResults().find(t.name);
      if (found == SmallResults().end()) continue;
      const SmallLine& l = found->second;
      std::printf("| %s | %zu, %zu | %.4g | %.3f | %.4g (%.2f) | %.3f | %.0f | %.2f |\n", t.name,
                  l.training, l.test, l.fann_mse, l.fann_accuracy, l.defaults_mse,
                  l.defaults_mse / l.fann_mse, l.defaults_accuracy, l.defaults_epochs,
                  l.defaults_time);
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
  for (const SmallTable& t : kSmallTables) {
    benchmark::RegisterBenchmark((std::string("BM_SmallTable/") + t.name).c_str(), BM_SmallTable,
                                 &t)
        ->Unit(benchmark::kSecond)
        ->Iterations(1);
  }
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
