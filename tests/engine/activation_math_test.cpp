// Exp and Tanh: special values, accuracy against an extended-precision reference over millions of
// arguments, the vector forms of every kernel set against the scalar ones, and a digest of their
// bits that every build (native and 32-bit Windows) must reproduce.
#include "engine/activation_math.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cfloat>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <limits>
#include <random>
#include <vector>

#include "engine/activation.h"
#include "engine/kernels.h"

namespace mplnet::internal {
namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kMinSubnormal = std::numeric_limits<double>::denorm_min();

// Arguments from a fixed-seed engine mapped by plain arithmetic: the standard library's
// distributions are free to differ between implementations, these arguments are not.
class Arguments {
 public:
  explicit Arguments(std::uint64_t seed) : engine_(seed) {}
  double Uniform(double lo, double hi) {
    return lo + (hi - lo) * (static_cast<double>(engine_() >> 11) * 0x1p-53);
  }
  double AnyBits() { return std::bit_cast<double>(engine_()); }

 private:
  std::mt19937_64 engine_;
};

// Distance in representable doubles (ulps) between two results of the same sign.
std::uint64_t UlpDistance(double a, double b) {
  const auto ia = std::bit_cast<std::int64_t>(a);
  const auto ib = std::bit_cast<std::int64_t>(b);
  return ia > ib ? static_cast<std::uint64_t>(ia - ib) : static_cast<std::uint64_t>(ib - ia);
}

bool SameBits(double a, double b) {
  return std::bit_cast<std::uint64_t>(a) == std::bit_cast<std::uint64_t>(b);
}

struct SpecialCase {
  double x;
  double expected;  // compared bit for bit, so the sign of zero counts
};

TEST(ActivationMathTest, ExpSpecialValues) {
  const SpecialCase cases[] = {
      {0.0, 1.0},
      {-0.0, 1.0},
      {kInf, kInf},
      {-kInf, 0.0},
      {1.0, 0x1.5bf0a8b145769p+1},
      {-1.0, 0x1.78b56362cef38p-2},
      {20.0, 0x1.ceb088b68e804p+28},
      {-20.0, 0x1.1b48655f37267p-29},
      {0x1p-52, 0x1.0000000000001p+0},  // tiny arguments still move the last bit
      {-0x1p-53, 0x1.fffffffffffffp-1},
      {-0x1p-54, 1.0},
      {1e-300, 1.0},
      {-1e-300, 1.0},
      {709.782712893384, 0x1.fffffffffff2ap+1023},  // just below overflow
      {709.79, kInf},
      {1000.0, kInf},
      {-708.39641853226408, 0x1.000000000007cp-1022},  // just above the smallest normal
      {-710.0, 0x0.33802fd28b3c3p-1022},               // subnormal results
      {-720.5, 0x0.00005cf08fff0p-1022},
      {-740.0, 0x0.0000000000055p-1022},
      {-745.1, kMinSubnormal},
      {-745.14, 0.0},
      {-1000.0, 0.0},
  };
  for (const SpecialCase& c : cases) {
    EXPECT_TRUE(SameBits(Exp(c.x), c.expected))
        << "Exp(" << std::hexfloat << c.x << ") = " << Exp(c.x) << ", expected " << c.expected;
  }
  EXPECT_TRUE(std::isnan(Exp(kNaN)));
  EXPECT_TRUE(std::isnan(Exp(-kNaN)));
}

TEST(ActivationMathTest, TanhSpecialValues) {
  const SpecialCase cases[] = {
      {0.0, 0.0},
      {-0.0, -0.0},
      {kInf, 1.0},
      {-kInf, -1.0},
      {kMinSubnormal, kMinSubnormal},
      {-kMinSubnormal, -kMinSubnormal},
      {1e-300, 1e-300},
      {0x1p-28, 0x1p-28},
      {0x1.0000000000001p-28, 0x1.0000000000001p-28},
      {0.01, 0x1.47ab48ae4595ep-7},
      {0.0625, 0x1.ff55997e030d7p-5},  // where the two forms meet
      {-0.0625, -0x1.ff55997e030d7p-5},
      {0.5, 0x1.d9353d7568af3p-2},
      {1.0, 0x1.85efab514f394p-1},
      {-1.0, -0x1.85efab514f394p-1},
      {3.0, 0x1.fd77d111a0b00p-1},
      {-7.5, -0x1.ffffeb78a3c73p-1},
      {18.0, 0x1.ffffffffffffcp-1},
      {19.1, 1.0},  // saturated
      {22.0, 1.0},
      {-1e300, -1.0},
  };
  for (const SpecialCase& c : cases) {
    EXPECT_TRUE(SameBits(Tanh(c.x), c.expected))
        << "Tanh(" << std::hexfloat << c.x << ") = " << Tanh(c.x) << ", expected " << c.expected;
  }
  EXPECT_TRUE(std::isnan(Tanh(kNaN)));
  EXPECT_TRUE(std::isnan(Tanh(-kNaN)));
}

#if LDBL_MANT_DIG >= 64
// The error of a double result in ulps of the exact value, measured against a reference with 11
// more bits. A result that overflowed is exact when the reference rounds to infinity too.
double UlpError(double result, long double reference) {
  const double rounded = static_cast<double>(reference);
  if (std::isinf(result) || std::isinf(rounded)) return result == rounded ? 0.0 : kInf;
  if (std::isnan(result)) return kInf;
  int exponent = 0;
  std::frexp(std::fabs(reference), &exponent);
  const long double ulp = std::ldexp(1.0L, std::max(exponent - 53, -1074));
  return static_cast<double>(std::fabs(static_cast<long double>(result) - reference) / ulp);
}

// Ours must stay this close to the exact result: the last rounding costs 0.5, the rest of the
// evaluation a few hundredths.
constexpr double kMaxUlpError = 0.55;

struct Function {
  const char* name;
  double (*ours)(double);
  double (*runtime)(double);
  long double (*reference)(long double);
  std::uint64_t max_runtime_gap;  // ulps allowed between ours and the C runtime's
};

struct Range {
  double lo;
  double hi;
  int sweep;   // evenly spaced arguments
  int random;  // arguments from the fixed-seed generator
};

void CheckAccuracy(const Function& f, const std::vector<Range>& ranges) {
  Arguments args(20240601);
  long total = 0;
  long runtime_differs = 0;
  double worst_error = 0.0;
  for (const Range& range : ranges) {
    double max_error = 0.0;
    double worst_x = 0.0;
    std::uint64_t max_gap = 0;
    const int n = range.sweep + range.random;
    for (int i = 0; i < n; ++i) {
      const double x = i < range.sweep ? range.lo + (range.hi - range.lo) * i / range.sweep
                                       : args.Uniform(range.lo, range.hi);
      const double y = f.ours(x);
      const double error = UlpError(y, f.reference(x));
      if (!(error <= max_error)) {
        max_error = error;
        worst_x = x;
      }
      const double runtime = f.runtime(x);
      if (!SameBits(y, runtime)) {
        ++runtime_differs;
        max_gap = std::max(max_gap, UlpDistance(y, runtime));
      }
    }
    EXPECT_LE(max_error, kMaxUlpError) << f.name << " on [" << range.lo << ", " << range.hi
                                       << "], worst at " << std::hexfloat << worst_x;
    EXPECT_LE(max_gap, f.max_runtime_gap)
        << f.name << " vs the C runtime on [" << range.lo << ", " << range.hi << "]";
    worst_error = std::max(worst_error, max_error);
    total += n;
  }
  std::printf("%s: %ld arguments, max error %.4f ulp, differs from the C runtime on %ld\n", f.name,
              total, worst_error, runtime_differs);
}

long double ReferenceExp(long double x) {
  return std::exp(x);
}
long double ReferenceTanh(long double x) {
  return std::tanh(x);
}
double RuntimeExp(double x) {
  return std::exp(x);
}
double RuntimeTanh(double x) {
  return std::tanh(x);
}

TEST(ActivationMathTest, ExpCloseToExact) {
  CheckAccuracy({"Exp", Exp, RuntimeExp, ReferenceExp, 1},
                {
                    {-1.0, 1.0, 1'000'000, 500'000},
                    {-0x1p-8, 0x1p-8, 200'000, 200'000},  // no table step: the polynomial alone
                    {-40.0, 40.0, 500'000, 500'000},      // sigmoid arguments of any sensible net
                    {-745.2, -700.0, 200'000, 200'000},   // subnormal results and their edge
                    {700.0, 709.9, 200'000, 200'000},     // up to and past overflow
                    {-750.0, 712.0, 200'000, 200'000},
                });
}

TEST(ActivationMathTest, TanhCloseToExact) {
  // C runtimes' tanh is off by up to about 2 ulps (glibc's measurably so), hence the wider gap.
  CheckAccuracy({"Tanh", Tanh, RuntimeTanh, ReferenceTanh, 3},
                {
                    {-1e-6, 1e-6, 100'000, 100'000},
                    {-0.0625, 0.0625, 300'000, 300'000},  // the polynomial
                    {0.05, 0.08, 200'000, 200'000},       // both sides of the switch
                    {-3.0, 3.0, 1'000'000, 500'000},
                    {-25.0, 25.0, 300'000, 300'000},  // into saturation
                });
}
#else
TEST(ActivationMathTest, ExpCloseToExact) {
  GTEST_SKIP() << "long double has no extra precision here";
}
TEST(ActivationMathTest, TanhCloseToExact) {
  GTEST_SKIP() << "long double has no extra precision here";
}
#endif

// Arguments that reach every path: specials, random bit patterns of any magnitude, and ranges.
std::vector<double> MixedArguments(int n) {
  std::vector<double> xs = {0.0,     -0.0,   kInf,       -kInf,       kNaN, kMinSubnormal,
                            -745.14, 709.79, -0x1.8p-29, 0x1.0001p-4, 22.0, -22.0};
  Arguments args(7);
  for (int i = 0; i < n; ++i) {
    switch (i % 4) {
      case 0:
        xs.push_back(args.AnyBits());
        break;
      case 1:
        xs.push_back(args.Uniform(-750.0, 712.0));
        break;
      case 2:
        xs.push_back(args.Uniform(-25.0, 25.0));
        break;
      default:
        xs.push_back(args.Uniform(-0.1, 0.1));
        break;
    }
  }
  return xs;
}

TEST(ActivationMathTest, KernelActivationsGiveTheScalarBits) {
  // Every kernel set this machine runs, on groups of every size up to two blocks, split between
  // TH and the sigmoid types at every point: each value wherever it falls in a vector.
  const std::vector<double> xs = MixedArguments(40'000);
  Arguments args(11);
  for (const Kernels* kernels : AvailableKernels()) {
    const std::size_t room = 2 * kernels->max_block + kernels->max_block;
    std::vector<double> sums(room), thresholds(room), alphas(room), s(room), out(room);
    long mismatches = 0;
    std::size_t next = 0;
    for (std::size_t count = 1; count <= 2 * kernels->max_block; ++count) {
      for (std::size_t tanh = 0; tanh <= count; ++tanh) {
        for (std::size_t m = 0; m < count; ++m, next = (next + 1) % xs.size()) {
          sums[m] = xs[next];
          thresholds[m] = m % 3 == 0 ? 0.0 : args.Uniform(-2.0, 2.0);
          alphas[m] = m % 5 == 0 ? 1.0 : args.Uniform(-3.0, 3.0);
        }
        kernels->activate(sums.data(), thresholds.data(), alphas.data(), tanh, count, s.data(),
                          out.data());
        for (std::size_t m = 0; m < count; ++m) {
          const double expected_s = sums[m] - thresholds[m];
          const unsigned atype = m < tanh ? Neuron::TH : Neuron::SIGM;
          const double expected = Activate(atype, alphas[m], expected_s);
          if ((!SameBits(s[m], expected_s) || !SameBits(out[m], expected)) && mismatches++ == 0) {
            ADD_FAILURE() << kernels->name << ": " << count << " members, " << tanh
                          << " TH, member " << m << ", sum " << std::hexfloat << sums[m];
          }
        }
      }
    }
    EXPECT_EQ(mismatches, 0) << kernels->name;
  }
}

// FNV-1a over the bits of every result. The expected digests were taken from the native build; the
// 32-bit Windows build must reproduce them exactly. They change only if the algorithm changes.
std::uint64_t Digest(double (*f)(double), const std::vector<double>& xs) {
  std::uint64_t hash = 0xcbf29ce484222325u;
  for (double x : xs) {
    const double y = f(x);
    // All NaNs count as one: their payload is not part of the contract.
    const std::uint64_t bits =
        std::isnan(y) ? 0x7ff8000000000000u : std::bit_cast<std::uint64_t>(y);
    for (int b = 0; b < 64; b += 8) hash = (hash ^ ((bits >> b) & 0xff)) * 0x100000001b3u;
  }
  return hash;
}

TEST(ActivationMathTest, SameBitsOnEveryBuild) {
  const std::vector<double> xs = MixedArguments(400'000);
  EXPECT_EQ(Digest(Exp, xs), 0xebdd57455be422bau) << std::hex << Digest(Exp, xs);
  EXPECT_EQ(Digest(Tanh, xs), 0x4728908360529908u) << std::hex << Digest(Tanh, xs);
}

}  // namespace
}  // namespace mplnet::internal
