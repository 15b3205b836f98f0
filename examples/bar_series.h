// Synthetic price bars for examples and tests, and a host that hands them over the way a trading
// terminal does.
//
// `MakeBarSeries` is deterministic from its seed, and the same on every platform: it draws from
// std::mt19937_64 (whose output the standard fixes) and computes with +, -, * and / alone, whose
// results IEEE 754 fixes, so the native build and the Windows DLL's tests see the same bars. Two
// kinds:
//   - kAr1: simple returns follow r[t] = coefficient * r[t-1] + volatility * e[t], a pattern a
//     network can learn (the sign of the next return agrees with the last one more often than not);
//   - kRandomWalk: the same with coefficient 0, the control in which there is nothing to learn.
// A synthetic pattern is a test of the tools, not a trading edge.
//
// `FeedLikeHost` appends the bars to a bar log through the library's bar intake, as a host would:
// every call hands over the latest bars, newest at index 0, and that newest bar is still forming,
// so the next call brings it again with its final prices. `FeedInCalls` makes the same calls to
// any intake, a DLL's MPLSetData among them.
#ifndef MPLNET_EXAMPLES_BAR_SERIES_H_
#define MPLNET_EXAMPLES_BAR_SERIES_H_

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "host/bar_log.h"
#include "mplnet/mplnet.h"

namespace mplnet::examples {

enum class SeriesKind { kAr1, kRandomWalk };

struct SeriesOptions {
  SeriesKind kind = SeriesKind::kAr1;
  double coefficient = 0.6;   // of the AR(1) process; a random walk ignores it
  double volatility = 0.001;  // standard deviation of the noise in the returns
  std::uint64_t seed = 1;
  int bars = 3000;
  std::uint32_t start_time = 1700000000;  // 2023-11-14 22:13:20 UTC
  std::uint32_t spacing = 3600;           // one bar an hour
  int bars_per_week = 120;                // five days of hourly bars, then the weekend's gap
};

namespace series_detail {

// Uniform in [0, 1) from 53 random bits.
inline double Uniform(std::mt19937_64& generator) {
  return static_cast<double>(generator() >> 11) * 0x1.0p-53;
}

// Close to a standard normal draw: the sum of twelve uniform draws less 6 (mean 0, variance 1).
inline double Noise(std::mt19937_64& generator) {
  double sum = 0.0;
  for (int i = 0; i < 12; ++i) sum += Uniform(generator);
  return sum - 6.0;
}

// Prices are quoted to five decimals, as most currency pairs are.
inline double Quote(double price) {
  return std::round(price * 100000.0) / 100000.0;
}

}  // namespace series_detail

// `options.bars` bars in time order (oldest first); low <= open, close <= high, volume >= 1.
inline std::vector<RateInfo> MakeBarSeries(const SeriesOptions& options) {
  using series_detail::Noise;
  using series_detail::Quote;
  using series_detail::Uniform;
  std::mt19937_64 generator(options.seed);
  const double coefficient = options.kind == SeriesKind::kAr1 ? options.coefficient : 0.0;
  std::vector<RateInfo> bars;
  bars.reserve(static_cast<std::size_t>(std::max(options.bars, 0)));
  double last_return = 0.0;
  double close = 1.1;
  std::uint32_t time = options.start_time;
  for (int i = 0; i < options.bars; ++i) {
    if (i > 0) {
      const bool weekend = options.bars_per_week > 0 && i % options.bars_per_week == 0;
      time += weekend ? options.spacing * 49 : options.spacing;
    }
    const double r = coefficient * last_return + options.volatility * Noise(generator);
    last_return = r;
    // Prices are worked out in locals: RateInfo is packed, and its doubles may not be aligned
    // for the references std::max takes.
    const double open = Quote(close);
    close = close * (1.0 + r);
    const double wick = options.volatility * 0.5;
    RateInfo bar{};
    bar.time = time;
    bar.open = open;
    bar.close = Quote(close);
    bar.high = Quote(std::max(open, Quote(close)) * (1.0 + wick * Uniform(generator)));
    bar.low = Quote(std::min(open, Quote(close)) * (1.0 - wick * Uniform(generator)));
    bar.vol = std::floor(500.0 + 1000.0 * Uniform(generator));
    bars.push_back(bar);
  }
  return bars;
}

// `bar` halfway through its time: the same open, a close halfway to its final one, high, low and
// volume so far.
inline RateInfo FormingBar(const RateInfo& bar) {
  const double open = bar.open;
  const double close = series_detail::Quote(open + (bar.close - open) * 0.5);
  RateInfo forming = bar;
  forming.close = close;
  forming.high = std::max(open, close);
  forming.low = std::min(open, close);
  forming.vol = std::floor(bar.vol * 0.5);
  return forming;
}

// Hands `bars` (oldest first) to `set_data` (called as set_data(rates, rates_total), returning the
// intake's status text) as a host that calls every `step` bars with the latest `window` bars,
// newest at index 0 and still forming: each bar's final prices come in the first call after it
// closed, the last bar's never do. Returns the status of the first call that failed, or that of
// the last call.
template <typename SetDataCall>
const char* FeedInCalls(const std::vector<RateInfo>& bars, SetDataCall&& set_data, int window = 300,
                        int step = 200) {
  const char* status = "MPLSetData: Successful";
  const int total = static_cast<int>(bars.size());
  std::vector<RateInfo> array;
  for (int newest = std::min(step, total) - 1; newest < total;
       newest = newest == total - 1 ? total : std::min(newest + step, total - 1)) {
    const int count = std::min(window, newest + 1);
    array.assign(static_cast<std::size_t>(count), RateInfo{});
    for (int i = 0; i < count; ++i) array[static_cast<std::size_t>(i)] = bars[newest - i];
    array[0] = FormingBar(array[0]);
    status = set_data(array.data(), count);
    if (std::strcmp(status, "MPLSetData: Successful") != 0) return status;
  }
  return status;
}

// FeedInCalls through the library's bar intake, appending to the bar log at `log_path`.
inline const char* FeedLikeHost(const std::vector<RateInfo>& bars, const std::string& log_path,
                                int window = 300, int step = 200) {
  return FeedInCalls(
      bars,
      [&log_path](const RateInfo* rates, int total) {
        return SetData(rates, total, 0, 0, log_path);
      },
      window, step);
}

}  // namespace mplnet::examples

#endif  // MPLNET_EXAMPLES_BAR_SERIES_H_
