// Prints the exact bits of forward-pass outputs for a fixed set of networks and inputs, or checks
// them against a reference file.
//
// The Linux library and the 32-bit Windows DLL must compute identical outputs. Both builds run this
// program against the same reference file (tests/data/forward_bits.txt, written by the native
// build), so the two suites passing together means the builds agree to the bit.
//
//   forward_bits              print one line per case: "<network> <case> <output bits in hex>..."
//   forward_bits --check F    compare with file F; report how many outputs differ and by how many
//                             units in the last place; exit 1 if any does
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iomanip>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include "mplnet/engine.h"

namespace {

using mplnet::Neuron;
using mplnet::Perceptron;

// A generator whose sequence is fixed by its definition (splitmix64), so every compiler and
// standard library produce the same networks and inputs.
class Sequence {
 public:
  explicit Sequence(std::uint64_t seed) : state_(seed) {}
  std::uint64_t Next() {
    std::uint64_t z = (state_ += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
  }
  // Uniform in [0, 1), from the top 53 bits.
  double Unit() { return static_cast<double>(Next() >> 11) * 0x1.0p-53; }
  double Between(double lo, double hi) { return lo + (hi - lo) * Unit(); }

 private:
  std::uint64_t state_;
};

struct NetworkShape {
  const char* name;
  std::vector<int> layers;
  unsigned activation;  // Neuron::Null keeps the mix the constructor chooses
  double weight_span;   // weights and thresholds drawn from [-span, span)
};

// Small and large networks, each activation, and weights wide enough to drive the activations
// into saturation, where exp and tanh are most likely to differ between C runtimes.
const std::vector<NetworkShape>& Shapes() {
  static const std::vector<NetworkShape> shapes = {
      {"2-1", {2, 1}, Neuron::Null, 1.0},
      {"3-4-2-th", {3, 4, 2}, Neuron::TH, 2.0},
      {"3-4-2-sigm", {3, 4, 2}, Neuron::SIGM, 2.0},
      {"3-4-2-exp", {3, 4, 2}, Neuron::EXP, 2.0},
      {"5-8-8-3", {5, 8, 8, 3}, Neuron::Null, 1.5},
      {"10-20-5-th", {10, 20, 5}, Neuron::TH, 0.5},
      {"10-20-5-sigm", {10, 20, 5}, Neuron::SIGM, 8.0},
      {"16-32-16-4", {16, 32, 16, 4}, Neuron::Null, 3.0},
  };
  return shapes;
}

constexpr int kCasesPerNetwork = 12;

Perceptron Build(const NetworkShape& shape, std::uint64_t seed) {
  Sequence draws(seed);
  mplnet::SetRandomSource([&draws] { return draws.Unit(); });
  Perceptron net(shape.layers);
  mplnet::SetRandomSource(nullptr);
  if (shape.activation != Neuron::Null) net.setActivationAll(shape.activation);
  Sequence values(seed ^ 0x5A5A5A5A5A5A5A5Aull);
  for (const auto& elem : net.GetMPL()) {
    if (elem->x == 0) continue;  // input elements keep their unit link
    net.setThreshold(elem->x, elem->y, values.Between(-shape.weight_span, shape.weight_span));
    for (const auto& link : elem->kernel->getSynapses()) {
      net.setWeight(elem->x, elem->y, static_cast<unsigned>(link.x), static_cast<unsigned>(link.y),
                    values.Between(-shape.weight_span, shape.weight_span));
    }
  }
  return net;
}

// Inputs of several magnitudes, the extremes included.
std::vector<double> Inputs(int size, int index, Sequence& draws) {
  static const double kScales[] = {1.0, 0.001, 10.0, 100.0, 1e-9, 1e6};
  const double scale = kScales[index % 6];
  std::vector<double> in(static_cast<std::size_t>(size));
  for (double& v : in) v = draws.Between(-scale, scale);
  return in;
}

std::string Hex(double value) {
  std::uint64_t bits;
  std::memcpy(&bits, &value, sizeof bits);
  std::ostringstream out;
  out << std::hex << std::setw(16) << std::setfill('0') << bits;
  return out.str();
}

std::vector<std::string> Lines() {
  std::vector<std::string> lines;
  std::uint64_t seed = 1;
  for (const NetworkShape& shape : Shapes()) {
    Perceptron net = Build(shape, seed++);
    Sequence draws(seed++);
    for (int c = 0; c < kCasesPerNetwork; ++c) {
      net.Run(Inputs(shape.layers.front(), c, draws));
      std::ostringstream line;
      line << shape.name << ' ' << c;
      for (double v : net.GetOutput()) line << ' ' << Hex(v);
      lines.push_back(line.str());
    }
  }
  return lines;
}

double FromHex(const std::string& text) {
  const std::uint64_t bits = std::strtoull(text.c_str(), nullptr, 16);
  double value;
  std::memcpy(&value, &bits, sizeof value);
  return value;
}

// Distance in units in the last place between two finite doubles of the same sign.
std::uint64_t UlpDistance(double a, double b) {
  std::int64_t ia, ib;
  std::memcpy(&ia, &a, sizeof ia);
  std::memcpy(&ib, &b, sizeof ib);
  if (ia < 0) ia = INT64_MIN - ia;
  if (ib < 0) ib = INT64_MIN - ib;
  return ia > ib ? static_cast<std::uint64_t>(ia) - static_cast<std::uint64_t>(ib)
                 : static_cast<std::uint64_t>(ib) - static_cast<std::uint64_t>(ia);
}

std::vector<std::string> Words(const std::string& line) {
  std::istringstream in(line);
  std::vector<std::string> words;
  for (std::string w; in >> w;) words.push_back(w);
  return words;
}

int Check(const char* path) {
  std::ifstream file(path);
  if (!file) {
    std::cerr << "cannot read " << path << "\n";
    return 2;
  }
  std::vector<std::string> expected;
  for (std::string line; std::getline(file, line);) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (!line.empty()) expected.push_back(line);
  }
  const std::vector<std::string> actual = Lines();
  if (expected.size() != actual.size()) {
    std::cerr << path << ": " << expected.size() << " cases, this build computes " << actual.size()
              << "\n";
    return 1;
  }
  int outputs = 0, differing = 0;
  std::uint64_t worst = 0;
  for (std::size_t i = 0; i < actual.size(); ++i) {
    const auto want = Words(expected[i]);
    const auto got = Words(actual[i]);
    if (want.size() != got.size() || want.size() < 2 || want[0] != got[0] || want[1] != got[1]) {
      std::cerr << "case layout differs: expected \"" << expected[i] << "\", got \"" << actual[i]
                << "\"\n";
      return 1;
    }
    for (std::size_t k = 2; k < got.size(); ++k) {
      ++outputs;
      if (want[k] == got[k]) continue;
      ++differing;
      const std::uint64_t ulps = UlpDistance(FromHex(want[k]), FromHex(got[k]));
      worst = std::max(worst, ulps);
      std::cerr << got[0] << " case " << got[1] << " output " << (k - 2) << ": expected " << want[k]
                << ", got " << got[k] << " (" << ulps << " ulp)\n";
    }
  }
  std::cout << outputs << " outputs compared, " << differing << " differ";
  if (differing > 0) std::cout << ", at most " << worst << " ulp";
  std::cout << "\n";
  return differing == 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 3 && std::strcmp(argv[1], "--check") == 0) return Check(argv[2]);
  if (argc != 1) {
    std::cerr << "usage: forward_bits [--check REFERENCE]\n";
    return 2;
  }
  for (const std::string& line : Lines()) std::cout << line << "\n";
  return 0;
}
