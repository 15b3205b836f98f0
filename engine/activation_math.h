// The exponential and hyperbolic tangent used by the neurons' activation functions.
//
// The C runtimes of the builds we ship (glibc on Linux, the Windows runtime behind the 32-bit DLL)
// round exp and tanh differently in the last bit for some arguments, so a network would give
// different outputs on each platform. These versions use plain IEEE double arithmetic only (no
// long double, no fused multiply-add, no library calls), so every build that computes doubles in
// SSE2 registers returns the same bits. Both stay within 1 unit in the last place of the exact
// result.
#ifndef MPLNET_ENGINE_ACTIVATION_MATH_H_
#define MPLNET_ENGINE_ACTIVATION_MATH_H_

namespace mplnet::internal {

// e^x: NaN stays NaN, +inf and results past the largest double give +inf, -inf gives +0, results
// below the smallest normal double come out as subnormals or +0, and Exp(-0) is 1.
double Exp(double x);

// tanh(x): NaN stays NaN, +/-inf give +/-1, the sign of zero is kept, and tiny arguments return
// themselves.
double Tanh(double x);

}  // namespace mplnet::internal

#endif  // MPLNET_ENGINE_ACTIVATION_MATH_H_
