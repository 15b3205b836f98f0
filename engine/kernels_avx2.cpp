// The AVX2 kernels: four neurons a vector, up to thirty-two summed together. Only this file is
// compiled for AVX2, and only its own functions (the templates of engine/lanes.h have internal
// linkage), so nothing the rest of the library shares ever carries AVX2 instructions.
#include "engine/kernels.h"

#if MPLNET_WIDE_KERNELS

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "engine/activation_math.h"

#if defined(__clang__)
#pragma clang attribute push(__attribute__((target("avx2"))), apply_to = function)
#else
#pragma GCC push_options
#pragma GCC target("avx2")
#endif

#include "engine/lanes.h"

namespace mplnet::internal {
namespace {

void SumSharedAvx2(std::uint32_t vectors, const double* w, const double* x, std::uint32_t rows,
                   double* sums) {
  SumSharedVectors<Double4, 8>(vectors, w, x, rows, sums);
}

void SumOwnAvx2(std::uint32_t vectors, const double* w, const double* values,
                const std::uint32_t* sources, const std::uint32_t* row_runs,
                std::uint32_t run_count, double* sums) {
  SumOwnVectors<Double4, 8>(vectors, w, values, sources, row_runs, run_count, sums);
}

void ActivateAvx2(const double* sums, const double* thresholds, const double* alphas,
                  std::size_t tanh_count, std::size_t count, double* s_out, double* out) {
  ActivateLanes<Double4>(sums, thresholds, alphas, tanh_count, count, s_out, out, Exp, Tanh);
}

}  // namespace
}  // namespace mplnet::internal

#if defined(__clang__)
#pragma clang attribute pop
#else
#pragma GCC pop_options
#endif

namespace mplnet::internal {

const Kernels* Avx2Kernels() {
  static constexpr Kernels kKernels{"avx2", 4, 32, SumSharedAvx2, SumOwnAvx2, ActivateAvx2};
  __builtin_cpu_init();
  return __builtin_cpu_supports("avx2") ? &kKernels : nullptr;
}

}  // namespace mplnet::internal

#endif  // MPLNET_WIDE_KERNELS
