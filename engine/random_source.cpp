// The source of random weights and thresholds.
//
// By default every draw pauses 50 ms and then seeds a fresh generator from the millisecond clock,
// so that consecutive generators get different seeds. Tests and tools replace the source to draw at
// once and reproducibly; nothing on the load, run or save path draws at all.
#include <chrono>
#include <functional>
#include <mutex>
#include <random>
#include <thread>
#include <utility>

#include "mplnet/engine.h"

namespace mplnet {
namespace {

std::mutex& SourceMutex() {
  static std::mutex mutex;
  return mutex;
}

std::function<double()>& Source() {
  static std::function<double()> source;
  return source;
}

double DefaultDraw() {
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                      std::chrono::steady_clock::now().time_since_epoch())
                      .count();
  std::mt19937 generator(static_cast<std::mt19937::result_type>(ms));
  // 53 random bits over 2^53: uniform in [0, 1) and never 1, which a distribution's rounding can
  // give.
  const auto high = static_cast<double>(generator() >> 5);
  const auto low = static_cast<double>(generator() >> 6);
  return (high * 67108864.0 + low) / 9007199254740992.0;
}

}  // namespace

void SetRandomSource(std::function<double()> source) {
  std::lock_guard<std::mutex> lock(SourceMutex());
  Source() = std::move(source);
}

double Synapse::getRand() {
  std::function<double()> source;
  {
    std::lock_guard<std::mutex> lock(SourceMutex());
    source = Source();
  }
  return source ? source() : DefaultDraw();
}

}  // namespace mplnet
