// The activation formula and the forward pass's sums, written once for one double or for a vector
// of doubles, so that the scalar functions and every SIMD width run the very same operations.
//
// Exp reduces x = k ln2/128 + r with |r| <= ln2/256, so e^x = 2^(k/128) e^r: 2^(k/128) splits into
// a power of two, set directly in the exponent bits, and one of 128 table values; e^r - 1 is a
// short Taylor polynomial. Tanh uses the same reduction for e^(2|x|), kept with its rounding error
// as a pair of doubles, and 1 - 2/(1 + e^(2|x|)) evaluated with error-free transformations; near
// zero, where that form loses digits, it uses the odd Taylor polynomial instead.
//
// Every operation is an add, subtract, multiply or divide of doubles rounded to nearest, or an
// integer operation on a double's bits, and a vector applies each of them lane by lane: every lane
// gets the bits of the scalar function, on any build computing doubles in SSE2 or AVX registers.
// Fused multiply-add must stay off: the exact-product steps depend on every product being rounded
// on its own.
//
// Everything here has internal linkage: a file compiled for wider vectors (kernels_avx2.cpp) gets
// copies of its own, which the linker never hands to code that must run on any CPU.
#ifndef MPLNET_ENGINE_LANES_H_
#define MPLNET_ENGINE_LANES_H_

#include <cstddef>
#include <cstdint>
#include <cstring>

#if defined(__clang__)
#pragma clang fp contract(off)
#endif

namespace mplnet::internal {
namespace {

// Two and four doubles side by side, and their bit patterns.
typedef double Double2 __attribute__((vector_size(16)));
typedef std::uint64_t Bits2 __attribute__((vector_size(16)));
typedef double Double4 __attribute__((vector_size(32)));
typedef std::uint64_t Bits4 __attribute__((vector_size(32)));

template <typename V>
struct LaneTraits;
template <>
struct LaneTraits<double> {
  using Bits = std::uint64_t;
  static constexpr int kLanes = 1;
};
template <>
struct LaneTraits<Double2> {
  using Bits = Bits2;
  static constexpr int kLanes = 2;
};
template <>
struct LaneTraits<Double4> {
  using Bits = Bits4;
  static constexpr int kLanes = 4;
};
template <typename V>
using BitsOf = typename LaneTraits<V>::Bits;
template <typename V>
constexpr int kLanes = LaneTraits<V>::kLanes;

template <typename V>
inline BitsOf<V> ToBits(V v) {
  return __builtin_bit_cast(BitsOf<V>, v);
}
template <typename V>
inline V FromBits(BitsOf<V> bits) {
  return __builtin_bit_cast(V, bits);
}
template <typename V>
inline V Load(const double* p) {
  V v;
  std::memcpy(&v, p, sizeof v);
  return v;
}
template <typename V>
inline void Store(double* p, V v) {
  std::memcpy(p, &v, sizeof v);
}
// Every lane `d`, bit for bit (adding `d` to zeros would turn -0 into +0).
template <typename V>
inline V Splat(double d) {
  if constexpr (kLanes<V> == 1) {
    return d;
  } else if constexpr (kLanes<V> == 2) {
    return V{d, d};
  } else {
    return V{d, d, d, d};
  }
}

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

// The table entry of each lane's index: hi and tail lie side by side, so each lane takes one
// 16-byte load, and two shuffles sort the halves into a vector of his and one of tails.
template <typename V>
struct TableEntry {
  V hi;
  V tail;
};

template <typename V>
inline TableEntry<V> Lookup(BitsOf<V> j) {
  if constexpr (kLanes<V> == 1) {
    return {kExp2Table[j].hi, kExp2Table[j].tail};
  } else {
    std::uint64_t index[kLanes<V>];
    std::memcpy(index, &j, sizeof index);
    Double2 entry[kLanes<V>];
    for (int l = 0; l < kLanes<V>; ++l) entry[l] = Load<Double2>(&kExp2Table[index[l]].hi);
    // Entries 0 and 2 side by side, 1 and 3 side by side; then the his and the tails pair up
    // within each 16 bytes.
    if constexpr (kLanes<V> == 2) {
      return {__builtin_shufflevector(entry[0], entry[1], 0, 2),
              __builtin_shufflevector(entry[0], entry[1], 1, 3)};
    } else {
      const Double4 even = __builtin_shufflevector(entry[0], entry[2], 0, 1, 2, 3);
      const Double4 odd = __builtin_shufflevector(entry[1], entry[3], 0, 1, 2, 3);
      return {__builtin_shufflevector(even, odd, 0, 4, 2, 6),
              __builtin_shufflevector(even, odd, 1, 5, 3, 7)};
    }
  }
}

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

constexpr std::uint64_t kSignBit = std::uint64_t{1} << 63;
constexpr std::uint64_t kShiftBits = __builtin_bit_cast(std::uint64_t, kShift);

// x = k ln2/128 + r, so e^x = 2^(k/128) e^r; `entry` is the table entry of k's low bits.
template <typename V>
struct ExpReduction {
  BitsOf<V> k;  // two's complement
  V r;
  TableEntry<V> entry;
};

template <typename V>
inline ExpReduction<V> ReduceExp(V x) {
  const V shifted = x * kInvLn2N + kShift;
  const BitsOf<V> k = ToBits(shifted) - kShiftBits;
  const V kd = shifted - kShift;
  const V r = (x - kd * kLn2NHi) - kd * kLn2NLo;
  return {k, r, Lookup<V>(k & (kTableSize - 1))};
}

// 2^(k/128) = 2^m * kExp2Table[j].hi with k = 128 m + j, times 2^adjust: the power of two goes
// straight into the exponent bits. The slow paths pass an adjust that keeps the result normal.
template <typename V>
inline V ScaleFor(const ExpReduction<V>& red, std::int64_t adjust) {
  const BitsOf<V> j = red.k & (kTableSize - 1);
  const BitsOf<V> m_bits =
      ((red.k - j) << (52 - kTableBits)) + (static_cast<std::uint64_t>(adjust) << 52);
  return FromBits<V>(ToBits(red.entry.hi) + m_bits);
}

// e^r - 1 for |r| <= ln2/256; the first omitted term, r^6/720, is below 2^-60 of the result's
// leading 1.
template <typename V>
inline V ExpM1Small(V r) {
  const V r2 = r * r;
  return r + r2 * (0.5 + r * (1.0 / 6 + r * (1.0 / 24 + r * (1.0 / 120))));
}

// e^x = scale * (1 + ExpFraction(x)), with the scale from ScaleFor. The tail of the table entry
// times p, below 2^-61, is left out.
template <typename V>
inline V ExpFraction(const ExpReduction<V>& red) {
  return red.entry.tail + ExpM1Small(red.r);
}

// The fast path: valid for kExpFastLow < x < kExpFastHigh, and harmless (no traps, no undefined
// behaviour) for any other argument, so a vector can run it on every lane first.
template <typename V>
inline V ExpFast(V x) {
  const ExpReduction<V> red = ReduceExp(x);
  const V scale = ScaleFor(red, 0);
  return scale + scale * ExpFraction(red);
}

// The exact product a * b = hi + lo, by splitting each factor into two 26-bit halves.
template <typename V>
struct DoublePair {
  V hi;
  V lo;
};

template <typename V>
inline DoublePair<V> Split(V a) {
  const V c = 134217729.0 * a;  // 2^27 + 1
  const V hi = c - (c - a);
  return {hi, a - hi};
}

template <typename V>
inline DoublePair<V> ExactProduct(V a, V b) {
  const DoublePair<V> as = Split(a);
  const DoublePair<V> bs = Split(b);
  const V p = a * b;
  const V e = ((as.hi * bs.hi - p) + as.hi * bs.lo + as.lo * bs.hi) + as.lo * bs.lo;
  return {p, e};
}

// tanh(x) for 2^-28 <= x < 2^-4: x + x^3 Q(x^2) from the Taylor series; the first omitted term,
// 6404582/10854718875 x^17, is below 2^-74 of the result.
template <typename V>
inline V TanhPolynomial(V x) {
  const V u = x * x;
  const V q =
      -1.0 / 3 +
      u * (2.0 / 15 +
           u * (-17.0 / 315 +
                u * (62.0 / 2835 + u * (-1382.0 / 155925 +
                                        u * (21844.0 / 6081075 + u * (-929569.0 / 638512875))))));
  return x + x * (u * q);
}

// tanh(x) for 2^-4 <= x < 22 as 1 - 2/(1 + e^(2x)). e^(2x) is kept as a pair of doubles accurate to
// about 2^-60, the quotient as a pair too, so the only sizeable rounding is the last one. Harmless
// for any other argument, like ExpFast.
template <typename V>
inline V TanhFromExp(V x) {
  const ExpReduction<V> red = ReduceExp<V>(2.0 * x);
  const V r2 = red.r * red.r;
  // One more Taylor term than Exp needs: the result gets the pair's error amplified by up to 8.
  const V p =
      red.r + r2 * (0.5 + red.r * (1.0 / 6 +
                                   red.r * (1.0 / 24 + red.r * (1.0 / 120 + red.r * (1.0 / 720)))));
  const V tail = red.entry.tail;
  const V e_hi = ScaleFor(red, 0);
  const V e_lo = e_hi * (p + (tail + tail * p));
  // d = 1 + e^(2x) as a normalised pair, so that 2/d_hi is within a rounding of 2/d. Each sum has
  // its larger term first (e_hi >= 1), so its rounding error is exactly what the next line
  // computes.
  const V e = e_hi + e_lo;
  const V e_err = e_lo - (e - e_hi);
  const V d_hi = e + 1.0;
  const V d_lo = (1.0 - (d_hi - e)) + e_err;
  // q = 2/d: the remainder 2 - q_hi d_hi is computed exactly; 2 - product.hi is exact because the
  // product is within a rounding of 2.
  const V q_hi = 2.0 / d_hi;
  const DoublePair<V> product = ExactProduct(q_hi, d_hi);
  const V remainder = ((2.0 - product.hi) - product.lo) - q_hi * d_lo;
  const V q_lo = remainder * (0.5 * q_hi);
  // 1 - q with q_hi <= 1: the rounding error of 1 - q_hi is exact as well.
  const V s = 1.0 - q_hi;
  const V s_err = (1.0 - s) - q_hi;
  return s + (s_err - q_lo);
}

// Whether a comparison's mask is set in any lane: the sign bits, gathered by one instruction
// where there is one.
typedef std::int64_t Mask2 __attribute__((vector_size(16)));
typedef std::int64_t Mask4 __attribute__((vector_size(32)));
inline bool Any(Mask2 mask) {
#if defined(__SSE2__)
  return __builtin_ia32_movmskpd(__builtin_bit_cast(Double2, mask)) != 0;
#else
  return (mask[0] | mask[1]) != 0;
#endif
}
#if defined(__x86_64__) || defined(__i386__)
__attribute__((target("avx"))) inline bool Any(Mask4 mask) {
  return __builtin_ia32_movmskpd256(__builtin_bit_cast(Double4, mask)) != 0;
}
#else
inline bool Any(Mask4 mask) {
  return (mask[0] | mask[1] | mask[2] | mask[3]) != 0;
}
#endif

// The first `used` lanes of `x` for which `in_range` holds keep `fast`'s value; the others are
// computed again, one at a time, by `slow` (the scalar function, which handles every argument).
// Lanes past `used` keep whatever they hold.
template <typename V, typename Mask>
inline V RedoOutside(V x, V fast, Mask in_range, std::size_t used, double (*slow)(double)) {
  if (!Any(~in_range)) return fast;
  for (int l = 0; l < kLanes<V> && static_cast<std::size_t>(l) < used; ++l) {
    if (in_range[l] == 0) fast[l] = slow(x[l]);
  }
  return fast;
}

// e^x of the first `used` lanes; `exp` is the scalar Exp, for the rare lanes outside the fast
// path's range.
template <typename V>
inline V ExpLanes(V x, std::size_t used, double (*exp)(double)) {
  return RedoOutside(x, ExpFast(x), (x > kExpFastLow) & (x < kExpFastHigh), used, exp);
}

// tanh(x) of the first `used` lanes, as the scalar Tanh computes it; `tanh` is that function, for
// the rare lanes where it returns early (tiny arguments, saturation, not-a-number).
template <typename V>
inline V TanhLanes(V x, std::size_t used, double (*tanh)(double)) {
  const BitsOf<V> sign = ToBits(x) & kSignBit;
  const V ax = FromBits<V>(ToBits(x) ^ sign);
  V t = TanhFromExp(ax);
  const auto polynomial = ax < kTanhPolynomialLimit;
  if (Any(polynomial)) {
    const auto pick = __builtin_bit_cast(BitsOf<V>, polynomial);
    t = FromBits<V>((ToBits(TanhPolynomial(ax)) & pick) | (ToBits(t) & ~pick));
  }
  t = FromBits<V>(ToBits(t) ^ sign);
  return RedoOutside(x, t, (ax >= kTanhTiny) & (ax < kTanhSaturation), used, tanh);
}

// A neuron's activation from its weighted sum: `s` = sum - threshold, then tanh(alpha s) for TH
// and 1 / (1 + e^(-alpha s)) for the sigmoid types. Members [0, tanh_count) of `count` are TH, the
// rest of a sigmoid type: the longer tanh goes first, so that the sigmoids overlap its latency.
// Reads and writes whole vectors: the arrays have room for `count` rounded up to a whole vector,
// and lanes past the end compute what they will.
template <typename V>
inline void ActivateLanes(const double* sums, const double* thresholds, const double* alphas,
                          std::size_t tanh_count, std::size_t count, double* s_out, double* out,
                          double (*exp)(double), double (*tanh)(double)) {
  constexpr std::size_t kStep = kLanes<V>;
  for (std::size_t i = 0; i < tanh_count; i += kStep) {
    const V s = Load<V>(sums + i) - Load<V>(thresholds + i);
    Store(s_out + i, s);
    Store(out + i, TanhLanes(Load<V>(alphas + i) * s, tanh_count - i, tanh));
  }
  for (std::size_t i = tanh_count; i < count; i += kStep) {
    const V s = Load<V>(sums + i) - Load<V>(thresholds + i);
    Store(s_out + i, s);
    const V e = ExpLanes(-Load<V>(alphas + i) * s, count - i, exp);
    Store(out + i, 1.0 / (1.0 + e));
  }
}

// Sums of `A` vectors of neurons side by side over `rows` rows: lane b of vector a is neuron
// a * lanes + b, and its sum is 0 + w[0][n] x[0] + w[1][n] x[1] + ..., each addition in row order,
// exactly as summing the neuron on its own. The weights lie row-major, A vectors a row.
template <typename V, int A>
inline void SumShared(const double* w, const double* x, std::uint32_t rows, double* sums) {
  constexpr std::size_t kRow = static_cast<std::size_t>(A) * kLanes<V>;
  V acc[A] = {};
  for (std::uint32_t k = 0; k < rows; ++k) {
    const V xk = Splat<V>(x[k]);
    const double* row = w + k * kRow;
    for (int a = 0; a < A; ++a) acc[a] += Load<V>(row + a * kLanes<V>) * xk;
  }
  for (int a = 0; a < A; ++a) Store(sums + a * kLanes<V>, acc[a]);
}

// As SumShared, but each lane reads its own inputs, values[sources[.]], the sources row-major like
// the weights. `row_runs` holds the ends of alternating runs of rows: first rows where every lane
// reads one source (loaded once), then rows where they differ.
template <typename V, int A>
inline void SumOwn(const double* w, const double* values, const std::uint32_t* sources,
                   const std::uint32_t* row_runs, std::uint32_t run_count, double* sums) {
  constexpr std::size_t kRow = static_cast<std::size_t>(A) * kLanes<V>;
  V acc[A] = {};
  std::uint32_t row = 0;
  for (std::uint32_t r = 0; r < run_count; ++r) {
    const std::uint32_t end = row_runs[r];
    if (r % 2 == 0) {
      for (; row < end; ++row) {
        const std::size_t i = row * kRow;
        const V xk = Splat<V>(values[sources[i]]);
        for (int a = 0; a < A; ++a) acc[a] += Load<V>(w + i + a * kLanes<V>) * xk;
      }
    } else {
      for (; row < end; ++row) {
        const std::size_t i = row * kRow;
        for (int a = 0; a < A; ++a) {
          V xk;
          for (int l = 0; l < kLanes<V>; ++l) xk[l] = values[sources[i + a * kLanes<V> + l]];
          acc[a] += Load<V>(w + i + a * kLanes<V>) * xk;
        }
      }
    }
  }
  for (int a = 0; a < A; ++a) Store(sums + a * kLanes<V>, acc[a]);
}

// SumShared and SumOwn for a block `vectors` vectors wide, 1 to `A`.
template <typename V, int A>
inline void SumSharedVectors(std::uint32_t vectors, const double* w, const double* x,
                             std::uint32_t rows, double* sums) {
  if constexpr (A > 1) {
    if (vectors < A) return SumSharedVectors<V, A - 1>(vectors, w, x, rows, sums);
  }
  SumShared<V, A>(w, x, rows, sums);
}

template <typename V, int A>
inline void SumOwnVectors(std::uint32_t vectors, const double* w, const double* values,
                          const std::uint32_t* sources, const std::uint32_t* row_runs,
                          std::uint32_t run_count, double* sums) {
  if constexpr (A > 1) {
    if (vectors < A) {
      return SumOwnVectors<V, A - 1>(vectors, w, values, sources, row_runs, run_count, sums);
    }
  }
  SumOwn<V, A>(w, values, sources, row_runs, run_count, sums);
}

}  // namespace
}  // namespace mplnet::internal

#endif  // MPLNET_ENGINE_LANES_H_
