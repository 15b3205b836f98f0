// mplnet train and mplnet eval: a network file's weights fitted to a data table, and a network
// file measured on one.
//
// Both report what the library computes: after training, the saved file is loaded again by the
// library's reader and run by its forward pass, so that mplnet eval, mplnet run and a host's MPLRun
// give exactly the errors printed.
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <iostream>
#include <limits>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include "mplnet/bar_recipe.h"
#include "mplnet/engine.h"
#include "mplnet/train.h"
#include "persistence/shown_text.h"
#include "tools/commands.h"
#include "tools/help/texts.h"  // made from tools/help/*.txt at build time
#include "tools/network_report.h"
#include "tools/number_lines.h"
#include "tools/option_values.h"
#include "tools/output_file.h"

namespace mplnet::tool {
namespace {

// Without a terminal, a progress line every this many epochs.
constexpr std::size_t kLineEvery = 100;

// Set by Ctrl-C: training stops after the current epoch and still saves.
std::atomic<bool> g_interrupted{false};

void OnInterrupt(int /*signal*/) {
  g_interrupted.store(true);
}

// Catches Ctrl-C while alive. The first one only asks to stop; the handler then resets itself, so
// a second one ends the program at once.
class InterruptCatcher {
 public:
  InterruptCatcher() {
    g_interrupted.store(false);
    struct sigaction action {};
    action.sa_handler = OnInterrupt;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESETHAND;
    sigaction(SIGINT, &action, &previous_);
  }
  ~InterruptCatcher() { sigaction(SIGINT, &previous_, nullptr); }
  InterruptCatcher(const InterruptCatcher&) = delete;
  InterruptCatcher& operator=(const InterruptCatcher&) = delete;

 private:
  struct sigaction previous_ {};
};

std::string Brief(double v) {
  if (std::isnan(v)) return "-";
  char text[32];
  std::snprintf(text, sizeof text, "%.6g", v);
  return text;
}

// Shows how training goes on standard error: a bar redrawn in place on a terminal, a plain line
// every kLineEvery epochs otherwise. The run on every row after the deciding run gets a bar of its
// own.
class Progress {
 public:
  Progress() : terminal_(::isatty(STDERR_FILENO) != 0), start_(std::chrono::steady_clock::now()) {}

  void Show(const EpochProgress& p) {
    const auto now = std::chrono::steady_clock::now();
    const bool validating = !std::isnan(p.validation_mse);
    const char* stage = Stage(p);
    if (!terminal_) {
      if (p.epoch % kLineEvery != 0) return;
      std::fprintf(stderr, "%s %zu: train mse %s", stage, p.epoch, Brief(p.train_mse).c_str());
      if (validating) std::fprintf(stderr, ", validation mse %s", Brief(p.validation_mse).c_str());
      std::fprintf(stderr, ", %.1f s\n", Seconds(now));
      return;
    }
    if (last_ && std::string_view(Stage(*last_)) != Stage(p)) Finish();
    last_ = p;
    // Redrawing costs more than a small epoch: ten times a second is enough for the eye.
    if (drawn_once_ && now - drawn_ < std::chrono::milliseconds(100)) return;
    Draw(p, now);
  }

  // Draws the last epoch's state and ends the bar's line.
  void Finish() {
    if (!terminal_ || !last_) return;
    Draw(*last_, std::chrono::steady_clock::now());
    std::fputc('\n', stderr);
    last_.reset();
    drawn_once_ = false;
  }

 private:
  static const char* Stage(const EpochProgress& p) {
    if (p.refit) return "refit epoch";
    if (p.weight_decay > 0) return p.raw_inputs ? "raw inputs, decay epoch" : "decay epoch";
    return p.raw_inputs ? "raw inputs epoch" : "epoch";
  }

  double Seconds(std::chrono::steady_clock::time_point now) const {
    return std::chrono::duration<double>(now - start_).count();
  }

  void Draw(const EpochProgress& p, std::chrono::steady_clock::time_point now) {
    drawn_ = now;
    drawn_once_ = true;
    constexpr std::size_t kWidth = 20;
    const std::size_t most = std::max<std::size_t>(p.max_epochs, 1);
    const std::size_t filled = kWidth * std::min(p.epoch, most) / most;
    std::string line = "\r[" + std::string(filled, '#') + std::string(kWidth - filled, '.') + "] " +
                       Stage(p) + " " + std::to_string(p.epoch) + "/" +
                       std::to_string(p.max_epochs) + "  train " + Brief(p.train_mse);
    if (!std::isnan(p.validation_mse)) {
      line += "  validation " + Brief(p.validation_mse) + "  best " + Brief(p.best_validation_mse) +
              " after " + std::to_string(p.best_epoch);
    }
    char seconds[32];
    std::snprintf(seconds, sizeof seconds, "  %.1f s ", Seconds(now));
    line += seconds;
    std::fputs(line.c_str(), stderr);
    std::fflush(stderr);
  }

 private:
  bool terminal_;
  std::chrono::steady_clock::time_point start_;
  std::chrono::steady_clock::time_point drawn_{};
  bool drawn_once_ = false;
  std::optional<EpochProgress> last_;
};

// Refuses an output file that would replace something it should not; replacing the starting
// network gets a message of its own, since that is rarely meant.
void CheckOutput(const OutputFile& out, const std::string& net) {
  std::error_code ec;
  if (!out.force && std::filesystem::equivalent(out.path, net, ec)) {
    throw ToolError("\"" + out.path + "\" is the starting network; pass --force to replace it");
  }
  CheckOutputPath(out);
}

void PrintErrors(const std::string& prefix, const Errors& errors) {
  std::cout << prefix << "rows: " << errors.rows << '\n';
  std::cout << prefix << "mse: " << ShortestText(errors.mse) << '\n';
  if (errors.accuracy) {
    std::cout << prefix << "accuracy: " << ShortestText(*errors.accuracy) << '\n';
  }
}

std::string StopText(StopReason reason, std::size_t patience) {
  switch (reason) {
    case StopReason::kTargetMse:
      return "the training error reached --target-mse";
    case StopReason::kPatience:
      return "no better validation error in " + Counted(patience, "epoch", "epochs");
    case StopReason::kStopped:
      return "interrupted";
    case StopReason::kMaxEpochs:
      break;
  }
  return "the epoch limit";
}

std::string LayerSizes(const Perceptron& net) {
  std::string text;
  for (const int size : net.GetNCount()) text += (text.empty() ? "" : "-") + std::to_string(size);
  return text;
}

struct TrainArguments {
  std::string net_path;
  std::string data_path;
  OutputFile out;
  std::string algorithm{AlgorithmName(TrainSettings{}.algorithm)};
  std::string validation_path;
  // Given or not: only when it is not do the defaults try the raw inputs as well.
  const CLI::Option* standardize_option = nullptr;
  // The library's settings, set by the options bound to them; the tool trains on every core
  // unless told otherwise.
  TrainSettings settings = [] {
    TrainSettings s;
    s.threads = 0;
    return s;
  }();
  EveryRowRules rules;
  // Given or not: only when it is not do the defaults try a weight decay as well.
  const CLI::Option* weight_decay_option = nullptr;
};

struct EvalArguments {
  std::string net_path;
  std::string data_path;
  bool outputs = false;
};

// The recipe OUT keeps: the one stated in DATA's header (and in the validation table's), else the
// one NET keeps; refused when two of them disagree or it does not fit the network.
std::optional<BarDatasetOptions> TrainedRecipe(const TrainArguments& args, const Perceptron& net) {
  std::optional<BarDatasetOptions> recipe = ReadTableRecipe(args.data_path);
  std::string source = "the table \"" + args.data_path + "\"";
  auto merge = [&](const std::optional<BarDatasetOptions>& other, const std::string& where) {
    if (!other) return;
    if (recipe && !SameRecipe(*recipe, *other)) {
      throw ToolError(source + " was made with the recipe (" + RecipeText(*recipe) + "), " + where +
                      " with (" + RecipeText(*other) + ")");
    }
    if (!recipe) source = where;
    recipe = other;
  };
  if (!args.validation_path.empty()) {
    merge(ReadTableRecipe(args.validation_path), "the table \"" + args.validation_path + "\"");
  }
  merge(ReadNetworkRecipe(args.net_path), "the network \"" + args.net_path + "\"");
  if (recipe) CheckRecipeFits(*recipe, net);
  return recipe;
}

void RunEval(const EvalArguments& args) {
  const std::unique_ptr<Perceptron> net = LoadNetworkFile(args.net_path);
  const DataTable rows = ReadDataTable(args.data_path, *net);
  if (!args.outputs) {
    PrintErrors("", Evaluate(*net, rows));
    return;
  }
  // The outputs wait until the figures are printed: a table that does not fit the network
  // stops the command before any line is written.
  std::string lines;
  const Errors errors = Evaluate(*net, rows, [&lines](std::span<const double> outputs) {
    lines += JoinShortest({outputs.begin(), outputs.end()});
    lines += '\n';
  });
  PrintErrors("", errors);
  std::cout << lines;
  FinishStandardOutput("outputs");
}

// "20%" for 0.2; shares that are no whole percentage keep their digits ("12.5%").
std::string Percent(double share) {
  return ShortestText(std::round(share * 1e6) / 1e4) + "%";
}

void RunTrain(const TrainArguments& args) {
  const std::unique_ptr<Perceptron> net = LoadNetworkFile(args.net_path);
  CheckOutput(args.out, args.net_path);
  const DataTable rows = ReadDataTable(args.data_path, *net);
  DataTable validation;
  if (!args.validation_path.empty()) validation = ReadDataTable(args.validation_path, *net);

  const std::optional<BarDatasetOptions> recipe = TrainedRecipe(args, *net);

  TrainSettings settings = args.settings;
  settings.algorithm = *AlgorithmNamed(args.algorithm);
  EveryRowRules rules = args.rules;
  if (!args.validation_path.empty()) rules.holdout = 0.0;
  rules.try_raw_inputs = args.standardize_option->count() == 0;
  if (args.weight_decay_option->count() > 0) rules.try_weight_decay = 0;

  const auto held = static_cast<std::size_t>(rules.holdout * static_cast<double>(rows.rows()));
  std::cerr << "training a " << LayerSizes(*net) << " network with " << args.algorithm << " on "
            << Counted(rows.rows(), "row", "rows") << ", ";
  if (validation.rows() > 0) {
    std::cerr << "validating on " << Counted(validation.rows(), "row", "rows") << " of "
              << args.validation_path;
  } else if (held > 0) {
    std::cerr << "the latest " << held << " deciding the epochs"
              << (rules.refit ? ", then on all of them" : "");
  } else {
    std::cerr << "without validation rows";
  }
  std::cerr << '\n';

  EveryRowOutcome outcome;
  {
    const InterruptCatcher catcher;
    Progress progress;
    const auto show = [&progress](const EpochProgress& p) {
      progress.Show(p);
      return !g_interrupted.load();
    };
    Perceptron trained;
    if (validation.rows() > 0) {
      // Every row of DATA trains already; FILE only decides when to stop.
      Trainer trainer(*net, rows, settings);
      outcome.decided = mplnet::Train(trainer, &validation, rules.stop, show);
      outcome.threads = trainer.threads();
      trained = trainer.Network();
    } else {
      trained = TrainOnEveryRow(*net, rows, settings, rules, show, &outcome);
    }
    progress.Finish();
    if (!AllFinite(trained)) {
      // iRPROP− has no learning rate: its steps are bounded, so what overflows there is folding
      // weights into the scale of an input that hardly varies.
      const std::string hint = settings.algorithm == Algorithm::kRprop
                                   ? " (an input that hardly varies gets weights too large to "
                                     "hold: scale it up)"
                                   : " (a smaller --learning-rate may help)";
      throw ToolError("training diverged: the weights are no longer finite numbers" + hint +
                      "; nothing written");
    }
    SaveNetworkReplacing(trained, args.out.path, recipe);
  }

  // What the run did, then the figures of the file as saved, as a host computes them.
  const bool decided = validation.rows() > 0 || outcome.held_rows > 0;
  if (decided) {
    std::cout << "stopped after " << Counted(outcome.decided.epochs, "epoch", "epochs") << ": "
              << StopText(outcome.decided.reason, rules.stop.patience) << '\n';
  }
  if (outcome.tried.size() > 1) {
    // The deciding runs' inputs and decay, the one taken first.
    const auto named = [](bool standardized, double decay) {
      return std::string(standardized ? "standardised" : "raw") +
             (decay > 0 ? ", weight decay " + Brief(decay) : "");
    };
    std::cout << "inputs " << named(outcome.standardized, outcome.weight_decay)
              << ": the latest rows' lowest error " << Brief(outcome.decided.best_validation_mse)
              << " against";
    const char* separator = " ";
    for (const EveryRowOutcome::Tried& t : outcome.tried) {
      if (t.standardized == outcome.standardized && t.weight_decay == outcome.weight_decay) {
        continue;
      }
      std::cout << separator << Brief(t.best_validation_mse) << " ("
                << named(t.standardized, t.weight_decay) << ")";
      separator = ", ";
    }
    std::cout << '\n';
  }
  DataTable trained_on = rows;
  if (outcome.refitted && decided) {
    std::cout << "epochs decided on the latest " << Percent(rules.holdout) << " of the rows ("
              << Counted(outcome.held_rows, "row", "rows") << "): " << outcome.decided.best_epoch
              << ", where their error was lowest\n";
    std::cout << "refit on all " << Counted(rows.rows(), "row", "rows") << " for "
              << Counted(outcome.refit.epochs, "epoch", "epochs");
    if (outcome.refit.reason != StopReason::kMaxEpochs) {
      std::cout << ", then stopped: " << StopText(outcome.refit.reason, rules.stop.patience);
    }
    std::cout << '\n';
  } else if (outcome.refitted) {
    std::cout << "stopped after " << Counted(outcome.refit.epochs, "epoch", "epochs") << ": "
              << StopText(outcome.refit.reason, rules.stop.patience) << '\n';
  } else {
    if (!std::isnan(outcome.refit_mse)) {
      std::cout << "refit on all " << Counted(rows.rows(), "row", "rows") << " for "
                << Counted(outcome.refit.epochs, "epoch", "epochs")
                << " dropped: its error on every row, " << Brief(outcome.refit_mse)
                << ", was above the deciding run's network's, " << Brief(outcome.decided_mse)
                << '\n';
    }
    std::cout << "kept the network after " << Counted(outcome.decided.best_epoch, "epoch", "epochs")
              << ", whose validation error was lowest\n";
    if (validation.rows() == 0) {
      validation = rows.Slice(rows.rows() - outcome.held_rows, outcome.held_rows);
      trained_on = rows.Slice(0, rows.rows() - outcome.held_rows);
    }
  }
  std::cout << "saved: " << args.out.path << '\n';
  const std::unique_ptr<Perceptron> saved = LoadNetworkFile(args.out.path);
  PrintErrors("train ", Evaluate(*saved, trained_on));
  if (validation.rows() > 0) PrintErrors("validation ", Evaluate(*saved, validation));
  FinishStandardOutput("report");
}

}  // namespace

Command AddTrainCommand(CLI::App& app) {
  auto args = std::make_shared<TrainArguments>();
  CLI::App* train =
      AddSubcommand(app, "train", "Train a network's weights on a data table", help::kTrain,
                    {{"weight_decay", Brief(EveryRowRules{}.try_weight_decay)}});
  AddNetworkArgument(train, args->net_path, "the starting network file");
  train->add_option("DATA", args->data_path, "the data table")->required();
  AddOutputFile(train, args->out, "OUT", "the network file to write", "even when it is NET");
  std::vector<std::string> algorithms;
  for (const Algorithm a : {Algorithm::kRprop, Algorithm::kAdam, Algorithm::kBackprop}) {
    algorithms.emplace_back(AlgorithmName(a));
  }
  train
      ->add_option("--algorithm", args->algorithm,
                   "rprop (iRPROP-), adam or backprop (incremental)")
      ->check(CLI::IsMember(algorithms))
      ->capture_default_str();
  AddSetting(train, kMaxEpochsSetting, args->rules.stop);
  AddSetting(train, kTargetMseSetting, args->rules.stop);
  CLI::Option* validate = AddSetting(train, kHoldoutSetting, args->rules);
  train->add_option("--validation", args->validation_path, "validate on this table instead")
      ->type_name("FILE")
      ->excludes(validate);
  AddSetting(train, kPatienceSetting, args->rules.stop);
  train->add_flag("--refit,!--no-refit", args->rules.refit,
                  "after deciding the epochs, train again on every row (default: on)");
  AddSetting(train, kSeedSetting, args->settings);
  AddSetting(train, kThreadsSetting, args->settings);
  args->standardize_option =
      train->add_flag("--standardize,!--no-standardize", args->settings.standardize,
                      "standardise inputs and fold the scaling into OUT (default: the inputs, "
                      "standardised or raw, whose deciding run's error is lower)");
  AddSetting(train, kLearningRateSetting, args->settings);
  AddSetting(train, kBatchSizeSetting, args->settings);
  AddSetting(train, kMomentumSetting, args->settings);
  // Given, it fixes the decay: the deciding runs then try no other.
  args->weight_decay_option = AddSetting(train, kWeightDecaySetting, args->settings);
  return {train, [args] { RunTrain(*args); }};
}

Command AddEvalCommand(CLI::App& app) {
  auto args = std::make_shared<EvalArguments>();
  CLI::App* eval =
      AddSubcommand(app, "eval", "Measure a network's error on a data table", help::kEval);
  AddNetworkArgument(eval, args->net_path);
  eval->add_option("DATA", args->data_path, "the data table")->required();
  eval->add_flag("--outputs", args->outputs, "also print each row's outputs");
  return {eval, [args] { RunEval(*args); }};
}

}  // namespace mplnet::tool
