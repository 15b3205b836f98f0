// The forward pass's inner loops, compiled for more than one instruction set: SSE2, which every
// CPU and every build we ship has, and on 64-bit Linux also AVX2, used when the CPU has it. Lanes
// are neurons, so every width gives the same bits: each neuron's sum keeps its own order, and each
// activation runs the scalar function's operations (engine/lanes.h).
#ifndef MPLNET_ENGINE_KERNELS_H_
#define MPLNET_ENGINE_KERNELS_H_

#include <cstddef>
#include <cstdint>
#include <vector>

// The AVX2 kernels are built where GCC and Clang can compile them for chosen functions and the
// stack keeps their spills aligned (not on Windows, whose 64-bit ABI aligns it to 16 bytes only).
#if defined(__x86_64__) && !defined(_WIN32) && (defined(__GNUC__) || defined(__clang__))
#define MPLNET_WIDE_KERNELS 1
#else
#define MPLNET_WIDE_KERNELS 0
#endif

namespace mplnet::internal {

struct Kernels {
  const char* name;
  std::uint32_t lanes;      // doubles per vector
  std::uint32_t max_block;  // the widest block of neurons summed together, a multiple of `lanes`
  // The sums of a block `vectors` vectors wide (1 to max_block / lanes), as SumShared and SumOwn
  // in engine/lanes.h; all `vectors * lanes` sums are written.
  void (*sum_shared)(std::uint32_t vectors, const double* w, const double* x, std::uint32_t rows,
                     double* sums);
  void (*sum_own)(std::uint32_t vectors, const double* w, const double* values,
                  const std::uint32_t* sources, const std::uint32_t* row_runs,
                  std::uint32_t run_count, double* sums);
  // The activations of `count` neurons, the first `tanh_count` TH, the others of a sigmoid type,
  // as ActivateLanes in engine/lanes.h: every array has room for `count` rounded up to whole
  // vectors.
  void (*activate)(const double* sums, const double* thresholds, const double* alphas,
                   std::size_t tanh_count, std::size_t count, double* s_out, double* out);
};

// The SSE2 kernels.
const Kernels& BaselineKernels();
// Every kernel set this build has and the CPU runs, narrowest first.
std::vector<const Kernels*> AvailableKernels();
// The kernels that plans built from now on use: the widest there are, unless chosen otherwise.
const Kernels& ChosenKernels();
// Makes plans built from now on use `kernels` (a test compares them); nullptr restores the widest.
void ChooseKernels(const Kernels* kernels);

}  // namespace mplnet::internal

#endif  // MPLNET_ENGINE_KERNELS_H_
