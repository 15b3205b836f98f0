// The trainer: passes over chunks of rows as batched dense products (Eigen), backpropagation
// through the stages of the layout, and the three algorithms that turn gradients into steps.
//
// A chunk's rows are the rows of its matrices: `act` holds every node's output (inputs first, then
// neurons in forward order), `delta` every neuron's error. A stage computes its members' sums as
// the product of its source ranges' columns and their weight blocks, and passes errors back the
// same way; a sparse stage does both link by link. Nothing is allocated per epoch: each thread owns
// the matrices of one chunk, and each part of a batch a gradient of its own. The rows are read from
// the table itself, standardised chunk by chunk as they are loaded, so the trainer holds no second
// copy of them.
#include <Eigen/Core>
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <limits>
#include <memory>
#include <optional>
#include <random>
#include <span>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include "datasets/row_checks.h"
#include "mplnet/train.h"
#include "training/chunk_pool.h"
#include "training/network_layout.h"
#include "training/trainer_internal.h"

namespace mplnet {
namespace training {
namespace {

using Matrix = Eigen::MatrixXd;
using Vector = Eigen::VectorXd;
using Index = Eigen::Index;
using WeightBlock = Eigen::Map<const Matrix>;
using GradientBlock = Eigen::Map<Matrix>;

// Rows per chunk: a part of a batch is computed a chunk of at most this many rows at a time. Large
// enough for the products to run at full speed, small enough for a chunk's matrices to stay in
// cache. Fewer when a part has fewer rows, or when a chunk's matrices would hold more than half as
// many numbers as the training rows (a small table on a wide network), down to kLeastChunkRows.
constexpr std::size_t kChunkRows = 128;
constexpr std::size_t kLeastChunkRows = 16;

// A batch is cut into parts, whose gradients are computed independently (on any thread) and then
// added in a fixed order; the parts depend on the batch and the network only, never on the thread
// count, so neither does the sum. A batch is cut in two while each half keeps at least this much
// work (rows × parameters): less would cost more in waking a thread than it saves. At most
// kMostParts parts, each holding a gradient.
constexpr std::size_t kPartWork = std::size_t{1} << 16;
constexpr std::size_t kMostParts = 4;

// Adam's decay rates and its guard against dividing by zero.
constexpr double kAdamBeta1 = 0.9;
constexpr double kAdamBeta2 = 0.999;
constexpr double kAdamEpsilon = 1e-8;

// One thread's working memory for one chunk of rows.
struct Workspace {
  Matrix act;      // rows × nodes: the inputs, then every neuron's output
  Matrix delta;    // rows × neurons: the error at each neuron's sum
  Matrix targets;  // rows × outputs
};

// The logistic sigmoid or the hyperbolic tangent of alpha × s, in place. Written through exp, which
// Eigen computes several values at a time; tanh(u) = 1 − 2 / (e^(2u) + 1).
template <typename Column>
void Activate(Column z, const Layout::Activation& a) {
  auto x = z.array();
  if (a.tanh) {
    x = 1.0 - 2.0 * (((2.0 * a.alpha) * x).exp() + 1.0).inverse();
  } else {
    x = (1.0 + ((-a.alpha) * x).exp()).inverse();
  }
}

// Multiplies the errors at a neuron's output by the derivative of its activation, expressed
// through the output v: alpha (1 − v)(1 + v) for TH, alpha v (1 − v) otherwise.
template <typename Errors, typename Outputs>
void ThroughActivation(Errors d, Outputs v, const Layout::Activation& a) {
  auto e = d.array();
  auto y = v.array();
  if (a.tanh) {
    e *= a.alpha * (1.0 - y) * (1.0 + y);
  } else {
    e *= a.alpha * y * (1.0 - y);
  }
}

void CheckSettings(const TrainSettings& s) {
  auto refuse = [](const std::string& what) { throw TrainingError("setting " + what); };
  auto finite = [](double v) { return std::isfinite(v); };
  if (!finite(s.rprop_increase) || s.rprop_increase <= 1.0) {
    refuse("rprop_increase must be above 1");
  }
  if (!finite(s.rprop_decrease) || s.rprop_decrease <= 0.0 || s.rprop_decrease >= 1.0) {
    refuse("rprop_decrease must lie between 0 and 1");
  }
  if (!finite(s.rprop_min_step) || !finite(s.rprop_max_step) || s.rprop_min_step <= 0.0 ||
      s.rprop_max_step < s.rprop_min_step) {
    refuse("rprop_min_step and rprop_max_step must satisfy 0 < min <= max");
  }
  if (!finite(s.rprop_initial_step) || s.rprop_initial_step <= 0.0) {
    refuse("rprop_initial_step must be above 0");
  }
  // 0 stands for the algorithm's own learning rate.
  if (s.learning_rate != 0.0 && !kLearningRateSetting.Accepts(s)) {
    throw TrainingError(kLearningRateSetting.Refusal() + " (or 0 for the algorithm's own)");
  }
  if (!kBatchSizeSetting.Accepts(s)) throw TrainingError(kBatchSizeSetting.Refusal());
  if (!kMomentumSetting.Accepts(s)) throw TrainingError(kMomentumSetting.Refusal());
  if (!kThreadsSetting.Accepts(s)) throw TrainingError(kThreadsSetting.Refusal());
  if (!kWeightDecaySetting.Accepts(s)) throw TrainingError(kWeightDecaySetting.Refusal());
}

}  // namespace

// The trainer itself, behind Trainer.
class TrainerCore {
 public:
  TrainerCore(const Perceptron& net, const DataTable& rows, const TrainSettings& settings)
      : layout_(CompileLayout(net)), shape_(ShapeOf(net)), settings_(settings) {
    CheckSettings(settings);
    CheckTable(shape_, rows);
    if (rows.rows() == 0) throw TrainingError("there are no training rows");
    if (rows.rows() > std::numeric_limits<std::uint32_t>::max()) {
      throw TrainingError("more training rows than the trainer can number");
    }
    if (settings_.learning_rate == 0.0) {
      settings_.learning_rate =
          settings_.algorithm == Algorithm::kAdam ? kAdamLearningRate : kBackpropLearningRate;
    }
    MeasureInputs(rows);
    rows_ = rows;

    const auto p = static_cast<Index>(layout_.parameters);
    params_ = Eigen::Map<const Vector>(layout_.initial.data(), p);
    if (!layout_.mask.empty()) {
      mask_ = Eigen::Map<const Vector>(layout_.mask.data(), p);
    }
    // Both now live in params_ and mask_.
    layout_.initial = std::vector<double>();
    layout_.mask = std::vector<double>();
    switch (settings_.algorithm) {
      case Algorithm::kRprop:
        first_state_ = Vector::Zero(p);                                     // the previous gradient
        second_state_ = Vector::Constant(p, settings_.rprop_initial_step);  // steps
        break;
      case Algorithm::kAdam:
        first_state_ = Vector::Zero(p);   // first moments
        second_state_ = Vector::Zero(p);  // second moments
        break;
      case Algorithm::kBackprop:
        first_state_ = Vector::Zero(p);  // the previous step
        break;
    }
    if (settings_.algorithm != Algorithm::kRprop) {
      // Only the algorithms that reorder the rows need an order.
      order_.resize(rows.rows());
      for (std::size_t i = 0; i < order_.size(); ++i) order_[i] = static_cast<std::uint32_t>(i);
    }
    random_.seed(settings_.seed);

    // The largest batch an epoch computes, and its parts.
    std::size_t batch = rows.rows();
    if (settings_.algorithm == Algorithm::kAdam) batch = std::min(settings_.batch_size, batch);
    if (settings_.algorithm == Algorithm::kBackprop) batch = 1;
    const std::size_t parts = PartsOf(batch);
    gradients_.assign(parts, Vector::Zero(p));
    sses_.assign(parts, 0.0);
    const std::size_t chunk_width = layout_.nodes() + layout_.neurons.size() + layout_.outputs;
    const std::size_t within_data =
        rows.rows() * (layout_.inputs + layout_.outputs) / (2 * chunk_width);
    chunk_rows_ = std::min(
        {kChunkRows, (rows.rows() + parts - 1) / parts, std::max(kLeastChunkRows, within_data)});

    unsigned wanted = settings_.threads;
    if (wanted == 0) wanted = std::max(1U, std::thread::hardware_concurrency());
    // More threads than parts would wait for nothing.
    pool_ = std::make_unique<ChunkPool>(
        static_cast<unsigned>(std::min<std::size_t>(wanted, PartsOf(rows.rows()))));
    workspaces_.resize(pool_->threads());
    for (Workspace& ws : workspaces_) {
      const auto rows_per_chunk = static_cast<Index>(chunk_rows_);
      ws.act = Matrix::Zero(rows_per_chunk, static_cast<Index>(layout_.nodes()));
      ws.delta = Matrix::Zero(rows_per_chunk, static_cast<Index>(layout_.neurons.size()));
      ws.targets = Matrix::Zero(rows_per_chunk, static_cast<Index>(layout_.outputs));
    }
  }

  double RunEpoch() {
    ++epochs_;
    const std::size_t n = rows_.rows();
    double sse = 0;
    switch (settings_.algorithm) {
      case Algorithm::kRprop:
        ComputeGradient(nullptr, 0, n);
        sse = sse_;
        RpropStep();
        break;
      case Algorithm::kAdam:
        Shuffle();
        for (std::size_t first = 0; first < n; first += settings_.batch_size) {
          const std::size_t count = std::min(settings_.batch_size, n - first);
          ComputeGradient(order_.data(), first, count);
          sse += sse_;
          AdamStep(count);
        }
        break;
      case Algorithm::kBackprop:
        Shuffle();
        for (std::size_t i = 0; i < n; ++i) {
          ComputeGradient(order_.data(), i, 1);
          sse += sse_;
          first_state_ =
              settings_.momentum * first_state_ - settings_.learning_rate * gradients_[0];
          params_ += first_state_;
        }
        break;
    }
    return sse / (static_cast<double>(n) * static_cast<double>(layout_.outputs));
  }

  double MeanSquaredError(const DataTable& rows) const {
    if (rows.inputs() != layout_.inputs || rows.targets() != layout_.outputs) {
      CheckTable(shape_, rows);  // throws, saying how the counts differ
    }
    if (rows.rows() == 0) return std::numeric_limits<double>::quiet_NaN();
    const std::size_t parts = PartsOf(rows.rows());
    std::vector<double> sses(parts);
    auto work = [&](std::size_t part, unsigned t) {
      Workspace& ws = workspaces_[t];
      const auto [begin, end] = PartRows(part, parts, 0, rows.rows());
      double sse = 0;
      for (std::size_t start = begin; start < end; start += chunk_rows_) {
        const auto count = static_cast<Index>(std::min(chunk_rows_, end - start));
        Load(ws, rows, nullptr, start, count);
        Forward(ws, count);
        sse += (ws.act.topRows(count).rightCols(static_cast<Index>(layout_.outputs)) -
                ws.targets.topRows(count))
                   .squaredNorm();
      }
      sses[part] = sse;
    };
    pool_->Run(parts, work);
    AddParts(sses);
    return sses[0] / (static_cast<double>(rows.rows()) * static_cast<double>(layout_.outputs));
  }

  // The sum over rows [first, first + count) of the training rows (in `order`, when given) of the
  // gradient of ½ Σ (output − target)², into gradients_[0], and their squared errors into sse_.
  void ComputeGradient(const std::uint32_t* order, std::size_t first, std::size_t count) {
    const std::size_t parts = PartsOf(count);
    auto work = [&](std::size_t part, unsigned t) {
      Workspace& ws = workspaces_[t];
      const auto [begin, end] = PartRows(part, parts, first, count);
      double sse = 0;
      for (std::size_t start = begin; start < end; start += chunk_rows_) {
        const auto rows = static_cast<Index>(std::min(chunk_rows_, end - start));
        Load(ws, rows_, order, start, rows);
        Forward(ws, rows);
        sse += Backward(ws, rows, gradients_[part], start != begin);
      }
      sses_[part] = sse;
    };
    pool_->Run(parts, work);
    AddParts(std::span<Vector>(gradients_.data(), parts));
    AddParts(std::span<double>(sses_.data(), parts));
    sse_ = sses_[0];
    // Block entries that stand for no link are 0 and get no gradient, so they stay 0.
    if (settings_.weight_decay > 0) {
      gradients_[0] += (settings_.weight_decay * static_cast<double>(count)) * params_;
    }
    if (mask_.size() != 0) gradients_[0].array() *= mask_.array();
  }

  Perceptron Network(bool folded) const {
    const std::span<const double> params(params_.data(), static_cast<std::size_t>(params_.size()));
    if (folded && settings_.standardize) {
      return BuildNetwork(layout_, params, means_, scales_);
    }
    return BuildNetwork(layout_, params);
  }

  Perceptron GradientNetwork() const {
    const Vector& gradient = gradients_[0];
    return BuildNetwork(layout_, std::span<const double>(
                                     gradient.data(), static_cast<std::size_t>(gradient.size())));
  }

  void SaveWeights() {
    saved_ = params_;
    has_saved_ = true;
  }
  void RestoreWeights() {
    if (has_saved_) params_ = saved_;
  }

  std::size_t epochs() const { return epochs_; }
  unsigned threads() const { return pool_->threads(); }
  const std::vector<double>& means() const { return means_; }
  const std::vector<double>& scales() const { return scales_; }
  double sse() const { return sse_; }
  std::size_t rows() const { return rows_.rows(); }

 private:
  // The parts a batch of `rows` rows is cut into: a power of two, so that AddParts adds halves.
  std::size_t PartsOf(std::size_t rows) const {
    const std::size_t work = rows * layout_.parameters;
    std::size_t parts = 1;
    while (parts < kMostParts && parts * 2 <= rows && work / (parts * 2) >= kPartWork) parts *= 2;
    return parts;
  }

  // The rows [begin, end) of part `part` of `parts` of the batch [first, first + count).
  static std::pair<std::size_t, std::size_t> PartRows(std::size_t part, std::size_t parts,
                                                      std::size_t first, std::size_t count) {
    return {first + part * count / parts, first + (part + 1) * count / parts};
  }

  // Adds the parts' results into the first, always in the same order: neighbours first, then
  // neighbouring pairs, and so on.
  template <typename T>
  static void AddParts(std::span<T> parts) {
    for (std::size_t step = 1; step < parts.size(); step *= 2) {
      for (std::size_t i = 0; i + step < parts.size(); i += 2 * step) parts[i] += parts[i + step];
    }
  }
  static void AddParts(std::vector<double>& parts) { AddParts(std::span<double>(parts)); }

  // Means and scales over the training rows; an input constant over them keeps scale 1.
  //
  // Each input is measured in units of a power of two near its largest magnitude, so that neither
  // its sum nor its squares overflow (values near the largest double) or underflow (deviations
  // near 1e-200) whatever the size of its values. A power of two scales a double exactly, so
  // wherever measuring directly would not overflow or underflow the results are its bits. Loading
  // a row uses the same units, since a value minus the mean may overflow too. An input that varies
  // by less than the smallest normal double is refused: its scaled weights could not be folded
  // into the network.
  void MeasureInputs(const DataTable& rows) {
    means_.assign(layout_.inputs, 0.0);
    scales_.assign(layout_.inputs, 1.0);
    std::vector<double> units(layout_.inputs, 1.0);
    std::vector<double> means(layout_.inputs, 0.0);
    std::vector<double> scales(layout_.inputs, 1.0);
    const auto n = static_cast<double>(rows.rows());
    for (std::size_t j = 0; settings_.standardize && j < layout_.inputs; ++j) {
      double low = rows.row(0)[j];
      double high = low;
      for (std::size_t i = 0; i < rows.rows(); ++i) {
        low = std::min(low, rows.row(i)[j]);
        high = std::max(high, rows.row(i)[j]);
      }
      int exponent = 0;
      std::frexp(std::max(std::abs(low), std::abs(high)), &exponent);
      // Within [-1020, 1020], so that the unit and its inverse are normal numbers.
      const double unit = std::ldexp(1.0, -std::clamp(exponent, -1020, 1020));
      double sum = 0;
      for (std::size_t i = 0; i < rows.rows(); ++i) sum += rows.row(i)[j] * unit;
      const double mean = sum / n;
      double squares = 0;
      for (std::size_t i = 0; i < rows.rows(); ++i) {
        const double d = rows.row(i)[j] * unit - mean;
        squares += d * d;
      }
      const double scale = std::sqrt(squares / n);
      units[j] = unit;
      means[j] = mean;
      means_[j] = mean / unit;
      if (low == high || scale == 0) continue;
      if (scale / unit < std::numeric_limits<double>::min()) {
        char deviation[32];
        std::snprintf(deviation, sizeof deviation, "%.3g", scale / unit);
        throw TrainingError("input " + std::to_string(j + 1) + " (element " +
                            PositionText(0, static_cast<long long>(j)) + ") deviates by only " +
                            deviation +
                            " over the training rows, too little to standardise: scale its "
                            "values up, or train without standardisation");
      }
      scales[j] = scale;
      scales_[j] = scale / unit;
    }
    auto row = [](const std::vector<double>& v) {
      return Eigen::Map<const Eigen::RowVectorXd>(v.data(), static_cast<Index>(v.size()));
    };
    unit_row_ = row(units);
    mean_row_ = row(means);
    scale_row_ = row(scales);
  }

  // Rows [first, first + rows) of `table` (in `order`, when given) into the chunk: the inputs,
  // standardised, and the targets.
  void Load(Workspace& ws, const DataTable& table, const std::uint32_t* order, std::size_t first,
            Index rows) const {
    const auto inputs = static_cast<Index>(layout_.inputs);
    const auto outputs = static_cast<Index>(layout_.outputs);
    if (order == nullptr) {
      // Consecutive rows: read in place, as a row-major block.
      using Rows = Eigen::Matrix<double, Eigen::Dynamic, Eigen::Dynamic, Eigen::RowMajor>;
      const Eigen::OuterStride<> stride(inputs + outputs);
      const double* values = table.row(first).data();
      const Eigen::Map<const Rows, 0, Eigen::OuterStride<>> x(values, rows, inputs, stride);
      if (settings_.standardize) {
        ws.act.topLeftCorner(rows, inputs).array() =
            ((x.array().rowwise() * unit_row_.array()).rowwise() - mean_row_.array()).rowwise() /
            scale_row_.array();
      } else {
        ws.act.topLeftCorner(rows, inputs) = x;
      }
      ws.targets.topRows(rows) =
          Eigen::Map<const Rows, 0, Eigen::OuterStride<>>(values + inputs, rows, outputs, stride);
      return;
    }
    for (Index r = 0; r < rows; ++r) {
      const std::span<const double> row = table.row(order[first + static_cast<std::size_t>(r)]);
      for (Index j = 0; j < inputs; ++j) {
        ws.act(r, j) =
            (row[static_cast<std::size_t>(j)] * unit_row_[j] - mean_row_[j]) / scale_row_[j];
      }
      for (Index k = 0; k < outputs; ++k) {
        ws.targets(r, k) = row[static_cast<std::size_t>(inputs + k)];
      }
    }
  }

  void Forward(Workspace& ws, Index rows) const {
    auto act = ws.act.topRows(rows);
    const double* p = params_.data();
    const auto inputs = static_cast<Index>(layout_.inputs);
    for (const Layout::Stage& stage : layout_.stages) {
      auto z = act.middleCols(inputs + stage.first, stage.count);
      if (stage.sparse) {
        for (std::uint32_t m = 0; m < stage.count; ++m) {
          auto sum = z.col(m);
          sum.setZero();
          const std::size_t k = stage.first + m;
          for (std::size_t l = layout_.link_start[k]; l < layout_.link_start[k + 1]; ++l) {
            const Layout::Link& link = layout_.links[l];
            sum += p[link.weight] * act.col(link.node);
          }
        }
      } else if (stage.range_count == 0) {
        z.setZero();
      }
      for (std::uint32_t r = 0; r < stage.range_count; ++r) {
        const Layout::Range& range = layout_.ranges[stage.first_range + r];
        const WeightBlock w(p + range.weights, range.count, stage.count);
        if (r == 0) {
          z.noalias() = act.middleCols(range.first_node, range.count) * w;
        } else {
          z.noalias() += act.middleCols(range.first_node, range.count) * w;
        }
      }
      const Eigen::Map<const Eigen::RowVectorXd> thresholds(p + stage.thresholds, stage.count);
      z.rowwise() -= thresholds;
      for (std::uint32_t m = 0; m < stage.count; ++m) {
        Activate(z.col(m), layout_.neurons[stage.first + m]);
      }
    }
  }

  // Adds the chunk's gradient to `gradient` (or sets it, unless `add`); returns the chunk's sum of
  // squared errors.
  double Backward(Workspace& ws, Index rows, Vector& gradient, bool add) const {
    auto act = ws.act.topRows(rows);
    auto delta = ws.delta.topRows(rows);
    const auto inputs = static_cast<Index>(layout_.inputs);
    const auto outputs = static_cast<Index>(layout_.outputs);
    const auto neurons = static_cast<Index>(layout_.neurons.size());
    delta.leftCols(neurons - outputs).setZero();
    delta.rightCols(outputs) = act.rightCols(outputs) - ws.targets.topRows(rows);
    const double sse = delta.rightCols(outputs).squaredNorm();
    const double* p = params_.data();
    double* g = gradient.data();
    for (auto stage = layout_.stages.rbegin(); stage != layout_.stages.rend(); ++stage) {
      auto d = delta.middleCols(stage->first, stage->count);
      auto v = act.middleCols(inputs + stage->first, stage->count);
      for (std::uint32_t m = 0; m < stage->count; ++m) {
        ThroughActivation(d.col(m), v.col(m), layout_.neurons[stage->first + m]);
      }
      if (stage->sparse) {
        for (std::uint32_t m = 0; m < stage->count; ++m) {
          const auto error = d.col(m);
          const std::size_t k = stage->first + m;
          for (std::size_t l = layout_.link_start[k]; l < layout_.link_start[k + 1]; ++l) {
            const Layout::Link& link = layout_.links[l];
            const double slope = act.col(link.node).dot(error);
            g[link.weight] = add ? g[link.weight] + slope : slope;
            if (link.node >= inputs) delta.col(link.node - inputs) += p[link.weight] * error;
          }
        }
      }
      for (std::uint32_t r = 0; r < stage->range_count; ++r) {
        const Layout::Range& range = layout_.ranges[stage->first_range + r];
        GradientBlock block(g + range.weights, range.count, stage->count);
        if (add) {
          block.noalias() += act.middleCols(range.first_node, range.count).transpose() * d;
        } else {
          block.noalias() = act.middleCols(range.first_node, range.count).transpose() * d;
        }
        if (range.first_node >= inputs) {
          const WeightBlock w(p + range.weights, range.count, stage->count);
          delta.middleCols(range.first_node - inputs, range.count).noalias() += d * w.transpose();
        }
      }
      // The threshold is subtracted from the sum: its gradient is minus the error.
      Eigen::Map<Eigen::RowVectorXd> thresholds(g + stage->thresholds, stage->count);
      if (add) {
        thresholds.noalias() -= d.colwise().sum();
      } else {
        thresholds.noalias() = -d.colwise().sum();
      }
    }
    return sse;
  }

  void RpropStep() {
    const double increase = settings_.rprop_increase;
    const double decrease = settings_.rprop_decrease;
    const double most = settings_.rprop_max_step;
    const double least = settings_.rprop_min_step;
    for (Index i = 0; i < params_.size(); ++i) {
      double g = gradients_[0][i];
      const double previous = first_state_[i];
      double step = second_state_[i];
      if ((g > 0 && previous > 0) || (g < 0 && previous < 0)) {
        step = std::min(step * increase, most);
      } else if ((g > 0 && previous < 0) || (g < 0 && previous > 0)) {
        // The last step went too far: a smaller step, and none now (iRPROP−).
        step = std::max(step * decrease, least);
        g = 0;
      }
      if (g > 0) {
        params_[i] -= step;
      } else if (g < 0) {
        params_[i] += step;
      }
      second_state_[i] = step;
      first_state_[i] = g;
    }
  }

  void AdamStep(std::size_t rows) {
    adam_beta1_power_ *= kAdamBeta1;
    adam_beta2_power_ *= kAdamBeta2;
    const double scale = 1.0 / static_cast<double>(rows);  // the batch's mean gradient
    const double rate = settings_.learning_rate;
    const double first_correction = 1.0 / (1.0 - adam_beta1_power_);
    const double second_correction = 1.0 / (1.0 - adam_beta2_power_);
    for (Index i = 0; i < params_.size(); ++i) {
      const double g = gradients_[0][i] * scale;
      const double m = kAdamBeta1 * first_state_[i] + (1.0 - kAdamBeta1) * g;
      const double v = kAdamBeta2 * second_state_[i] + (1.0 - kAdamBeta2) * g * g;
      first_state_[i] = m;
      second_state_[i] = v;
      params_[i] -=
          rate * (m * first_correction) / (std::sqrt(v * second_correction) + kAdamEpsilon);
    }
  }

  // A uniform draw from [0, n), the same on every platform (the standard distributions are not).
  std::uint64_t Below(std::uint64_t n) {
    const std::uint64_t limit =
        std::numeric_limits<std::uint64_t>::max() - std::numeric_limits<std::uint64_t>::max() % n;
    std::uint64_t draw = random_();
    while (draw >= limit) draw = random_();
    return draw % n;
  }

  // A new order of the rows, drawn from the seed.
  void Shuffle() {
    for (std::size_t i = order_.size(); i > 1; --i) {
      std::swap(order_[i - 1], order_[Below(i)]);
    }
  }

  Layout layout_;
  RowShape shape_;
  TrainSettings settings_;
  std::vector<double> means_;
  std::vector<double> scales_;
  // Per input, the unit it is measured in, and its mean and scale in that unit: a row is loaded
  // as (value × unit − mean) / scale. Units 1, means 0 and scales 1 without standardisation.
  Eigen::RowVectorXd unit_row_;
  Eigen::RowVectorXd mean_row_;
  Eigen::RowVectorXd scale_row_;
  DataTable rows_;  // the training rows, shared with the table the trainer was built from
  Vector params_;
  Vector mask_;                    // empty when every parameter is a weight or threshold
  std::vector<Vector> gradients_;  // per part of a batch; their sum ends in the first
  std::vector<double> sses_;       // per part, the sum of squared errors; likewise
  double sse_ = 0;
  Vector first_state_;  // per algorithm, see the constructor
  Vector second_state_;
  Vector saved_;
  bool has_saved_ = false;
  double adam_beta1_power_ = 1.0;
  double adam_beta2_power_ = 1.0;
  std::vector<std::uint32_t> order_;  // Adam and backpropagation only
  std::mt19937_64 random_;
  std::size_t epochs_ = 0;
  std::size_t chunk_rows_ = kChunkRows;
  std::unique_ptr<ChunkPool> pool_;
  mutable std::vector<Workspace> workspaces_;
};

Perceptron GradientOf(const Perceptron& net, const DataTable& rows, double* sse,
                      double weight_decay) {
  TrainSettings settings;
  settings.standardize = false;
  settings.weight_decay = weight_decay;
  TrainerCore impl(net, rows, settings);
  impl.ComputeGradient(nullptr, 0, rows.rows());
  if (sse != nullptr) *sse = impl.sse();
  return impl.GradientNetwork();
}

}  // namespace training

Trainer::Trainer(const Perceptron& net, const DataTable& rows, const TrainSettings& settings)
    : impl_(std::make_unique<training::TrainerCore>(net, rows, settings)) {}
Trainer::~Trainer() = default;
Trainer::Trainer(Trainer&&) noexcept = default;
Trainer& Trainer::operator=(Trainer&&) noexcept = default;

double Trainer::RunEpoch() {
  return impl_->RunEpoch();
}
std::size_t Trainer::epochs() const {
  return impl_->epochs();
}
unsigned Trainer::threads() const {
  return impl_->threads();
}
double Trainer::MeanSquaredError(const DataTable& rows) const {
  return impl_->MeanSquaredError(rows);
}
void Trainer::SaveWeights() {
  impl_->SaveWeights();
}
void Trainer::RestoreWeights() {
  impl_->RestoreWeights();
}
Perceptron Trainer::Network() const {
  return impl_->Network(true);
}
Perceptron Trainer::TrainingNetwork() const {
  return impl_->Network(false);
}
const std::vector<double>& Trainer::InputMeans() const {
  return impl_->means();
}
const std::vector<double>& Trainer::InputScales() const {
  return impl_->scales();
}

std::string_view AlgorithmName(Algorithm algorithm) {
  switch (algorithm) {
    case Algorithm::kAdam:
      return "adam";
    case Algorithm::kBackprop:
      return "backprop";
    case Algorithm::kRprop:
      break;
  }
  return "rprop";
}

std::optional<Algorithm> AlgorithmNamed(std::string_view name) {
  for (const Algorithm a : {Algorithm::kRprop, Algorithm::kAdam, Algorithm::kBackprop}) {
    if (AlgorithmName(a) == name) return a;
  }
  return std::nullopt;
}

}  // namespace mplnet
