// The run around the epochs (validation, early stopping, keeping the best weights) and the errors
// of a network as the library itself computes its outputs.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <memory>
#include <optional>
#include <random>
#include <vector>

#include "datasets/row_checks.h"
#include "mplnet/train.h"

namespace mplnet {

namespace {
// How many times the deciding run's error on every row a refit with a weight decay may end with.
constexpr double kLostRefit = 2.0;
}  // namespace

TrainOutcome Train(Trainer& trainer, const DataTable* validation, const StopRules& rules,
                   const std::function<bool(const EpochProgress&)>& progress) {
  const bool validating = validation != nullptr && validation->rows() > 0;
  if (validating) {
    training::CheckTable(training::ShapeOf(trainer.TrainingNetwork()), *validation);
  }
  const double nan = std::numeric_limits<double>::quiet_NaN();
  TrainOutcome outcome;
  outcome.best_validation_mse = nan;
  bool have_best = false;
  std::size_t since_best = 0;
  // Weights are judged before each epoch changes them, and once more after the last; true when
  // they are the best so far.
  auto judge = [&](double error, std::size_t epochs_before) {
    if (!have_best || error < outcome.best_validation_mse) {
      have_best = true;
      outcome.best_validation_mse = error;
      outcome.best_epoch = epochs_before;
      since_best = 0;
      return true;
    }
    ++since_best;
    return false;
  };

  for (std::size_t epoch = 1; epoch <= rules.max_epochs; ++epoch) {
    EpochProgress now;
    now.epoch = epoch;
    now.max_epochs = rules.max_epochs;
    now.validation_mse = nan;
    if (validating) {
      now.validation_mse = trainer.MeanSquaredError(*validation);
      if (judge(now.validation_mse, epoch - 1)) trainer.SaveWeights();
    }
    now.train_mse = trainer.RunEpoch();
    now.best_epoch = outcome.best_epoch;
    now.best_validation_mse = outcome.best_validation_mse;
    outcome.epochs = epoch;
    if (progress && !progress(now)) {
      outcome.reason = StopReason::kStopped;
      break;
    }
    if (rules.target_mse > 0 && now.train_mse <= rules.target_mse) {
      outcome.reason = StopReason::kTargetMse;
      break;
    }
    if (validating && since_best >= rules.patience) {
      outcome.reason = StopReason::kPatience;
      break;
    }
  }
  if (validating) {
    // The weights the last epoch made, unless earlier ones were better.
    if (!judge(trainer.MeanSquaredError(*validation), outcome.epochs)) trainer.RestoreWeights();
  }
  return outcome;
}

Perceptron TrainOnEveryRow(const Perceptron& net, const DataTable& rows,
                           const TrainSettings& settings, const EveryRowRules& rules,
                           const std::function<bool(const EpochProgress&)>& progress,
                           EveryRowOutcome* outcome) {
  if (!kHoldoutSetting.Accepts(rules)) throw TrainingError(kHoldoutSetting.Refusal());
  if (!kMaxEpochsSetting.Accepts(rules.stop)) throw TrainingError(kMaxEpochsSetting.Refusal());
  if (!kTargetMseSetting.Accepts(rules.stop)) throw TrainingError(kTargetMseSetting.Refusal());
  if (!kPatienceSetting.Accepts(rules.stop)) throw TrainingError(kPatienceSetting.Refusal());
  if (!kTryWeightDecaySetting.Accepts(rules)) {
    throw TrainingError(kTryWeightDecaySetting.Refusal());
  }
  EveryRowOutcome done;
  done.standardized = settings.standardize;
  done.weight_decay = settings.weight_decay;
  // The latest rows are held out: rows are often in time order, and the network will be used on
  // rows that come after all of them.
  done.held_rows = static_cast<std::size_t>(rules.holdout * static_cast<double>(rows.rows()));
  TrainSettings chosen = settings;
  std::size_t epochs = rules.stop.max_epochs;
  const DataTable earlier = rows.Slice(0, rows.rows() - done.held_rows);
  const DataTable latest = rows.Slice(rows.rows() - done.held_rows, done.held_rows);
  if (done.held_rows > 0) {
    // One deciding run per way of scaling the inputs and per weight decay. A later run is taken
    // only when its held-out error is strictly lower. A run stopped by `progress` ends it all with
    // its own best network.
    std::vector<TrainSettings> candidates{settings};
    if (settings.standardize && rules.try_raw_inputs) {
      candidates.push_back(settings);
      candidates.back().standardize = false;
    }
    if (settings.weight_decay == 0 && rules.try_weight_decay > 0) {
      const std::size_t plain = candidates.size();
      for (std::size_t i = 0; i < plain; ++i) {
        candidates.push_back(candidates[i]);
        candidates.back().weight_decay = rules.try_weight_decay;
      }
    }
    std::optional<Perceptron> kept;  // only without a refit: the network to give back
    for (std::size_t i = 0; i < candidates.size(); ++i) {
      const TrainSettings& these = candidates[i];
      Trainer deciding(net, earlier, these);
      done.threads = deciding.threads();
      const TrainOutcome run = Train(deciding, &latest, rules.stop, [&](const EpochProgress& p) {
        EpochProgress now = p;
        now.raw_inputs = !these.standardize;
        now.weight_decay = these.weight_decay;
        return !progress || progress(now);
      });
      done.tried.push_back({these.standardize, these.weight_decay, run.best_validation_mse});
      const bool stopped = run.reason == StopReason::kStopped;
      if (i == 0 || run.best_validation_mse < done.decided.best_validation_mse || stopped) {
        done.decided = run;
        // Its error on every row: on the earlier rows it learnt from, and on the latest.
        const auto n = static_cast<double>(rows.rows());
        const auto held = static_cast<double>(done.held_rows);
        done.decided_mse =
            ((n - held) * deciding.MeanSquaredError(earlier) + held * run.best_validation_mse) / n;
        done.standardized = these.standardize;
        done.weight_decay = these.weight_decay;
        chosen = these;
        if (!rules.refit || stopped) kept = deciding.Network();
      }
      if (stopped) break;
    }
    if (kept) {
      if (outcome != nullptr) *outcome = done;
      return std::move(*kept);
    }
    // The same number of epochs: iRPROP− takes one step per epoch whatever the rows (scaling the
    // count by the rows measured worse, see docs/training.md). Adam and backpropagation step per
    // batch or row, so on every row the same epochs are more steps.
    epochs = std::min(rules.stop.max_epochs, done.decided.best_epoch);
  }
  Trainer everything(net, rows, chosen);
  done.threads = everything.threads();
  done.refitted = true;
  StopRules refit = rules.stop;
  refit.max_epochs = epochs;
  done.refit = Train(everything, nullptr, refit, [&](const EpochProgress& p) {
    EpochProgress now = p;
    now.refit = true;
    now.raw_inputs = !chosen.standardize;
    now.weight_decay = chosen.weight_decay;
    return !progress || progress(now);
  });
  if (done.held_rows > 0 && chosen.weight_decay > 0 && done.refit.reason != StopReason::kStopped) {
    // A weight decay can pull a run from the same start on more rows to the network whose
    // weights are all 0 (on parity problems: every output 0.5, chance itself) where the deciding
    // run learnt. A refit that ends with more than twice the error on every row of the deciding
    // run's network, which learnt from four fifths of them, has lost its way: the deciding run's
    // network is made again and given back. (Refits without a decay, or within that factor, are
    // kept: the same number of epochs on other rows need not fit them as closely.)
    done.refit_mse = everything.MeanSquaredError(rows);
    if (done.refit_mse > kLostRefit * done.decided_mse) {
      done.refitted = false;
      Trainer again(net, earlier, chosen);
      StopRules best = rules.stop;
      best.max_epochs = done.decided.best_epoch;
      Train(again, nullptr, best, {});
      if (outcome != nullptr) *outcome = done;
      return again.Network();
    }
  }
  if (outcome != nullptr) *outcome = done;
  return everything.Network();
}

Errors Evaluate(Perceptron& net, const DataTable& rows) {
  return Evaluate(net, rows, nullptr);
}

Errors Evaluate(Perceptron& net, const DataTable& rows,
                const std::function<void(std::span<const double> outputs)>& each_row) {
  const training::RowShape shape = training::ShapeOf(net);
  training::CheckTable(shape, rows);
  const std::size_t inputs = shape.inputs;
  const std::size_t outputs = shape.outputs;

  // The targets are 0/1-like when none stands on its output's middle (0.5, or 0 for TH): each
  // then names a side, and an output on that side counts as right.
  std::vector<double> middle(outputs);
  bool classes = true;
  for (std::size_t k = 0; k < outputs; ++k) {
    middle[k] = shape.tanh_output[k] ? 0.0 : 0.5;
    for (std::size_t i = 0; i < rows.rows() && classes; ++i) {
      classes = rows.row(i)[inputs + k] != middle[k];
    }
  }

  Errors errors;
  errors.rows = rows.rows();
  std::vector<double> in(inputs);
  std::vector<double> out(outputs);
  double sum = 0;
  std::size_t right = 0;
  for (std::size_t i = 0; i < rows.rows(); ++i) {
    const std::span<const double> row = rows.row(i);
    in.assign(row.begin(), row.begin() + static_cast<std::ptrdiff_t>(inputs));
    net.Run(in);
    net.GetOutput(out.data());
    if (each_row) each_row(out);
    bool all_right = true;
    for (std::size_t k = 0; k < outputs; ++k) {
      const double t = row[inputs + k];
      const double d = out[k] - t;
      sum += d * d;
      all_right = all_right && (t < middle[k] ? out[k] < middle[k] : out[k] > middle[k]);
    }
    right += all_right ? 1 : 0;
  }
  const double n = static_cast<double>(rows.rows());
  errors.mse = rows.rows() == 0 ? std::numeric_limits<double>::quiet_NaN()
                                : sum / (n * static_cast<double>(outputs));
  if (classes && rows.rows() > 0) errors.accuracy = static_cast<double>(right) / n;
  return errors;
}

bool AllFinite(const Perceptron& net) {
  for (const std::shared_ptr<Elem>& e : net.GetMPL()) {
    if (!std::isfinite(e->kernel->getThreshold())) return false;
    for (const SynapseWeight& w : e->kernel->getSynapses()) {
      if (!std::isfinite(w.weight)) return false;
    }
  }
  return true;
}

Perceptron SeededNetwork(const std::vector<int>& sizes, std::uint64_t seed) {
  std::mt19937_64 generator(seed);
  // 53 random bits over 2^53: uniform in [0, 1), never 1, and the same on every platform (the
  // standard distributions are not).
  const ScopedRandomSource source(
      [&generator] { return static_cast<double>(generator() >> 11) * 0x1.0p-53; });
  return Perceptron(sizes);
}

}  // namespace mplnet
