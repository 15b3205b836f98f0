// The forward pass read plainly, kept as the reference the compiled pass is measured against: every
// position and every link's source looked up by its coordinate key, each link fed through
// Neuron::setInput and each neuron run by Neuron::Run, in the order the network prescribes.
#ifndef MPLNET_TESTS_PLAIN_READING_H_
#define MPLNET_TESTS_PLAIN_READING_H_

#include <cstddef>
#include <memory>
#include <vector>

#include "mplnet/engine.h"

namespace mplnet::testing {

// One forward pass of `p` on `in`, without the compiled plan.
inline void PlainRun(const Perceptron& p, const std::vector<double>& in) {
  for (int i = 0; i < p.GetLCount(); ++i) {
    for (int j = 0; j < p.GetLayerSize(i); ++j) {
      const std::shared_ptr<Elem> elem = p.getElem(i, j);
      if (elem == nullptr || elem->kernel == nullptr) continue;
      Neuron& neuron = *elem->kernel;
      if (i == 0) {
        if (static_cast<std::size_t>(j) >= in.size()) continue;  // not fed, not run
        neuron.setInput(in[static_cast<std::size_t>(j)], 0, 0);
      } else {
        for (const SynapseWeight& link : neuron.getSynapses()) {
          // A source later in the pass gives its previous output; a missing one gives 0.
          const std::shared_ptr<Elem> source = p.getElem(link.x, link.y);
          const bool present = source != nullptr && source->kernel != nullptr;
          neuron.setInput(present ? source->kernel->getOutput() : 0.0, link.x, link.y);
        }
      }
      neuron.Run();
    }
  }
}

}  // namespace mplnet::testing

#endif  // MPLNET_TESTS_PLAIN_READING_H_
