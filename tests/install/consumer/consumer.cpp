// Builds the worked 2-1 network through the installed engine and runs it, saves it into the folder
// given as the first argument and loads it back, refuses a malformed file there, and asks the
// installed exports for their output count; prints each for the install test to compare.
#include <mplnet/engine.h>
#include <mplnet/mplnet.h>
#include <mplnet/network_file.h>

#include <cstdio>
#include <fstream>
#include <string>

int main(int argc, char** argv) {
  if (argc != 2) return 2;
  const std::string folder = argv[1];
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

  mplnet::SavePerceptron(net, folder + "/net.ini");
  mplnet::Perceptron loaded = mplnet::LoadPerceptron(folder + "/net.ini");
  loaded.Run({1.0, 2.0});
  std::printf("loaded %.15g\n", loaded.GetOutput().at(0));

  const std::string bad = folder + "/bad.ini";
  std::ofstream(bad) << "[Neuron_10]\nX=1\nY=0\natype=2\nntype=3\nthreshold=0.1\nalpha=x\n";
  try {
    mplnet::LoadPerceptron(bad);
    std::printf("loaded a malformed file\n");
  } catch (const mplnet::NetworkFileError& e) {
    std::printf("refused %s [%s] %s: %s\n", e.file().c_str(), e.section().c_str(), e.key().c_str(),
                e.reason().c_str());
  }
  std::printf("exports %d\n", MPLGetOutArraySize());
  return 0;
}
