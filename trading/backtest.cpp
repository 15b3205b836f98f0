// Backtests: positions from outputs, the account they make, and its figures.
#include "mplnet/backtest.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include "mplnet/bar_recipe.h"
#include "mplnet/shortest_text.h"

namespace mplnet {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kSecondsPerYear = 365.25 * 86400.0;

void AppendNumber(std::string& out, double v) {
  if (std::isnan(v)) {
    out += "nan";  // never "-nan": the sign of a missing value means nothing
    return;
  }
  AppendShortest(out, v);
}

// The sample mean and standard deviation (n - 1) of `values`; NaN below two values.
struct Spread {
  double mean = kNaN;
  double deviation = kNaN;
};
Spread SampleSpread(const std::vector<double>& values) {
  Spread s;
  if (values.size() < 2) return s;
  double sum = 0.0;
  for (const double v : values) sum += v;
  s.mean = sum / static_cast<double>(values.size());
  double squares = 0.0;
  for (const double v : values) squares += (v - s.mean) * (v - s.mean);
  s.deviation = std::sqrt(squares / static_cast<double>(values.size() - 1));
  return s;
}

std::string TimeRangeText(std::uint32_t from, std::uint32_t to) {
  return "from time " + std::to_string(from) + " to time " + std::to_string(to);
}

}  // namespace

void CheckTradingRules(const TradingRules& rules) {
  if (!std::isfinite(rules.cost) || rules.cost < 0.0) {
    std::string text;
    AppendNumber(text, rules.cost);
    throw BarDataError("the cost " + text + " is not a finite number of at least 0");
  }
  if (!std::isfinite(rules.threshold) || rules.threshold < 0.0) {
    std::string text;
    AppendNumber(text, rules.threshold);
    throw BarDataError("the threshold " + text + " is not a finite number of at least 0");
  }
}

double OutputMiddle(const Perceptron& net) {
  const int layers = net.GetLCount();
  if (layers < 2) throw BarDataError("the network needs an input layer and an output layer");
  const int outputs = net.GetLayerSize(layers - 1);
  if (outputs != 1) {
    throw BarDataError("the network has " + std::to_string(outputs) +
                       " outputs; a position is decided from one output per row");
  }
  const std::shared_ptr<Elem> out = net.getElem(layers - 1, 0);
  const bool tanh = out != nullptr && out->kernel->GetAttr(Neuron::ATTR_ATYPE) == Neuron::TH;
  return tanh ? 0.0 : 0.5;
}

int DecidePosition(double output, double middle, const TradingRules& rules) {
  if (output > middle + rules.threshold) return 1;
  if (output < middle - rules.threshold) return rules.long_only ? 0 : -1;
  return 0;
}

void SettleAccount(std::vector<AccountLine>& lines, double cost, int previous) {
  double summed = 0.0;
  int before = previous;  // the position before the previous line's
  for (std::size_t k = 0; k < lines.size(); ++k) {
    AccountLine& line = lines[k];
    if (k == 0) {
      line.pnl = 0.0;
    } else {
      const int held = lines[k - 1].position;
      const double log_return = std::log(line.close / lines[k - 1].close);
      // A flat position earns exactly 0, never -0; a short one earns the negated return exactly.
      const double earned = held == 0 ? 0.0 : (held > 0 ? log_return : -log_return);
      line.pnl = earned - cost * std::abs(held - before);
      before = held;
    }
    summed += line.pnl;
    line.equity = std::exp(summed);
  }
}

BacktestFigures ComputeFigures(const std::vector<AccountLine>& lines, double cost) {
  BacktestFigures f;
  f.cost = cost;
  if (lines.empty()) return f;
  const std::size_t n = lines.size();
  f.bars = n - 1;
  f.from = lines.front().time;
  f.to = lines.back().time;
  f.total_return = lines.back().equity - 1.0;
  f.buy_and_hold = lines.back().close / lines.front().close - 1.0;
  const double years = static_cast<double>(f.to - f.from) / kSecondsPerYear;
  f.annual_return = years > 0.0 ? std::pow(1.0 + f.total_return, 1.0 / years) - 1.0 : kNaN;
  const double bars_per_year = years > 0.0 ? static_cast<double>(f.bars) / years : kNaN;

  std::vector<double> pnl;
  pnl.reserve(f.bars);
  std::size_t exposed = 0;
  for (std::size_t k = 1; k < n; ++k) {
    pnl.push_back(lines[k].pnl);
    exposed += lines[k - 1].position != 0 ? 1 : 0;
  }
  f.exposure = f.bars > 0 ? static_cast<double>(exposed) / static_cast<double>(f.bars) : kNaN;
  const Spread spread = SampleSpread(pnl);
  f.volatility = spread.deviation * std::sqrt(bars_per_year);
  f.sharpe = spread.mean / spread.deviation * std::sqrt(bars_per_year);

  double peak = 1.0;
  for (const AccountLine& line : lines) {
    peak = std::max(peak, line.equity);
    f.max_drawdown = std::max(f.max_drawdown, 1.0 - line.equity / peak);
  }

  // Trades: maximal runs of one non-zero position; a run over rows a..b earns lines a+1..b+1.
  std::size_t wins = 0;
  double won = 0.0;
  double lost = 0.0;
  std::size_t losses = 0;
  for (std::size_t a = 0; a < n;) {
    const int p = lines[a].position;
    std::size_t b = a;
    while (b + 1 < n && lines[b + 1].position == p) ++b;
    if (p != 0) {
      ++f.trades;
      double sum = 0.0;
      for (std::size_t k = a + 1; k <= b + 1 && k < n; ++k) sum += lines[k].pnl;
      if (sum > 0.0) {
        ++wins;
        won += sum;
      } else if (sum < 0.0) {
        ++losses;
        lost -= sum;
      }
    }
    a = b + 1;
  }
  f.win_rate = f.trades > 0 ? static_cast<double>(wins) / static_cast<double>(f.trades) : kNaN;
  f.profit_factor = f.trades == 0 ? kNaN
                    : losses == 0 ? std::numeric_limits<double>::infinity()
                                  : won / lost;
  return f;
}

std::string FormatFigures(const BacktestFigures& f) {
  std::string out;
  auto line = [&out](const char* key, double v) {
    out += key;
    out += ": ";
    AppendNumber(out, v);
    out += '\n';
  };
  auto whole = [&out](const char* key, std::uint64_t v) {
    out.append(key).append(": ").append(std::to_string(v)).append("\n");
  };
  whole("bars", f.bars);
  whole("from", f.from);
  whole("to", f.to);
  whole("trades", f.trades);
  line("exposure", f.exposure);
  line("return", f.total_return);
  line("buy and hold", f.buy_and_hold);
  line("annual return", f.annual_return);
  line("volatility", f.volatility);
  line("sharpe", f.sharpe);
  line("max drawdown", f.max_drawdown);
  line("win rate", f.win_rate);
  line("profit factor", f.profit_factor);
  line("cost", f.cost);
  return out;
}

std::string FormatAccountCsv(const std::vector<AccountLine>& lines) {
  std::string out = "time,close,output,position,pnl,equity\n";
  out.reserve(out.size() + lines.size() * 80);
  auto field = [&out](double v) {
    out += ',';
    AppendNumber(out, v);
  };
  for (const AccountLine& line : lines) {
    out += std::to_string(line.time);
    field(line.close);
    field(line.output);
    out += ',';
    out += std::to_string(line.position);
    field(line.pnl);
    field(line.equity);
    out += '\n';
  }
  return out;
}

PricedRows MakePricedRows(const std::vector<Bar>& bars, const BarDatasetOptions& recipe) {
  PricedRows priced;
  priced.rows = MakeBarRows(bars, recipe);
  priced.closes.reserve(priced.rows.size());
  std::size_t at = 0;  // rows and bars are both in time order
  for (const BarRow& row : priced.rows) {
    while (bars[at].time != row.time) ++at;
    priced.closes.push_back(bars[at].close);
  }
  return priced;
}

std::vector<double> RunRows(Perceptron& net, std::span<const BarRow> rows) {
  OutputMiddle(net);  // refuses a network without exactly one output
  const auto inputs = static_cast<std::size_t>(net.GetLayerSize(0));
  std::vector<double> outputs;
  outputs.reserve(rows.size());
  double out = 0.0;
  for (const BarRow& row : rows) {
    if (row.inputs.size() != inputs) {
      throw BarDataError("the row for the bar at time " + std::to_string(row.time) + " holds " +
                         std::to_string(row.inputs.size()) + " inputs, the network takes " +
                         std::to_string(inputs));
    }
    net.Run(row.inputs);
    net.GetOutput(&out);
    outputs.push_back(out);
  }
  return outputs;
}

Backtest RunBacktest(Perceptron& net, const std::vector<Bar>& bars, const BarDatasetOptions& recipe,
                     const BacktestOptions& options) {
  CheckTradingRules(options.rules);
  CheckRecipeFits(recipe, net);
  const double middle = OutputMiddle(net);
  const std::uint32_t from = options.from.value_or(0);
  const std::uint32_t to = options.to.value_or(std::numeric_limits<std::uint32_t>::max());
  if (from > to) throw BarDataError("the time range " + TimeRangeText(from, to) + " is empty");

  PricedRows priced = MakePricedRows(bars, recipe);
  if (priced.rows.empty()) {
    throw BarDataError(std::to_string(bars.size()) + " bars make no rows with the recipe (" +
                       RecipeText(recipe) + ")");
  }
  const auto first = std::lower_bound(priced.rows.begin(), priced.rows.end(), from,
                                      [](const BarRow& r, std::uint32_t t) { return r.time < t; });
  const auto last = std::upper_bound(first, priced.rows.end(), to,
                                     [](std::uint32_t t, const BarRow& r) { return t < r.time; });
  const auto count = static_cast<std::size_t>(last - first);
  if (count < 2) {
    throw BarDataError("the rows " + TimeRangeText(from, to) + " are " + std::to_string(count) +
                       " of the log's " + std::to_string(priced.rows.size()) + " (times " +
                       std::to_string(priced.rows.front().time) + " to " +
                       std::to_string(priced.rows.back().time) + "); a backtest needs at least 2");
  }
  const auto skip = static_cast<std::size_t>(first - priced.rows.begin());
  const std::span<const BarRow> rows(first, last);
  const std::vector<double> outputs = RunRows(net, rows);

  Backtest backtest;
  backtest.lines.resize(count);
  for (std::size_t k = 0; k < count; ++k) {
    AccountLine& line = backtest.lines[k];
    line.time = rows[k].time;
    line.close = priced.closes[skip + k];
    line.output = outputs[k];
    line.position = DecidePosition(outputs[k], middle, options.rules);
  }
  SettleAccount(backtest.lines, options.rules.cost);
  backtest.figures = ComputeFigures(backtest.lines, options.rules.cost);
  return backtest;
}

}  // namespace mplnet
