// Exp and Tanh in plain IEEE double arithmetic, the same bits on every build (see the header). The
// formula lives in engine/lanes.h, shared with the vector forms of the forward pass; here are the
// branches a single argument takes.
#include "engine/activation_math.h"

#include <limits>

#include "engine/lanes.h"

#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC optimize("fp-contract=off")
#endif

namespace mplnet::internal {
namespace {

// Arguments outside the fast range: NaN, infinities, overflow, and results near or below the
// smallest normal double.
double ExpSlow(double x) {
  if (x != x) return x + x;
  if (x > kExpOverflow) return std::numeric_limits<double>::infinity();
  if (x < kExpUnderflow) return 0.0;
  const ExpReduction<double> red = ReduceExp(x);
  const double fraction = ExpFraction(red);
  if (x > 0) {
    // Build the value at half size and double it: the doubling is exact or overflows to +inf.
    const double scale = ScaleFor(red, -1);
    return (scale + scale * fraction) * 2.0;
  }
  // The value scaled up by 2^1022, where the subnormal range becomes [0, 1).
  const double scale = ScaleFor(red, 1022);
  const double scaled_lo = scale * fraction;
  const double scaled = scale + scaled_lo;
  if (scaled >= 1.0) return scaled * 0x1p-1022;
  // Round once, on the subnormal grid: in [1, 2) doubles are spaced 2^-52, just as subnormals are
  // spaced 2^-1074 = 2^-52 * 2^-1022. Adding 1 exactly (its rounding error kept in `lo`) puts the
  // sum there; scaling the result back is then exact.
  const double hi = 1.0 + scale;
  const double lo = ((1.0 - hi) + scale) + scaled_lo;
  return ((hi + lo) - 1.0) * 0x1p-1022;
}

}  // namespace

double Exp(double x) {
  return x > kExpFastLow && x < kExpFastHigh ? ExpFast(x) : ExpSlow(x);
}

double Tanh(double x) {
  const double ax = x < 0 ? -x : x;
  if (!(ax < kTanhSaturation)) {
    if (x != x) return x + x;
    return x < 0 ? -1.0 : 1.0;
  }
  if (ax < kTanhTiny) return x;  // keeps -0
  const double t = ax < kTanhPolynomialLimit ? TanhPolynomial(ax) : TanhFromExp(ax);
  return x < 0 ? -t : t;
}

}  // namespace mplnet::internal
