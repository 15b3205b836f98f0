// What the tests look at inside the trainer.
#ifndef MPLNET_TRAINING_TRAINER_INTERNAL_H_
#define MPLNET_TRAINING_TRAINER_INTERNAL_H_

#include "mplnet/engine.h"
#include "mplnet/train.h"

namespace mplnet::training {

// The gradient of ½ Σ (output − target)², summed over `rows` (raw inputs, no standardisation), as
// the trainer computes it: a network like `net` whose every weight and threshold is the derivative
// by that weight or threshold. `sse`, when given, gets Σ (output − target)². With `weight_decay`,
// the gradient of the penalised error the trainer then minimises.
Perceptron GradientOf(const Perceptron& net, const DataTable& rows, double* sse = nullptr,
                      double weight_decay = 0.0);

}  // namespace mplnet::training

#endif  // MPLNET_TRAINING_TRAINER_INTERNAL_H_
