// Builds the worked 2-1 network through the installed engine, runs it, and asks the installed
// exports for their output count; prints both for the install test to compare.
#include <mplnet/engine.h>
#include <mplnet/mplnet.h>

#include <cstdio>

int main() {
  using mplnet::Neuron;
  mplnet::Perceptron net;
  net.Add(0, 0);
  net.AddLink(0, 0, 0, 0, 1.0);
  net.Add(0, 1);
  net.AddLink(0, 1, 0, 0, 1.0);
  net.Add(1, 0);
  net.SetAttr(1, 0, Neuron::ATTR_NTYPE, Neuron::NOutput);
  net.SetAttr(1, 0, Neuron::ATTR_ATYPE, Neuron::SIGM);
  net.SetAttr(1, 0, Neuron::ATTR_ALPHA, 2.0);
  net.setThreshold(1, 0, 0.1);
  net.AddLink(1, 0, 0, 0, 0.5);
  net.AddLink(1, 0, 0, 1, 0.25);
  net.Run({1.0, 2.0});
  std::printf("output %.15g\n", net.GetOutput().at(0));
  std::printf("exports %d\n", MPLGetOutArraySize());
  return 0;
}
