// Prints the exact bits of forward-pass outputs for a fixed set of networks and inputs, or checks
// them against a reference file.
//
// The Linux library, the 32-bit and the 64-bit Windows DLL must compute identical outputs. Every
// build runs this program against the same reference file (tests/data/forward_bits.txt, written by
// the native build), so the suites passing together mean the builds agree to the bit. Each network
// goes through a network file, as a host's does: it is saved, then loaded by the engine of this
// program or, with --library, by the shared library's MPLLoad and run by its MPLRun.
//
//   forward_bits [--library L]           print one line per case: "<network> <case> <output bits
//                                        in hex>...", computed by the engine or through library L
//   forward_bits --check F [--library L] compare the engine's outputs, and those of library L, with
//                                        file F; report how many outputs differ and by how many
//                                        units in the last place; exit 1 if any does
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iomanip>
#include <iostream>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "mplnet/engine.h"
#include "mplnet/mplnet.h"
#include "persistence/ini_file.h"
#include "test_support.h"
#include "tests/host/shared_library.h"

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
  unsigned activation;  // Neuron::Null keeps the mix the constructor chooses; see kMixed
  double weight_span;   // weights and thresholds drawn from [-span, span)
};

// As trained networks have them: a quarter of the neurons TH, the others SIGM or EXP, each with a
// steepness from 0.1 to 3.
constexpr unsigned kMixed = 4;

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
      {"10-20-5-mixed", {10, 20, 5}, kMixed, 2.0},
      {"100-200-10-mixed", {100, 200, 10}, kMixed, 0.4},
  };
  return shapes;
}

constexpr int kCasesPerNetwork = 12;

Perceptron Build(const NetworkShape& shape, std::uint64_t seed) {
  Sequence draws(seed);
  mplnet::SetRandomSource([&draws] { return draws.Unit(); });
  Perceptron net(shape.layers);
  mplnet::SetRandomSource(nullptr);
  if (shape.activation != Neuron::Null && shape.activation != kMixed) {
    net.setActivationAll(shape.activation);
  }
  Sequence kinds(seed ^ 0x3C3C3C3C3C3C3C3Cull);
  Sequence values(seed ^ 0x5A5A5A5A5A5A5A5Aull);
  for (const auto& elem : net.GetMPL()) {
    if (elem->x == 0) continue;  // input elements keep their unit link
    net.setThreshold(elem->x, elem->y, values.Between(-shape.weight_span, shape.weight_span));
    if (shape.activation == kMixed) {
      const double kind = kinds.Unit();
      const unsigned atype = kind < 0.25 ? Neuron::TH : kind < 0.625 ? Neuron::SIGM : Neuron::EXP;
      net.SetAttr(elem->x, elem->y, Neuron::ATTR_ATYPE, atype);
      net.SetAttr(elem->x, elem->y, Neuron::ATTR_ALPHA, kinds.Between(0.1, 3.0));
    }
    for (const auto& link : elem->kernel->getSynapses()) {
      net.setWeight(elem->x, elem->y, static_cast<unsigned>(link.x), static_cast<unsigned>(link.y),
                    values.Between(-shape.weight_span, shape.weight_span));
    }
  }
  return net;
}

// The exports of a shared library (libmplnet.so, mplnet.dll) loaded at run time, called as a host
// calls them.
class Library {
 public:
  explicit Library(std::string path)
      : library_(std::move(path)),
        load_(library_.Get<decltype(&MPLLoad)>("MPLLoad")),
        run_(library_.Get<decltype(&MPLRun)>("MPLRun")),
        out_size_(library_.Get<decltype(&MPLGetOutArraySize)>("MPLGetOutArraySize")) {}

  // The library's file name, to label its results.
  std::string name() const { return std::filesystem::path(library_.path()).filename().string(); }
  void Load(const std::string& file) {
    const std::string status = load_(file.c_str());
    if (status != " MPL network load ") throw std::runtime_error(file + ": MPLLoad: " + status);
  }
  std::vector<double> Run(const std::vector<double>& in) {
    std::vector<double> out(static_cast<std::size_t>(out_size_()));
    const std::string status = run_(out.data(), in.data(), static_cast<int>(in.size()));
    if (status != "test") throw std::runtime_error("MPLRun: " + status);
    return out;
  }

 private:
  mplnet::testing::SharedLibrary library_;
  decltype(&MPLLoad) load_ = nullptr;
  decltype(&MPLRun) run_ = nullptr;
  decltype(&MPLGetOutArraySize) out_size_ = nullptr;
};

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

// One line per case of every network, computed by the engine or, given a library, through its
// exports. Either way the network is the one its saved file holds.
std::vector<std::string> Lines(Library* library) {
  const mplnet::testing::TempDir folder;
  std::vector<std::string> lines;
  std::uint64_t seed = 1;
  for (const NetworkShape& shape : Shapes()) {
    const std::string file = folder.file(std::string(shape.name) + ".ini");
    mplnet::CIniFile ini;
    ini.SetFileName(file);  // refused, it would leave the fixed network file in place
    if (ini.GetFileName() != file ||
        std::string(ini.SaveMPL(Build(shape, seed++))) != " MPL network save") {
      throw std::runtime_error("cannot save " + file);
    }
    std::unique_ptr<Perceptron> net;
    if (library != nullptr) {
      library->Load(file);
    } else {
      const char* status = nullptr;
      net = ini.LoadMPL(status);
    }
    Sequence draws(seed++);
    for (int c = 0; c < kCasesPerNetwork; ++c) {
      const std::vector<double> in = Inputs(shape.layers.front(), c, draws);
      std::vector<double> out;
      if (library != nullptr) {
        out = library->Run(in);
      } else {
        net->Run(in);
        out = net->GetOutput();
      }
      std::ostringstream line;
      line << shape.name << ' ' << c;
      for (double v : out) line << ' ' << Hex(v);
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

// Compares the lines `who` computed with the reference lines; 0 when every output is the same.
int Compare(const std::string& who, const std::vector<std::string>& expected,
            const std::vector<std::string>& actual) {
  if (expected.size() != actual.size()) {
    std::cerr << who << ": the reference has " << expected.size() << " cases, " << actual.size()
              << " computed\n";
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
      std::cerr << who << ": " << got[0] << " case " << got[1] << " output " << (k - 2)
                << ": expected " << want[k] << ", got " << got[k] << " (" << ulps << " ulp)\n";
    }
  }
  std::cout << who << ": " << outputs << " outputs compared, " << differing << " differ";
  if (differing > 0) std::cout << ", at most " << worst << " ulp";
  std::cout << "\n";
  return differing == 0 ? 0 : 1;
}

int Check(const char* path, Library* library) {
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
  int status = Compare("engine", expected, Lines(nullptr));
  if (library != nullptr) status |= Compare(library->name(), expected, Lines(library));
  return status;
}

}  // namespace

int main(int argc, char** argv) {
  const char* reference = nullptr;
  const char* library_path = nullptr;
  bool usage_error = false;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--check") == 0 && i + 1 < argc) {
      reference = argv[++i];
    } else if (std::strcmp(argv[i], "--library") == 0 && i + 1 < argc) {
      library_path = argv[++i];
    } else {
      usage_error = true;
    }
  }
  if (usage_error) {
    std::cerr << "usage: forward_bits [--check REFERENCE] [--library SHARED_LIBRARY]\n";
    return 2;
  }
  try {
    std::unique_ptr<Library> library;
    if (library_path != nullptr) library = std::make_unique<Library>(library_path);
    if (reference != nullptr) return Check(reference, library.get());
    for (const std::string& line : Lines(library.get())) std::cout << line << "\n";
    return 0;
  } catch (const std::exception& e) {
    std::cerr << "forward_bits: " << e.what() << "\n";
    return 2;
  }
}
