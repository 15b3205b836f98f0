// The trainer end to end: it learns, it is deterministic with any thread count, what it reports is
// what a host computes, the standardisation it folds in changes nothing, and it refuses what it
// cannot train.
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iostream>
#include <iterator>
#include <limits>
#include <memory>
#include <numbers>
#include <random>
#include <span>
#include <string>
#include <vector>

#include "mplnet/engine.h"
#include "mplnet/mplnet.h"
#include "mplnet/train.h"
#include "persistence/ini_file.h"
#include "test_support.h"
#include "training_support.h"

namespace mplnet {
namespace {

using testing::NetBuilder;
using testing::TempDir;

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

std::string Save(const Perceptron& net, const std::string& path) {
  CIniFile ini;
  ini.SetFileName(path);
  EXPECT_STREQ(ini.SaveMPL(net), " MPL network save");
  return ReadFile(path);
}

std::unique_ptr<Perceptron> Load(const std::string& path) {
  CIniFile ini;
  ini.SetFileName(path);
  const char* code = nullptr;
  return ini.LoadMPL(code);
}

DataTable Xor() {
  DataTable t(2, 1);
  for (const auto& r : {std::vector<double>{0, 0, 0}, {0, 1, 1}, {1, 0, 1}, {1, 1, 0}}) {
    t.AddRow(r);
  }
  return t;
}

// Two arms winding around each other for `turns` turns, one per class.
DataTable TwoSpirals(int per_arm, double turns) {
  DataTable t(2, 1);
  for (int i = 0; i < per_arm; ++i) {
    const double angle = turns * 2 * std::numbers::pi * i / per_arm;
    const double radius = 0.2 + angle;
    for (const double arm : {0.0, 1.0}) {
      const double side = arm == 0 ? 1 : -1;
      t.AddRow(std::vector<double>{side * radius * std::cos(angle), side * radius * std::sin(angle),
                                   arm});
    }
  }
  return t;
}

// A layered network of sigmoids of steepness 2, as `mplnet new` makes them.
Perceptron Layered(const std::vector<int>& sizes, unsigned seed) {
  const testing::ScopedRandomSource source(seed);
  return Perceptron(sizes);
}

TEST(TrainerTest, LearnsXorAndTwoSpiralsWithEveryAlgorithm) {
  const struct {
    const char* problem;
    DataTable rows;
    std::vector<int> sizes;
  } problems[] = {
      {"xor", Xor(), {2, 4, 1}},
      {"two spirals", TwoSpirals(48, 1.75), {2, 20, 10, 1}},
  };
  const struct {
    Algorithm algorithm;
    std::size_t batch_size;
    double momentum;
  } settings[] = {
      {Algorithm::kRprop, 0, 0},
      {Algorithm::kAdam, 4, 0},
      {Algorithm::kBackprop, 0, 0.5},
  };
  for (const auto& p : problems) {
    for (const auto& s : settings) {
      SCOPED_TRACE(std::string(p.problem) + ", " + std::string(AlgorithmName(s.algorithm)));
      TrainSettings train;
      train.algorithm = s.algorithm;
      if (s.batch_size != 0) train.batch_size = s.batch_size;
      train.momentum = s.momentum;
      Trainer trainer(Layered(p.sizes, 3), p.rows, train);
      StopRules rules;
      rules.max_epochs = 4000;
      rules.target_mse = 0.002;
      const TrainOutcome outcome = Train(trainer, nullptr, rules, {});
      EXPECT_EQ(outcome.reason, StopReason::kTargetMse) << outcome.epochs << " epochs";
      Perceptron net = trainer.Network();
      const Errors errors = Evaluate(net, p.rows);
      EXPECT_LT(errors.mse, 0.005);
      ASSERT_TRUE(errors.accuracy.has_value());
      EXPECT_EQ(*errors.accuracy, 1.0);
    }
  }
}

// Rows for a 4-5-2 network: noisy smooth targets, inputs far from mean 0 and scale 1.
DataTable SmoothRows(std::size_t count, unsigned seed) {
  std::mt19937 random(seed);
  std::normal_distribution<double> noise(0.0, 0.05);
  std::uniform_real_distribution<double> u(-1.0, 1.0);
  DataTable t(4, 2);
  for (std::size_t i = 0; i < count; ++i) {
    const double a = 1.1 + 0.01 * u(random);
    const double b = 100 + 20 * u(random);
    const double c = u(random);
    const double d = 7.0;  // constant: keeps scale 1
    const double y1 = 1 / (1 + std::exp(-(300 * (a - 1.1) + 0.1 * (b - 100))));
    const double y2 = 0.5 + 0.4 * std::sin(3 * c);
    t.AddRow(std::vector<double>{a, b, c, d, std::clamp(y1 + noise(random), 0.0, 1.0),
                                 std::clamp(y2 + noise(random), 0.0, 1.0)});
  }
  return t;
}

// Every threshold and weight of `net`, in order: the file keeps only 15 digits of each.
std::vector<double> Numbers(const Perceptron& net) {
  std::vector<double> numbers;
  for (const std::shared_ptr<Elem>& e : net.GetMPL()) {
    numbers.push_back(e->kernel->getThreshold());
    for (const SynapseWeight& w : e->kernel->getSynapses()) numbers.push_back(w.weight);
  }
  return numbers;
}

TEST(TrainerTest, SameSeedGivesTheSameFileWithOneOrTwoThreads) {
  TempDir dir;
  // Enough rows and weights for a batch to be cut into parts that two threads share.
  const Perceptron start = Layered({4, 40, 2}, 8);
  const DataTable all = SmoothRows(1400, 2);
  const DataTable training = all.Slice(0, 1100);
  const DataTable validation = all.Slice(1100, 300);
  for (const Algorithm algorithm : {Algorithm::kRprop, Algorithm::kAdam, Algorithm::kBackprop}) {
    SCOPED_TRACE(std::string(AlgorithmName(algorithm)));
    std::vector<double> numbers;
    auto train = [&](unsigned threads, std::uint64_t seed) {
      TrainSettings settings;
      settings.algorithm = algorithm;
      settings.batch_size = 600;  // two parts per mini-batch
      settings.threads = threads;
      settings.seed = seed;
      Trainer trainer(start, training, settings);
      if (algorithm != Algorithm::kBackprop) {
        EXPECT_EQ(trainer.threads(), threads);
      }
      StopRules rules;
      rules.max_epochs = algorithm == Algorithm::kBackprop ? 3 : 15;
      Train(trainer, &validation, rules, {});
      numbers = Numbers(trainer.Network());
      return Save(trainer.Network(),
                  dir.file("net-" + std::to_string(threads) + "-" + std::to_string(seed) + ".ini"));
    };
    const std::string one = train(1, 5);
    const std::vector<double> one_numbers = numbers;
    EXPECT_EQ(one, train(2, 5));
    EXPECT_EQ(one_numbers, numbers);
    EXPECT_EQ(one, train(1, 5));
    if (algorithm != Algorithm::kRprop) {
      EXPECT_NE(one, train(1, 6));  // the seed orders the rows
    }
  }
}

// A refit with a weight decay that fits every row far worse than the deciding run's network is
// dropped for that network. Parity tables make such refits: the decay can pull a run on every row
// to outputs of 0.5.
TEST(TrainerTest, TrainOnEveryRowDropsARefitThatFitsEveryRowWorse) {
  DataTable rows(6, 1);
  for (unsigned i = 0; i < 64; ++i) {
    std::vector<double> row;
    for (unsigned b = 0; b < 6; ++b) row.push_back((i >> b) & 1U);
    row.push_back(std::popcount(i) % 2);
    rows.AddRow(row);
  }
  EveryRowRules rules;
  rules.stop.max_epochs = 400;
  std::size_t dropped = 0;
  for (unsigned seed = 1; seed <= 12; ++seed) {
    SCOPED_TRACE(seed);
    const Perceptron start = Layered({6, 12, 1}, seed);
    EveryRowOutcome outcome;
    const Perceptron trained = TrainOnEveryRow(start, rows, TrainSettings{}, rules, {}, &outcome);
    EXPECT_EQ(std::isnan(outcome.refit_mse), outcome.weight_decay == 0);
    EXPECT_EQ(outcome.refitted, !(outcome.refit_mse > 2 * outcome.decided_mse));
    TrainSettings chosen;
    chosen.standardize = outcome.standardized;
    chosen.weight_decay = outcome.weight_decay;
    Trainer plain(start, outcome.refitted ? rows : rows.Slice(0, rows.rows() - outcome.held_rows),
                  chosen);
    const std::size_t epochs = outcome.refitted ? outcome.refit.epochs : outcome.decided.best_epoch;
    for (std::size_t e = 0; e < epochs; ++e) plain.RunEpoch();
    EXPECT_EQ(Numbers(trained), Numbers(plain.Network()));
    dropped += outcome.refitted ? 0 : 1;
  }
  // Both ways are taken among these starts (7 of the 12 refits are dropped here).
  EXPECT_GT(dropped, 0U);
  EXPECT_LT(dropped, 12U);
}

TEST(TrainerTest, TrainOnEveryRowEndsOnANetworkTrainedOnEveryRow) {
  const Perceptron start = Layered({4, 40, 2}, 8);
  // Enough rows for a batch to be cut into parts that two threads share, few enough for the
  // latest rows to stop a run.
  const DataTable rows = SmoothRows(600, 3);
  const struct {
    const char* name;
    double holdout;
    bool refit;
  } cases[] = {{"refit", 0.2, true}, {"kept", 0.2, false}, {"no holdout", 0.0, true}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EveryRowRules rules;
    rules.holdout = c.holdout;
    rules.refit = c.refit;
    rules.stop.max_epochs = 300;
    rules.stop.patience = 10;
    std::vector<std::vector<double>> results;
    std::size_t refit_epochs_seen = 0;
    EveryRowOutcome outcome;
    for (const unsigned threads : {1U, 2U}) {
      TrainSettings settings;
      settings.threads = threads;
      results.push_back(Numbers(TrainOnEveryRow(
          start, rows, settings, rules,
          [&](const EpochProgress& p) {
            refit_epochs_seen += p.refit ? 1 : 0;
            return true;
          },
          &outcome)));
      EXPECT_EQ(outcome.threads, threads);
    }
    EXPECT_EQ(results[0], results[1]);  // the same with any thread count
    EXPECT_EQ(outcome.held_rows, static_cast<std::size_t>(c.holdout * 600));
    EXPECT_EQ(outcome.refitted, c.refit);
    // With rows held out, the raw inputs and the weight decay were tried as well, and the run
    // taken is the one whose held-out error was lowest.
    ASSERT_EQ(outcome.tried.size(), c.holdout == 0 ? 0U : 4U);
    for (const EveryRowOutcome::Tried& t : outcome.tried) {
      EXPECT_LE(outcome.decided.best_validation_mse, t.best_validation_mse);
      if (t.best_validation_mse == outcome.decided.best_validation_mse) {
        EXPECT_EQ(t.standardized, outcome.standardized);
        EXPECT_EQ(t.weight_decay, outcome.weight_decay);
        break;
      }
    }
    EXPECT_EQ(refit_epochs_seen, 2 * outcome.refit.epochs);
    // What it gives is a plain run of the epochs it reports: on every row from the start, or
    // the deciding run on the earlier rows ended on its best epoch.
    const std::size_t earlier = 600 - outcome.held_rows;
    TrainSettings plain_settings;
    plain_settings.standardize = outcome.standardized;
    plain_settings.weight_decay = outcome.weight_decay;
    Trainer plain(start, c.refit ? rows : rows.Slice(0, earlier), plain_settings);
    const std::size_t epochs = c.refit ? outcome.refit.epochs : outcome.decided.best_epoch;
    for (std::size_t e = 0; e < epochs; ++e) plain.RunEpoch();
    EXPECT_EQ(results[0], Numbers(plain.Network()));
    if (c.holdout > 0) {
      EXPECT_EQ(outcome.decided.reason, StopReason::kPatience);
      EXPECT_GT(outcome.decided.best_epoch, 0U);
    }
    if (c.refit) {
      EXPECT_GE(outcome.refit.epochs, c.holdout > 0 ? outcome.decided.best_epoch : 300);
    }
  }
  EveryRowRules bad;
  bad.holdout = 1.0;
  EXPECT_THROW(TrainOnEveryRow(start, rows, TrainSettings{}, bad, {}), TrainingError);
  bad = EveryRowRules{};
  bad.try_weight_decay = -1e-4;
  EXPECT_THROW(TrainOnEveryRow(start, rows, TrainSettings{}, bad, {}), TrainingError);
  for (const double decay : {-1e-4, std::numeric_limits<double>::quiet_NaN()}) {
    TrainSettings settings;
    settings.weight_decay = decay;
    EXPECT_THROW(Trainer(start, rows, settings), TrainingError) << decay;
  }
}

// ½ Σ over rows of Σ (output − target)², as a host computes it: through MPLLoad and MPLRun.
struct ExportErrors {
  double mse = 0;
  double accuracy = 0;
};
ExportErrors ThroughTheExports(const std::string& path, const DataTable& rows) {
  EXPECT_STREQ(MPLLoad(path.c_str()), " MPL network load ");
  const auto outputs = static_cast<std::size_t>(MPLGetOutArraySize());
  std::vector<double> out(outputs);
  double sum = 0;
  std::size_t right = 0;
  for (std::size_t i = 0; i < rows.rows(); ++i) {
    const std::span<const double> row = rows.row(i);
    EXPECT_STREQ(MPLRun(out.data(), row.data(), static_cast<int>(rows.inputs())), "test");
    bool all_right = true;
    for (std::size_t k = 0; k < outputs; ++k) {
      const double t = row[rows.inputs() + k];
      const double d = out[k] - t;
      sum += d * d;
      all_right = all_right && (out[k] > 0.5) == (t > 0.5);
    }
    right += all_right ? 1 : 0;
  }
  const auto n = static_cast<double>(rows.rows());
  return {sum / (n * static_cast<double>(outputs)), static_cast<double>(right) / n};
}

TEST(TrainerTest, TheSavedFileThroughTheExportsGivesTheReportedErrors) {
  TempDir dir;
  const DataTable spirals = TwoSpirals(40, 1.0);
  const DataTable training = spirals.Slice(0, 64);
  const DataTable validation = spirals.Slice(64, 16);
  TrainSettings settings;
  settings.algorithm = Algorithm::kAdam;
  settings.batch_size = 8;
  Trainer trainer(Layered({2, 12, 1}, 4), training, settings);
  StopRules rules;
  rules.patience = 3;
  const TrainOutcome outcome = Train(trainer, &validation, rules, {});
  // It stopped early and ended on the best weights it saw.
  EXPECT_EQ(outcome.reason, StopReason::kPatience);
  EXPECT_LT(outcome.epochs, rules.max_epochs);
  EXPECT_EQ(trainer.MeanSquaredError(validation), outcome.best_validation_mse);

  const std::string path = dir.file("trained.ini");
  Save(trainer.Network(), path);
  std::unique_ptr<Perceptron> saved = Load(path);
  for (const DataTable* rows : {&training, &validation}) {
    const Errors reported = Evaluate(*saved, *rows);
    const ExportErrors host = ThroughTheExports(path, *rows);
    EXPECT_EQ(reported.mse, host.mse);
    ASSERT_TRUE(reported.accuracy.has_value());
    EXPECT_EQ(*reported.accuracy, host.accuracy);
  }
}

TEST(TrainerTest, FoldedNetworkOnRawInputsIsTheTrainingNetworkOnStandardisedOnes) {
  // Links from the inputs into every layer, so that folding reaches thresholds beyond the first.
  Perceptron start = NetBuilder(21)
                         .Inputs(4)
                         .Neuron(1, 0, Neuron::SIGM, 2.0, {{0, 0}, {0, 1}, {0, 3}})
                         .Neuron(1, 1, Neuron::TH, 0.5, {{0, 1}, {0, 2}, {1, 0}})
                         .Neuron(1, 2, Neuron::SIGM, 1.0, {{0, 0}, {0, 2}, {0, 3}})
                         .Neuron(2, 0, Neuron::SIGM, 1.0, {{1, 0}, {1, 1}, {0, 1}})
                         .Neuron(2, 1, Neuron::SIGM, 1.5, {{1, 2}, {0, 0}, {0, 2}})
                         .Build();
  const DataTable rows = SmoothRows(500, 9);
  Trainer trainer(start, rows, TrainSettings{});
  for (int e = 0; e < 30; ++e) trainer.RunEpoch();
  const std::vector<double>& means = trainer.InputMeans();
  const std::vector<double>& scales = trainer.InputScales();
  EXPECT_EQ(scales[3], 1.0);  // the constant input
  EXPECT_GT(std::abs(means[1]), 50.0);
  Perceptron folded = trainer.Network();
  Perceptron trained = trainer.TrainingNetwork();
  double largest = 0;
  for (std::size_t i = 0; i < rows.rows(); ++i) {
    const std::span<const double> row = rows.row(i);
    std::vector<double> raw(row.begin(), row.begin() + 4);
    std::vector<double> standard(4);
    for (std::size_t j = 0; j < 4; ++j) standard[j] = (raw[j] - means[j]) / scales[j];
    folded.Run(raw);
    trained.Run(standard);
    const std::vector<double> a = folded.GetOutput();
    const std::vector<double> b = trained.GetOutput();
    for (std::size_t k = 0; k < a.size(); ++k) largest = std::max(largest, std::abs(a[k] - b[k]));
  }
  EXPECT_LE(largest, 1e-12);
  std::cout << "largest difference between folded and training network: " << largest << '\n';
}

TEST(TrainerTest, StandardisesInputsAtTheEndsOfTheDoubleRange) {
  // Input 1 is ordinary; input 2 alternates between `low` and `high`, whose mean and deviation
  // are `mean` and `scale` (exactly, up to rounding).
  const double big = std::numeric_limits<double>::max();
  const struct {
    const char* name;
    double low, high, mean, scale;
    const char* refusal;  // nullptr: trains
  } cases[] = {
      {"deviation near 1e200", -1e200, 1e200, 0, 1e200, nullptr},
      {"deviation near 1e-200", 3e-200, 5e-200, 4e-200, 1e-200, nullptr},
      {"values near the largest double, one sign", 0.8 * big, big, 0.9 * big, 0.1 * big, nullptr},
      {"values near the largest double, both signs", -big, big, 0, big, nullptr},
      {"deviation below the smallest normal double", 0, 4e-308, 2e-308, 2e-308,
       "input 2 (element (0, 1)) deviates by only 2e-308"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    DataTable rows(2, 1);
    for (int i = 0; i < 40; ++i) {
      const double side = i % 2;
      rows.AddRow(std::vector<double>{0.1 * i, side == 0 ? c.low : c.high, 0.2 + 0.6 * side});
    }
    const Perceptron start = NetBuilder(31)
                                 .Inputs(2)
                                 .Dense(1, 3, 2, Neuron::SIGM, 1.0)
                                 .Dense(2, 1, 3, Neuron::SIGM, 1.0)
                                 .Build();
    if (c.refusal != nullptr) {
      try {
        Trainer refused(start, rows, TrainSettings{});
        ADD_FAILURE() << "not refused";
      } catch (const TrainingError& e) {
        EXPECT_NE(std::string(e.what()).find(c.refusal), std::string::npos) << e.what();
      }
      continue;
    }
    Trainer trainer(start, rows, TrainSettings{});
    EXPECT_NEAR(trainer.InputMeans()[1], c.mean, 1e-12 * c.scale);
    EXPECT_NEAR(trainer.InputScales()[1], c.scale, 1e-12 * c.scale);
    double mse = 0;
    for (int e = 0; e < 20; ++e) mse = trainer.RunEpoch();
    EXPECT_LT(mse, 0.01);  // the second input gives the target away
    // The folded network on the raw rows is the trained one on the standardised rows.
    Perceptron folded = trainer.Network();
    Perceptron trained = trainer.TrainingNetwork();
    for (std::size_t i = 0; i < 2; ++i) {
      const std::span<const double> row = rows.row(i);
      std::vector<double> standard(2);
      for (std::size_t j = 0; j < 2; ++j) {
        standard[j] = (row[j] - trainer.InputMeans()[j]) / trainer.InputScales()[j];
      }
      folded.Run(std::vector<double>(row.begin(), row.begin() + 2));
      trained.Run(standard);
      EXPECT_NEAR(folded.GetOutput()[0], trained.GetOutput()[0], 1e-9) << "row " << i;
    }
  }
}

TEST(TrainerTest, RefusesNetworksItCannotTrain) {
  const DataTable rows = Xor();
  auto base = [] { return NetBuilder(1).Inputs(2); };
  const struct {
    const char* fault;
    std::function<Perceptron()> make;
    const char* message;
  } cases[] = {
      {"a link to a neuron computed later",
       [&] {
         return base()
             .Neuron(1, 0, Neuron::SIGM, 1, {{0, 0}, {1, 1}})
             .Neuron(1, 1, Neuron::SIGM, 1, {{0, 1}})
             .Neuron(2, 0, Neuron::SIGM, 1, {{1, 0}, {1, 1}})
             .Build();
       },
       "element (1, 0): it reads (1, 1), which the pass computes later"},
      {"a link to a later layer",
       [&] {
         return base()
             .Neuron(1, 0, Neuron::SIGM, 1, {{0, 0}, {2, 0}})
             .Neuron(2, 0, Neuron::SIGM, 1, {{1, 0}})
             .Build();
       },
       "element (1, 0): it reads (2, 0), which the pass computes later"},
      {"an input neuron beyond layer 0",
       [&] {
         Perceptron p = base().Neuron(1, 0, Neuron::SIGM, 1, {{0, 0}}).Build();
         p.SetAttr(1, 0, Neuron::ATTR_NTYPE, Neuron::NInput);
         return p;
       },
       "element (1, 0) beyond the input layer is an input neuron"},
      {"another neuron type in layer 0",
       [&] {
         Perceptron p = base().Neuron(1, 0, Neuron::SIGM, 1, {{0, 0}}).Build();
         p.SetAttr(0, 1, Neuron::ATTR_NTYPE, Neuron::NHiden);
         return p;
       },
       "element (0, 1) of the input layer has neuron type NHiden"},
      {"colliding coordinate keys",
       [&] {
         // (1, 10) holds the key "110", so position (11, 0) resolves to it.
         NetBuilder b(2);
         b.Inputs(2);
         for (unsigned y = 0; y <= 10; ++y) b.Neuron(1, y, Neuron::SIGM, 1, {{0, 0}});
         return b.Neuron(11, 1, Neuron::SIGM, 1, {{1, 0}}).Build();
       },
       "layer 11: position (11, 0) has the coordinate key of (1, 10)"},
      {"a link to a missing element",
       [&] {
         return base().Neuron(1, 0, Neuron::SIGM, 1, {{0, 0}, {0, 7}}).Build();
       },
       "element (1, 0): the link from (0, 7) names no element"},
      {"an input element without its 0_0 link",
       [&] {
         Perceptron p = base().Neuron(1, 0, Neuron::SIGM, 1, {{0, 0}}).Build();
         p.DelLink(0, 1, 0, 0);
         return p;
       },
       "input element (0, 1) has no 0_0 link"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.fault);
    try {
      Trainer trainer(c.make(), rows, TrainSettings{});
      ADD_FAILURE() << "not refused";
    } catch (const TrainingError& e) {
      EXPECT_NE(std::string(e.what()).find(c.message), std::string::npos) << e.what();
    }
  }
}

// Each described setting is held to its range by the library itself, with the range in the message.
TEST(TrainerTest, RefusesSettingsOutsideTheirDescribedRanges) {
  const DataTable rows = Xor();
  const Perceptron net =
      NetBuilder(1).Inputs(2).Neuron(1, 0, Neuron::SIGM, 1, {{0, 0}, {0, 1}}).Build();
  const struct {
    std::function<void(TrainSettings&, EveryRowRules&)> set;
    std::string refusal;
  } cases[] = {
      {[](TrainSettings& s, EveryRowRules&) { s.momentum = 0.9995; }, kMomentumSetting.Refusal()},
      {[](TrainSettings& s, EveryRowRules&) { s.batch_size = 0; }, kBatchSizeSetting.Refusal()},
      {[](TrainSettings& s, EveryRowRules&) { s.threads = 257; }, kThreadsSetting.Refusal()},
      {[](TrainSettings& s, EveryRowRules&) { s.learning_rate = -1; },
       kLearningRateSetting.Refusal()},
      {[](TrainSettings&, EveryRowRules& r) { r.holdout = 0.995; }, kHoldoutSetting.Refusal()},
      {[](TrainSettings&, EveryRowRules& r) { r.stop.max_epochs = 0; },
       kMaxEpochsSetting.Refusal()},
      {[](TrainSettings&, EveryRowRules& r) { r.stop.patience = 0; }, kPatienceSetting.Refusal()},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.refusal);
    TrainSettings settings;
    EveryRowRules rules;
    c.set(settings, rules);
    try {
      TrainOnEveryRow(net, rows, settings, rules, {});
      ADD_FAILURE() << "not refused";
    } catch (const TrainingError& e) {
      EXPECT_NE(std::string(e.what()).find(c.refusal), std::string::npos) << e.what();
    }
  }
}

}  // namespace
}  // namespace mplnet
