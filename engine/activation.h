// The activation functions of the neurons, shared by every path that runs a neuron so that all of
// them give the same bits. They use the project's own exp and tanh, so the Linux library and the
// Windows DLL compute identical outputs (the C runtimes' versions differ in the last bit).
#ifndef MPLNET_ENGINE_ACTIVATION_H_
#define MPLNET_ENGINE_ACTIVATION_H_

#include "engine/activation_math.h"
#include "mplnet/engine.h"

namespace mplnet::internal {

// The output of a neuron of activation type `atype` and steepness `alpha` for the sum `s`.
inline double Activate(unsigned atype, double alpha, double s) {
  if (atype == Neuron::TH) return Tanh(alpha * s);
  return 1.0 / (1.0 + Exp(-alpha * s));
}

}  // namespace mplnet::internal

#endif  // MPLNET_ENGINE_ACTIVATION_H_
