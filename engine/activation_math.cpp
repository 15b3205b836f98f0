// Exp and Tanh in plain IEEE double arithmetic, the same bits on every build (see the header).
//
// Exp reduces x = k ln2/128 + r with |r| <= ln2/256, so e^x = 2^(k/128) e^r: 2^(k/128) splits into
// a power of two, set directly in the exponent bits, and one of 128 table values; e^r - 1 is a
// short Taylor polynomial. Tanh uses the same reduction for e^(2|x|), kept with its rounding error
// as a pair of doubles, and 1 - 2/(1 + e^(2|x|)) evaluated with error-free transformations; near
// zero, where that form loses digits, it uses the odd Taylor polynomial instead.
//
// Every operation is an add, subtract, multiply or divide of doubles rounded to nearest, or an
// integer operation on a double's bits, so any build computing doubles in SSE2 registers gives the
// same results. Fused multiply-add must stay off: the exact-product steps depend on every product
// being rounded on its own.
#include "engine/activation_math.h"

#include <algorithm>
#include <bit>
#include <cstdint>
#include <limits>

#if defined(__clang__)
#pragma clang fp contract(off)
#elif defined(__GNUC__)
#pragma GCC optimize("fp-contract=off")
#endif

namespace mplnet::internal {
namespace {

constexpr int kTableBits = 7;
constexpr int kTableSize = 1 << kTableBits;

// 2^(j/128) = hi * (1 + tail): hi is the nearest double, tail the nearest double to the relative
// remainder, which carries the value to about 106 bits.
struct Exp2Entry {
  double hi;
  double tail;
};
constexpr Exp2Entry kExp2Table[kTableSize] = {
    {0x1.0000000000000p+0, 0.0},
    {0x1.0163da9fb3335p+0, 0x1.b3b4f1a88bf6ep-54},
    {0x1.02c9a3e778061p+0, -0x1.160139cd8dc5dp-56},
    {0x1.04315e86e7f85p+0, -0x1.05e7a108766d1p-54},
    {0x1.059b0d3158574p+0, 0x1.cd2523567f613p-55},
    {0x1.0706b29ddf6dep+0, -0x1.bce8023f98efap-55},
    {0x1.0874518759bc8p+0, 0x1.0f74e61e6c861p-57},
    {0x1.09e3ecac6f383p+0, 0x1.0a3e45b33d399p-54},
    {0x1.0b5586cf9890fp+0, 0x1.79aa65d837b6dp-54},
    {0x1.0cc922b7247f7p+0, 0x1.eb51a92fdeffcp-55},
    {0x1.0e3ec32d3d1a2p+0, 0x1.ebe3d702f9cd1p-60},
    {0x1.0fb66affed31bp+0, -0x1.a033489906e0bp-57},
    {0x1.11301d0125b51p+0, -0x1.556522a2fbd0ep-54},
    {0x1.12abdc06c31ccp+0, -0x1.080ef8c4eea55p-58},
    {0x1.1429aaea92de0p+0, -0x1.1c923b9d5f416p-54},
    {0x1.15a98c8a58e51p+0, 0x1.0d3e3e95c55afp-55},
    {0x1.172b83c7d517bp+0, -0x1.01b15eaa59348p-55},
    {0x1.18af9388c8deap+0, -0x1.f1ff055de323dp-55},
    {0x1.1a35beb6fcb75p+0, 0x1.b898c3f1353bfp-55},
    {0x1.1bbe084045cd4p+0, -0x1.6d99c7611eb26p-54},
    {0x1.1d4873168b9aap+0, 0x1.aecf73e3a2f60p-54},
    {0x1.1ed5022fcd91dp+0, -0x1.fe782cb86389dp-55},
    {0x1.2063b88628cd6p+0, 0x1.a6f4144a6c38dp-55},
    {0x1.21f49917ddc96p+0, 0x1.07a05b0e4047dp-55},
    {0x1.2387a6e756238p+0, 0x1.68efde3a8a894p-54},
    {0x1.251ce4fb2a63fp+0, 0x1.75e18f274487dp-55},
    {0x1.26b4565e27cddp+0, 0x1.0472b981fe7f2p-55},
    {0x1.284dfe1f56381p+0, -0x1.6b87b3f71085ep-54},
    {0x1.29e9df51fdee1p+0, 0x1.2f7e16d09ab31p-55},
    {0x1.2b87fd0dad990p+0, -0x1.d219b1a6fbffap-60},
    {0x1.2d285a6e4030bp+0, 0x1.b3782720c0ab4p-55},
    {0x1.2ecafa93e2f56p+0, 0x1.e149289cecb8fp-57},
    {0x1.306fe0a31b715p+0, 0x1.34d754db0abb6p-55},
    {0x1.32170fc4cd831p+0, 0x1.64201e2ac744cp-55},
    {0x1.33c08b26416ffp+0, 0x1.fdd395dd3f84ap-55},
    {0x1.356c55f929ff1p+0, -0x1.6a3803b8e5b04p-55},
    {0x1.371a7373aa9cbp+0, -0x1.24aedcc4b5068p-54},
    {0x1.38cae6d05d866p+0, -0x1.907f81b512d8ep-54},
    {0x1.3a7db34e59ff7p+0, -0x1.1d1e83e9436d2p-56},
    {0x1.3c32dc313a8e5p+0, -0x1.91919b3ce1b15p-54},
    {0x1.3dea64c123422p+0, 0x1.59f48a72a4c6dp-55},
    {0x1.3fa4504ac801cp+0, -0x1.312607a28698ap-54},
    {0x1.4160a21f72e2ap+0, -0x1.8a78f4817895bp-58},
    {0x1.431f5d950a897p+0, -0x1.c2c9b67499a1bp-56},
    {0x1.44e086061892dp+0, 0x1.363ed60c2ac11p-59},
    {0x1.46a41ed1d0057p+0, 0x1.666093b0664efp-54},
    {0x1.486a2b5c13cd0p+0, 0x1.ecce1daa10379p-57},
    {0x1.4a32af0d7d3dep+0, 0x1.3ff8e3f0f1230p-54},
    {0x1.4bfdad5362a27p+0, 0x1.690cebb7aafb0p-56},
    {0x1.4dcb299fddd0dp+0, 0x1.31dbdeb54e077p-54},
    {0x1.4f9b2769d2ca7p+0, -0x1.f94340071a38ep-55},
    {0x1.516daa2cf6642p+0, -0x1.7deccdc93a349p-55},
    {0x1.5342b569d4f82p+0, -0x1.8dec6bd0f385fp-56},
    {0x1.551a4ca5d920fp+0, -0x1.61246ec7b5cf6p-55},
    {0x1.56f4736b527dap+0, 0x1.3350518fdd78ep-54},
    {0x1.58d12d497c7fdp+0, 0x1.b98b72f8a9b05p-56},
    {0x1.5ab07dd485429p+0, 0x1.063e1e21c5409p-54},
    {0x1.5c9268a5946b7p+0, 0x1.4c7855019c6eap-60},
    {0x1.5e76f15ad2148p+0, 0x1.432e62b64c035p-54},
    {0x1.605e1b976dc09p+0, -0x1.ce44a6199769fp-55},
    {0x1.6247eb03a5585p+0, -0x1.c33c53bef4da8p-55},
    {0x1.6434634ccc320p+0, -0x1.45378892be9aep-55},
    {0x1.6623882552225p+0, -0x1.3cedd78565858p-54},
    {0x1.68155d44ca973p+0, 0x1.710aa807e1964p-58},
    {0x1.6a09e667f3bcdp+0, -0x1.3b3efbf5e2228p-54},
    {0x1.6c012750bdabfp+0, -0x1.a12ad8734b982p-57},
    {0x1.6dfb23c651a2fp+0, -0x1.367efb86da9eep-57},
    {0x1.6ff7df9519484p+0, -0x1.0dc3d54e08851p-55},
    {0x1.71f75e8ec5f74p+0, -0x1.81f647e5a3ecfp-56},
    {0x1.73f9a48a58174p+0, -0x1.6ee4ac08b7db0p-55},
    {0x1.75feb564267c9p+0, -0x1.619321e55e68ap-55},
    {0x1.780694fde5d3fp+0, 0x1.09ccb5e09d4d3p-54},
    {0x1.7a11473eb0187p+0, -0x1.b32dcb94da51dp-56},
    {0x1.7c1ed0130c132p+0, 0x1.4ecfd5467c06bp-54},
    {0x1.7e2f336cf4e62p+0, 0x1.5ebe1abd66c55p-57},
    {0x1.80427543e1a12p+0, -0x1.8a1c52fb3cf42p-55},
    {0x1.82589994cce13p+0, -0x1.369b6f13b3734p-54},
    {0x1.8471a4623c7adp+0, -0x1.05e843a19ff1ep-55},
    {0x1.868d99b4492edp+0, -0x1.4d450d872576ep-54},
    {0x1.88ac7d98a6699p+0, 0x1.0ad675b0e8a00p-54},
    {0x1.8ace5422aa0dbp+0, 0x1.db72fc1f0eab4p-55},
    {0x1.8cf3216b5448cp+0, -0x1.5b6609cc5e7ffp-57},
    {0x1.8f1ae99157736p+0, 0x1.bf68359f35f44p-56},
    {0x1.9145b0b91ffc6p+0, -0x1.3091fa71e3d83p-54},
    {0x1.93737b0cdc5e5p+0, -0x1.da9b88b6c1e29p-58},
    {0x1.95a44cbc8520fp+0, -0x1.c23f97c90b959p-57},
    {0x1.97d829fde4e50p+0, -0x1.2434322f4f9aap-54},
    {0x1.9a0f170ca07bap+0, -0x1.5ca6cd7668e4bp-55},
    {0x1.9c49182a3f090p+0, 0x1.1affc2b91ce27p-56},
    {0x1.9e86319e32323p+0, 0x1.dd235e10a73bbp-57},
    {0x1.a0c667b5de565p+0, -0x1.7c50422622263p-55},
    {0x1.a309bec4a2d33p+0, 0x1.b1c86e3e231d5p-55},
    {0x1.a5503b23e255dp+0, -0x1.1bbd1d3bcbb15p-54},
    {0x1.a799e1330b358p+0, 0x1.0cc319cee31d2p-54},
    {0x1.a9e6b5579fdbfp+0, 0x1.469846e735ab3p-55},
    {0x1.ac36bbfd3f37ap+0, -0x1.2dfcd978e9db4p-55},
    {0x1.ae89f995ad3adp+0, 0x1.c1a7792cb3387p-55},
    {0x1.b0e07298db666p+0, -0x1.07b8f4ad1d9fap-54},
    {0x1.b33a2b84f15fbp+0, -0x1.5c3d956dcaebap-58},
    {0x1.b59728de5593ap+0, -0x1.0a40e3da6f640p-54},
    {0x1.b7f76f2fb5e47p+0, -0x1.8d6f438ad9334p-57},
    {0x1.ba5b030a1064ap+0, -0x1.1eee26b588a35p-54},
    {0x1.bcc1e904bc1d2p+0, 0x1.4ffd70a5fddcdp-56},
    {0x1.bf2c25bd71e09p+0, -0x1.1bdfbfa9298acp-54},
    {0x1.c199bdd85529cp+0, 0x1.36eae30af0cb3p-56},
    {0x1.c40ab5fffd07ap+0, 0x1.ee3325c9ffd94p-55},
    {0x1.c67f12e57d14bp+0, 0x1.4e08fd10959acp-55},
    {0x1.c8f6d9406e7b5p+0, 0x1.3cdaf384e1a67p-57},
    {0x1.cb720dcef9069p+0, 0x1.76b2c6c921968p-57},
    {0x1.cdf0b555dc3fap+0, -0x1.08a1883ccb5d2p-55},
    {0x1.d072d4a07897cp+0, -0x1.fad5d3ffffa6fp-55},
    {0x1.d2f87080d89f2p+0, -0x1.00dae3875a949p-54},
    {0x1.d5818dcfba487p+0, 0x1.4a385a63d07a7p-56},
    {0x1.d80e316c98398p+0, -0x1.2919e2040220fp-55},
    {0x1.da9e603db3285p+0, 0x1.e5a50d5c192acp-55},
    {0x1.dd321f301b460p+0, 0x1.43a59ac016b4bp-55},
    {0x1.dfc97337b9b5fp+0, -0x1.2d52107b43e1fp-55},
    {0x1.e264614f5a129p+0, -0x1.92ab93b470dc9p-55},
    {0x1.e502ee78b3ff6p+0, 0x1.4b604603a88d3p-56},
    {0x1.e7a51fbc74c83p+0, 0x1.3c5ec519d7271p-55},
    {0x1.ea4afa2a490dap+0, -0x1.ff7128fd391f0p-55},
    {0x1.ecf482d8e67f1p+0, -0x1.dae98e223747dp-55},
    {0x1.efa1bee615a27p+0, 0x1.ec3bc41aa2008p-55},
    {0x1.f252b376bba97p+0, 0x1.42b94c3a9eb32p-55},
    {0x1.f50765b6e4540p+0, 0x1.a64a931d185eep-55},
    {0x1.f7bfdad9cbe14p+0, -0x1.e37bae43be3edp-55},
    {0x1.fa7c1819e90d8p+0, 0x1.7893b4d91cd9dp-56},
    {0x1.fd3c22b8f71f1p+0, 0x1.305c14160cc89p-58},
};

constexpr double kInvLn2N = 0x1.71547652b82fep+7;  // 128 / ln 2
// ln 2 / 128 as a sum of two doubles. The first has 34 significant bits, so k * kLn2NHi is exact
// for every |k| < 2^19 (|k| stays below 2^18 for all finite results), and x - k * kLn2NHi is exact
// too.
constexpr double kLn2NHi = 0x1.62e42fef80000p-8;
constexpr double kLn2NLo = 0x1.1cf79abc9e3b4p-43;
// Adding 1.5 * 2^52 rounds a value below 2^51 in magnitude to an integer held in the low mantissa
// bits, without a conversion instruction that 32-bit and 64-bit builds would do differently.
constexpr double kShift = 0x1.8p52;

// Exp's fast path covers arguments whose result, and the product scale * fraction inside it, stay
// far enough from the subnormal range that no intermediate rounding happens there.
constexpr double kExpFastLow = -700.0;
constexpr double kExpFastHigh = 709.0;
// Past these, e^x rounds to +inf or to +0.
constexpr double kExpOverflow = 709.8;
constexpr double kExpUnderflow = -746.0;

// tanh(x) rounds to x below this, and to +/-1 above the saturation point.
constexpr double kTanhTiny = 0x1p-28;
constexpr double kTanhSaturation = 22.0;
// Below this the Taylor polynomial is used; above, 1 - 2/(1 + e^(2x)) is accurate enough.
constexpr double kTanhPolynomialLimit = 0x1p-4;

inline std::uint64_t Bits(double x) {
  return std::bit_cast<std::uint64_t>(x);
}

constexpr std::uint64_t kSignBit = std::uint64_t{1} << 63;

inline double FromBits(std::uint64_t bits) {
  return std::bit_cast<double>(bits);
}

// x = k ln2/128 + r, so e^x = 2^(k/128) e^r.
struct ExpReduction {
  std::uint64_t k;  // two's complement
  double r;
};

inline ExpReduction ReduceExp(double x) {
  const double shifted = x * kInvLn2N + kShift;
  const std::uint64_t k = Bits(shifted) - Bits(kShift);
  const double kd = shifted - kShift;
  const double r = (x - kd * kLn2NHi) - kd * kLn2NLo;
  return {k, r};
}

// 2^(k/128) = 2^m * kExp2Table[j].hi with k = 128 m + j, times 2^adjust: the power of two goes
// straight into the exponent bits. The slow paths pass an adjust that keeps the result normal.
inline double ScaleFor(std::uint64_t k, std::int64_t adjust) {
  const std::uint64_t j = k & (kTableSize - 1);
  const std::uint64_t m_bits =
      ((k - j) << (52 - kTableBits)) + (static_cast<std::uint64_t>(adjust) << 52);
  return FromBits(Bits(kExp2Table[j].hi) + m_bits);
}

// e^r - 1 for |r| <= ln2/256; the first omitted term, r^6/720, is below 2^-60 of the result's
// leading 1.
inline double ExpM1Small(double r) {
  const double r2 = r * r;
  return r + r2 * (0.5 + r * (1.0 / 6 + r * (1.0 / 24 + r * (1.0 / 120))));
}

// e^x = scale * (1 + ExpFraction(x)), with the scale from ScaleFor. The tail of the table entry
// times p, below 2^-61, is left out.
inline double ExpFraction(const ExpReduction& red) {
  const double tail = kExp2Table[red.k & (kTableSize - 1)].tail;
  return tail + ExpM1Small(red.r);
}

// The fast path: valid for kExpFastLow < x < kExpFastHigh, and harmless (no traps, no undefined
// behaviour) for any other argument, so a group can run it on every element first.
inline double ExpFast(double x) {
  const ExpReduction red = ReduceExp(x);
  const double scale = ScaleFor(red.k, 0);
  return scale + scale * ExpFraction(red);
}

inline bool InExpFastRange(double x) {
  return x > kExpFastLow && x < kExpFastHigh;
}

// Arguments outside the fast range: NaN, infinities, overflow, and results near or below the
// smallest normal double.
double ExpSlow(double x) {
  if (x != x) return x + x;
  if (x > kExpOverflow) return std::numeric_limits<double>::infinity();
  if (x < kExpUnderflow) return 0.0;
  const ExpReduction red = ReduceExp(x);
  const double fraction = ExpFraction(red);
  if (x > 0) {
    // Build the value at half size and double it: the doubling is exact or overflows to +inf.
    const double scale = ScaleFor(red.k, -1);
    return (scale + scale * fraction) * 2.0;
  }
  // The value scaled up by 2^1022, where the subnormal range becomes [0, 1).
  const double scale = ScaleFor(red.k, 1022);
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

// The exact product a * b = hi + lo, by splitting each factor into two 26-bit halves.
struct DoublePair {
  double hi;
  double lo;
};

inline DoublePair Split(double a) {
  const double c = 134217729.0 * a;  // 2^27 + 1
  const double hi = c - (c - a);
  return {hi, a - hi};
}

inline DoublePair ExactProduct(double a, double b) {
  const DoublePair as = Split(a);
  const DoublePair bs = Split(b);
  const double p = a * b;
  const double e = ((as.hi * bs.hi - p) + as.hi * bs.lo + as.lo * bs.hi) + as.lo * bs.lo;
  return {p, e};
}

// tanh(x) for 2^-28 <= x < 2^-4: x + x^3 Q(x^2) from the Taylor series; the first omitted term,
// 6404582/10854718875 x^17, is below 2^-74 of the result.
inline double TanhPolynomial(double x) {
  const double u = x * x;
  const double q =
      -1.0 / 3 +
      u * (2.0 / 15 +
           u * (-17.0 / 315 +
                u * (62.0 / 2835 + u * (-1382.0 / 155925 +
                                        u * (21844.0 / 6081075 + u * (-929569.0 / 638512875))))));
  return x + x * (u * q);
}

// tanh(x) for 2^-4 <= x < 22 as 1 - 2/(1 + e^(2x)). e^(2x) is kept as a pair of doubles accurate to
// about 2^-60, the quotient as a pair too, so the only sizeable rounding is the last one.
inline double TanhFromExp(double x) {
  const ExpReduction red = ReduceExp(2.0 * x);
  const double r2 = red.r * red.r;
  // One more Taylor term than Exp needs: the result gets the pair's error amplified by up to 8.
  const double p =
      red.r + r2 * (0.5 + red.r * (1.0 / 6 +
                                   red.r * (1.0 / 24 + red.r * (1.0 / 120 + red.r * (1.0 / 720)))));
  const double tail = kExp2Table[red.k & (kTableSize - 1)].tail;
  const double e_hi = ScaleFor(red.k, 0);
  const double e_lo = e_hi * (p + (tail + tail * p));
  // d = 1 + e^(2x) as a normalised pair, so that 2/d_hi is within a rounding of 2/d. Each sum has
  // its larger term first (e_hi >= 1), so its rounding error is exactly what the next line
  // computes.
  const double e = e_hi + e_lo;
  const double e_err = e_lo - (e - e_hi);
  const double d_hi = e + 1.0;
  const double d_lo = (1.0 - (d_hi - e)) + e_err;
  // q = 2/d: the remainder 2 - q_hi d_hi is computed exactly; 2 - product.hi is exact because the
  // product is within a rounding of 2.
  const double q_hi = 2.0 / d_hi;
  const DoublePair product = ExactProduct(q_hi, d_hi);
  const double remainder = ((2.0 - product.hi) - product.lo) - q_hi * d_lo;
  const double q_lo = remainder * (0.5 * q_hi);
  // 1 - q with q_hi <= 1: the rounding error of 1 - q_hi is exact as well.
  const double s = 1.0 - q_hi;
  const double s_err = (1.0 - s) - q_hi;
  return s + (s_err - q_lo);
}

inline double TanhPositive(double x) {
  if (x < kTanhPolynomialLimit) return TanhPolynomial(x);
  return TanhFromExp(x);
}

}  // namespace

double Exp(double x) {
  return InExpFastRange(x) ? ExpFast(x) : ExpSlow(x);
}

double Tanh(double x) {
  const double ax = x < 0 ? -x : x;
  if (!(ax < kTanhSaturation)) {
    if (x != x) return x + x;
    return x < 0 ? -1.0 : 1.0;
  }
  if (ax < kTanhTiny) return x;  // keeps -0
  const double t = TanhPositive(ax);
  return x < 0 ? -t : t;
}

namespace {
// Groups are run in blocks: first the branch-free fast path on every element, then the rare
// elements outside its range are redone one by one. The block keeps that correct when in == out.
constexpr std::size_t kBlock = 64;
}  // namespace

void ExpGroup(const double* in, double* out, std::size_t n) {
  double block[kBlock];
  for (std::size_t base = 0; base < n; base += kBlock) {
    const std::size_t count = std::min(kBlock, n - base);
    const double* x = in + base;
    for (std::size_t i = 0; i < count; ++i) block[i] = ExpFast(x[i]);
    for (std::size_t i = 0; i < count; ++i) {
      if (!InExpFastRange(x[i])) block[i] = ExpSlow(x[i]);
    }
    std::copy(block, block + count, out + base);
  }
}

void TanhGroup(const double* in, double* out, std::size_t n) {
  double block[kBlock];
  for (std::size_t base = 0; base < n; base += kBlock) {
    const std::size_t count = std::min(kBlock, n - base);
    const double* x = in + base;
    for (std::size_t i = 0; i < count; ++i) {
      // Both forms are computed and one is picked by a bit mask, so the loop has no branch (the
      // compiler keeps a conditional expression on doubles as a branch). Neither form can fault
      // on any argument; those outside their range are redone below.
      const std::uint64_t sign = Bits(x[i]) & kSignBit;
      const double ax = FromBits(Bits(x[i]) ^ sign);
      // All ones when ax < kTanhPolynomialLimit: the bits of non-negative doubles order like
      // the values, so the borrow of the subtraction is the comparison.
      const std::uint64_t use_poly =
          std::uint64_t{0} - ((Bits(ax) - Bits(kTanhPolynomialLimit)) >> 63);
      const std::uint64_t t =
          (Bits(TanhPolynomial(ax)) & use_poly) | (Bits(TanhFromExp(ax)) & ~use_poly);
      block[i] = FromBits(t ^ sign);
    }
    for (std::size_t i = 0; i < count; ++i) {
      const double ax = x[i] < 0 ? -x[i] : x[i];
      if (!(ax >= kTanhTiny && ax < kTanhSaturation)) block[i] = Tanh(x[i]);
    }
    std::copy(block, block + count, out + base);
  }
}

}  // namespace mplnet::internal
