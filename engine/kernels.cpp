// The SSE2 kernels, and the choice between kernel sets.
#include "engine/kernels.h"

#include <atomic>

#include "engine/activation_math.h"
#include "engine/lanes.h"

namespace mplnet::internal {
namespace {

// Sixteen sums fill eight SSE2 registers, enough independent additions to keep the adders busy;
// 32-bit x86 has only eight registers in all.
#if defined(__i386__) || defined(_M_IX86)
constexpr int kMaxVectors = 4;
#else
constexpr int kMaxVectors = 8;
#endif

void SumSharedSse2(std::uint32_t vectors, const double* w, const double* x, std::uint32_t rows,
                   double* sums) {
  SumSharedVectors<Double2, kMaxVectors>(vectors, w, x, rows, sums);
}

void SumOwnSse2(std::uint32_t vectors, const double* w, const double* values,
                const std::uint32_t* sources, const std::uint32_t* row_runs,
                std::uint32_t run_count, double* sums) {
  SumOwnVectors<Double2, kMaxVectors>(vectors, w, values, sources, row_runs, run_count, sums);
}

void ActivateSse2(const double* sums, const double* thresholds, const double* alphas,
                  std::size_t tanh_count, std::size_t count, double* s_out, double* out) {
  ActivateLanes<Double2>(sums, thresholds, alphas, tanh_count, count, s_out, out, Exp, Tanh);
}

constexpr Kernels kSse2{"sse2", 2, 2 * kMaxVectors, SumSharedSse2, SumOwnSse2, ActivateSse2};

std::atomic<const Kernels*> g_chosen{nullptr};

}  // namespace

#if MPLNET_WIDE_KERNELS
// kernels_avx2.cpp: the set, or nullptr when the CPU lacks AVX2.
const Kernels* Avx2Kernels();
#endif

const Kernels& BaselineKernels() {
  return kSse2;
}

std::vector<const Kernels*> AvailableKernels() {
  std::vector<const Kernels*> sets = {&kSse2};
#if MPLNET_WIDE_KERNELS
  if (const Kernels* avx2 = Avx2Kernels()) sets.push_back(avx2);
#endif
  return sets;
}

const Kernels& ChosenKernels() {
  const Kernels* chosen = g_chosen.load(std::memory_order_acquire);
  if (chosen != nullptr) return *chosen;
  // The widest set, found once.
  static const Kernels* const widest = AvailableKernels().back();
  return *widest;
}

void ChooseKernels(const Kernels* kernels) {
  g_chosen.store(kernels, std::memory_order_release);
}

}  // namespace mplnet::internal
