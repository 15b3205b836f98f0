// Training: fits the weights and thresholds of a `Perceptron` to rows of inputs and targets.
//
// The library itself does no training. The trainer is a separate target (`mplnet::train`) for the
// `mplnet` tool and for C++ programs; it is never part of the DLL or of libmplnet.so. What it makes
// is an ordinary network that the library runs, saves and loads like any other.
//
// Conventions:
// 1. Failures throw TrainingError; what() names the place (data file and line, row, element or
//    setting) and the reason. Nothing is changed then: no network, table or file.
// 2. A Trainer keeps what it needs of the network's structure and a copy of the training table
//    (which shares the rows, see DataTable). The Perceptron and the tables it was built from are
//    never changed, and need not outlive it.
// 3. Deterministic: the same network, rows, settings and seed give the same weights, bit for bit,
//    with any number of threads (on one machine, with one build).
// 4. The trainer computes with its own fast arithmetic, which may differ from the library's forward
//    pass in the last bits. What counts is the network as the library runs it: Evaluate() runs
//    `Perceptron::Run`, so a host's `MPLRun` on a saved and reloaded network gives its figures.
// 5. Only the weights and thresholds change; every neuron's `Alpha` and types stay as they are.
#ifndef MPLNET_TRAIN_H_
#define MPLNET_TRAIN_H_

#include <cstddef>
#include <cstdint>
#include <functional>
#include <istream>
#include <limits>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "mplnet/data_table.h"
#include "mplnet/engine.h"
#include "mplnet/error.h"
#include "mplnet/setting.h"

namespace mplnet {

namespace training {
class TrainerCore;
}  // namespace training

// The training algorithms.
enum class Algorithm {
  kRprop,     // iRPROP−: one step per epoch over all rows, each weight its own step size
  kAdam,      // Adam: one step per mini-batch, batches drawn in an order from the seed
  kBackprop,  // incremental backpropagation: one step per row, rows in an order from the seed
};
// "rprop", "adam" or "backprop".
std::string_view AlgorithmName(Algorithm algorithm);
// The algorithm of that name, or nullopt.
std::optional<Algorithm> AlgorithmNamed(std::string_view name);

// The step size of Adam and of backpropagation when none is given.
inline constexpr double kAdamLearningRate = 0.01;
inline constexpr double kBackpropLearningRate = 0.1;

// How to train. The defaults are iRPROP− with its usual constants and standardised inputs.
struct TrainSettings {
  Algorithm algorithm = Algorithm::kRprop;
  // iRPROP−: a step grows by `rprop_increase` while the gradient keeps its sign and shrinks by
  // `rprop_decrease` when it changes, within [rprop_min_step, rprop_max_step].
  double rprop_increase = 1.2;
  double rprop_decrease = 0.5;
  double rprop_initial_step = 0.1;
  double rprop_min_step = 1e-6;
  double rprop_max_step = 50.0;
  // Adam and backpropagation: the step size; 0 takes kAdamLearningRate or kBackpropLearningRate.
  double learning_rate = 0.0;
  // Adam: rows per mini-batch (the last batch of an epoch may be smaller).
  std::size_t batch_size = 32;
  // Backpropagation: the share of the previous step added to each step (kMomentumSetting's range).
  double momentum = 0.0;
  // Draws the order of rows (backpropagation) and of mini-batches (Adam).
  std::uint64_t seed = 1;
  // Threads that share each batch; 0 takes as many as help, at most the machine's cores. At most
  // 256 (kThreadsSetting): more would only wait for each other.
  unsigned threads = 1;
  // Trains on inputs scaled to mean 0 and standard deviation 1 over the training rows, and folds
  // that scaling into the network it gives back, which then takes the raw inputs. The starting
  // network's weights are taken as acting on the scaled inputs.
  bool standardize = true;
  // Weight decay: adds λ/2 times the sum of the squared weights and thresholds to each row's
  // error, so a batch's gradient gains λ · rows · each parameter, pulling it towards 0
  // (kWeightDecaySetting's range).
  double weight_decay = 0.0;
};

// The settings of TrainSettings a command line sets, each with its name, help and range; the
// trainer refuses a value outside its range (a learning rate of 0, the algorithm's own, aside).
inline constexpr Setting<TrainSettings, double> kLearningRateSetting{
    "learning-rate",
    "R",
    "step size of adam (default 0.01) and backprop (default 0.1)",
    &TrainSettings::learning_rate,
    {0.0, std::numeric_limits<double>::max(), true}};
inline constexpr Setting<TrainSettings, std::size_t> kBatchSizeSetting{
    "batch-size", "B", "rows per mini-batch of adam", &TrainSettings::batch_size, {1, 100'000'000}};
inline constexpr Setting<TrainSettings, double> kMomentumSetting{
    "momentum",
    "M",
    "share of the previous step in backprop's step",
    &TrainSettings::momentum,
    {0.0, 0.999}};
inline constexpr Setting<TrainSettings, std::uint64_t> kSeedSetting{
    "seed",
    "S",
    "order of rows (backprop) and mini-batches (adam)",
    &TrainSettings::seed,
    {0, std::numeric_limits<std::uint64_t>::max()}};
inline constexpr Setting<TrainSettings, unsigned> kThreadsSetting{
    "threads",
    "T",
    "threads sharing each batch (0: as many as help, at most one per core); never more than the "
    "parts the training rows are cut into, which depend on the rows and the network alone (a small "
    "table or network stays whole, on one thread)",
    &TrainSettings::threads,
    {0, 256}};
inline constexpr Setting<TrainSettings, double> kWeightDecaySetting{
    "weight-decay",
    "L",
    "adds L/2 times the sum of the squared weights and thresholds to each row's error",
    &TrainSettings::weight_decay,
    {0.0, 1e6}};

// Trains one network. Building it checks the network, the rows and the settings; then each
// RunEpoch() goes once over the rows.
//
// The networks it takes: every element in its layer's range (layer i holding (i, 0) … (i, n − 1)),
// input-type neurons in layer 0 and only there, each fed through its last link, keyed (0, 0); every
// other neuron reads only elements computed before it in the same pass (earlier layers, or lower
// indexes of its own layer), with links from any earlier layer, sparse or dense. Refused, naming
// the element: a link to an element computed later (it would read the previous pass's output) or
// missing, an input-type neuron outside layer 0 or another type in layer 0, neuron type 0 beyond
// layer 0 (a network file cannot keep it), a position whose coordinate key another element holds,
// an element outside its layer's range, and values that are not finite.
class Trainer {
 public:
  // Throws TrainingError for a network or rows it cannot train on (among them rows whose input
  // varies by less than the smallest normal double, which cannot be standardised), or a setting
  // out of range.
  Trainer(const Perceptron& net, const DataTable& rows, const TrainSettings& settings);
  ~Trainer();
  Trainer(Trainer&&) noexcept;
  Trainer& operator=(Trainer&&) noexcept;
  Trainer(const Trainer&) = delete;
  Trainer& operator=(const Trainer&) = delete;

  // One epoch over the training rows. Returns their mean squared error measured on the way: for
  // iRPROP− the error of the weights the epoch started from; for Adam and backpropagation the mean
  // over the steps taken.
  double RunEpoch();
  // The epochs run so far.
  std::size_t epochs() const;
  // The threads that share each batch.
  unsigned threads() const;

  // The mean squared error of the current weights on `rows` (raw inputs), computed by the trainer's
  // own pass: the mean over rows and outputs of (output − target)². Throws TrainingError when the
  // rows do not fit the network.
  double MeanSquaredError(const DataTable& rows) const;

  // Keeps a copy of the current weights and thresholds.
  void SaveWeights();
  // Goes back to the copy SaveWeights() kept; nothing if it kept none.
  void RestoreWeights();

  // The network with the current weights, taking raw inputs (the standardisation folded in). The
  // elements keep their order, positions, types, `Alpha` and links.
  Perceptron Network() const;
  // The network the trainer trains: the same, on standardised inputs (Network() when the inputs
  // are not standardised).
  Perceptron TrainingNetwork() const;
  // Per input: the mean subtracted and the scale divided by (0 and 1 without standardisation; an
  // input constant over the training rows keeps scale 1).
  const std::vector<double>& InputMeans() const;
  const std::vector<double>& InputScales() const;

 private:
  std::unique_ptr<training::TrainerCore> impl_;
};

// When Train() stops.
struct StopRules {
  // At most this many epochs.
  std::size_t max_epochs = 1000;
  // Stops once an epoch's training error is at most this (0: never).
  double target_mse = 0.0;
  // With validation rows: stops after this many epochs without a better validation error.
  std::size_t patience = 100;
};

// The settings of StopRules a command line sets.
inline constexpr Setting<StopRules, std::size_t> kMaxEpochsSetting{
    "epochs", "", "at most this many epochs", &StopRules::max_epochs, {1, 100'000'000}};
inline constexpr Setting<StopRules, double> kTargetMseSetting{
    "target-mse",
    "X",
    "stop once the training error is at most X (0: never)",
    &StopRules::target_mse,
    {0.0, 1e300}};
inline constexpr Setting<StopRules, std::size_t> kPatienceSetting{
    "patience",
    "K",
    "stop after K epochs without a better validation error",
    &StopRules::patience,
    {1, 100'000'000}};

// Where a run stands after an epoch.
struct EpochProgress {
  bool refit = false;              // TrainOnEveryRow's run on every row (false: any other run)
  bool raw_inputs = false;         // a TrainOnEveryRow run on raw inputs
  double weight_decay = 0.0;       // the run's TrainSettings::weight_decay
  std::size_t epoch = 0;           // epochs run
  std::size_t max_epochs = 0;      // the run's StopRules::max_epochs
  double train_mse = 0.0;          // the epoch's RunEpoch() result
  double validation_mse = 0.0;     // of the weights the epoch started from; NaN without validation
  std::size_t best_epoch = 0;      // epochs run before the best weights so far (validation only)
  double best_validation_mse = 0;  // their validation error; NaN without validation
};

// Why Train() stopped.
enum class StopReason {
  kMaxEpochs,  // ran StopRules::max_epochs epochs
  kTargetMse,  // reached StopRules::target_mse
  kPatience,   // the validation error did not improve for StopRules::patience epochs
  kStopped,    // the progress callback asked to stop
};

// What Train() did.
struct TrainOutcome {
  StopReason reason = StopReason::kMaxEpochs;
  std::size_t epochs = 0;          // epochs run
  std::size_t best_epoch = 0;      // epochs run before the weights kept
  double best_validation_mse = 0;  // their validation error by the trainer's pass; NaN without
};

// Runs epochs until a rule of `rules` stops them or `progress` (called after every epoch, may be
// empty) returns false. With `validation` rows (raw inputs) the trainer ends on the weights with
// the lowest validation error seen, before any epoch or after any; without, on the last weights.
TrainOutcome Train(Trainer& trainer, const DataTable* validation, const StopRules& rules,
                   const std::function<bool(const EpochProgress&)>& progress);

// How TrainOnEveryRow decides the number of epochs and what it keeps.
struct EveryRowRules {
  // The latest share of the rows held out to decide the number of epochs (kHoldoutSetting's range);
  // 0 (or a table too small to hold out a row) trains `stop.max_epochs` epochs on every row
  // instead.
  double holdout = 0.2;
  // The deciding run's limits; `stop.max_epochs` also bounds the run on every row.
  StopRules stop;
  // True: once decided, trains again from the starting network on every row. False: keeps the
  // deciding run's best network, which never learnt from the held-out rows.
  bool refit = true;
  // With standardised inputs asked for (TrainSettings::standardize), the deciding run is made a
  // second time on the raw inputs, and the rest of the run takes the inputs whose held-out error
  // was lower.
  bool try_raw_inputs = true;
  // Above 0 (and with TrainSettings::weight_decay 0): every deciding run is made once more with
  // this weight decay, and the rest of the run takes the decay whose held-out error was lower.
  // Decided on FANN's training files, see docs/training.md.
  double try_weight_decay = 1e-4;
};

// The share of the rows held out, as a command line sets it.
inline constexpr Setting<EveryRowRules, double> kHoldoutSetting{
    "validate",
    "F",
    "the latest share F of the rows decides the epochs",
    &EveryRowRules::holdout,
    {0.0, 0.99}};
// The weight decay the deciding runs try, within kWeightDecaySetting's range (0: none tried).
inline constexpr Setting<EveryRowRules, double> kTryWeightDecaySetting{
    "try-weight-decay", "L", "the weight decay the deciding runs try beside none",
    &EveryRowRules::try_weight_decay, kWeightDecaySetting.range};

// What TrainOnEveryRow did.
struct EveryRowOutcome {
  std::size_t held_rows = 0;  // the latest rows that decided the epochs (0: none held out)
  TrainOutcome decided;       // the run on the earlier rows (empty when none were held out)
  bool refitted = false;      // whether the network kept was trained on every row
  bool standardized = false;  // whether the network kept was trained on standardised inputs
  double weight_decay = 0.0;  // the weight decay of the network kept
  // Every deciding run, in the order made: its inputs, its decay and its lowest held-out error.
  struct Tried {
    bool standardized = false;
    double weight_decay = 0.0;
    double best_validation_mse = 0.0;
  };
  std::vector<Tried> tried;
  TrainOutcome refit;  // the run on every row, when refitted or when nothing was held out
  // The errors on every row of the deciding run's network and of a refit with a weight decay (NaN
  // when none were held out, or without such a refit). A refit whose error is more than twice the
  // deciding network's has lost its way: it is dropped and the deciding run's network given back
  // (`refitted` false).
  double decided_mse = std::numeric_limits<double>::quiet_NaN();
  double refit_mse = std::numeric_limits<double>::quiet_NaN();
  unsigned threads = 0;  // the threads that shared each batch
};

// The network trained on every row of `rows`, the run `mplnet train` makes with a single table.
// The rows keep their order: the latest `rules.holdout` share validates a run on the earlier rows,
// which stops early and decides the number of epochs (and, with `rules.try_raw_inputs` and
// `rules.try_weight_decay`, whether the inputs are standardised and the weights decay); then a
// trainer on every row, from `net` again and with any standardisation measured over every row, runs
// that many epochs. `progress` (may be empty) is called after every epoch of every run and stops
// the current one by returning false; a deciding run so stopped ends it all, keeping its best
// network. Throws TrainingError as Trainer does.
Perceptron TrainOnEveryRow(const Perceptron& net, const DataTable& rows,
                           const TrainSettings& settings, const EveryRowRules& rules,
                           const std::function<bool(const EpochProgress&)>& progress,
                           EveryRowOutcome* outcome = nullptr);

// Whether every threshold and weight of `net` is a finite number: a run that diverged has none.
bool AllFinite(const Perceptron& net);

// Replaces the library's source of random draws (SetRandomSource) while alive, and restores the
// default after.
class ScopedRandomSource {
 public:
  explicit ScopedRandomSource(std::function<double()> source) {
    SetRandomSource(std::move(source));
  }
  ~ScopedRandomSource() { SetRandomSource(nullptr); }
  ScopedRandomSource(const ScopedRandomSource&) = delete;
  ScopedRandomSource& operator=(const ScopedRandomSource&) = delete;
};

// A network of `sizes` (input layer first) whose weights and thresholds are drawn from a generator
// seeded with `seed`: the network `mplnet new` makes with --seed.
Perceptron SeededNetwork(const std::vector<int>& sizes, std::uint64_t seed);

// A network's errors on rows, as the library computes its outputs.
struct Errors {
  std::size_t rows = 0;
  // The mean over rows and outputs of (output − target)², summed row by row in row order.
  double mse = 0.0;
  // When every target is 0/1-like (below or above 0.5; for `TH` outputs, below or above 0): the
  // share of rows whose every output lies on the same side as its target.
  std::optional<double> accuracy;
};

// Runs `net` (`Perceptron::Run`, as `MPLRun` does) on every row's inputs in order and compares its
// outputs with the row's targets. Throws TrainingError when the rows do not fit the network.
Errors Evaluate(Perceptron& net, const DataTable& rows);
// Evaluate, also handing each row's outputs, in row order, to `each_row`: the very values the
// errors were computed from.
Errors Evaluate(Perceptron& net, const DataTable& rows,
                const std::function<void(std::span<const double> outputs)>& each_row);

}  // namespace mplnet

#endif  // MPLNET_TRAIN_H_
