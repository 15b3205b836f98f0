// Builds the 2-1 network of docs/cpp.md in code, runs it on a few inputs and prints the outputs.
#include <cstdio>
#include <vector>

#include "mplnet/engine.h"

int main() {
  using mplnet::Neuron;
  mplnet::Perceptron net;
  net.Add(0, 0);
  net.AddLink(0, 0, 0, 0, 1.0);  // an input element receives its value through its link (0, 0)
  net.Add(0, 1);
  net.AddLink(0, 1, 0, 0, 1.0);
  net.Add(1, 0);
  net.SetAttr(1, 0, Neuron::ATTR_NTYPE, Neuron::NOutput);
  net.SetAttr(1, 0, Neuron::ATTR_ATYPE, Neuron::SIGM);
  net.SetAttr(1, 0, Neuron::ATTR_ALPHA, 2.0);
  net.setThreshold(1, 0, 0.1);
  net.AddLink(1, 0, 0, 0, 0.5);
  net.AddLink(1, 0, 0, 1, 0.25);

  const std::vector<std::vector<double>> inputs = {{1, 2}, {0, 0}, {-1, 3}};
  for (const std::vector<double>& in : inputs) {
    net.Run(in);
    std::printf("%g, %g -> %.17g\n", in[0], in[1], net.GetOutput()[0]);
  }
  return 0;
}
