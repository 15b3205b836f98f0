// FANN networks saved by FANN itself, imported, written as network files and run by our engine:
// the outputs agree with fann_run's, and what cannot be represented is refused.
#include "mplnet/fann_import.h"

#include <doublefann.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <memory>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "persistence/ini_file.h"
#include "test_support.h"

namespace mplnet {
namespace {

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

struct FannDeleter {
  void operator()(fann* ann) const { fann_destroy(ann); }
};
using FannPtr = std::unique_ptr<fann, FannDeleter>;

// Gives every connection a weight drawn from [-1, 1] with all 53 bits, not only float's 24.
void RandomWeights(fann* ann, std::mt19937_64& random) {
  std::vector<fann_connection> connections(fann_get_total_connections(ann));
  fann_get_connection_array(ann, connections.data());
  std::uniform_real_distribution<double> weight(-1.0, 1.0);
  for (fann_connection& c : connections) c.weight = weight(random);
  fann_set_weight_array(ann, connections.data(), static_cast<unsigned>(connections.size()));
}

// The text fann_save writes for `ann`.
std::string Saved(fann* ann, const testing::TempDir& dir) {
  const std::string path = dir.file("saved.net");
  EXPECT_EQ(fann_save(ann, path.c_str()), 0);
  return ReadFile(path);
}

std::string ImportError(const std::string& text) {
  try {
    ImportFann(text, "x.net");
  } catch (const FannImportError& e) {
    return e.what();
  }
  return "";
}

// Outputs within rounding of fann_run's: relative, against 0.001 for outputs nearer 0 (a TH output
// next to 0 is mostly cancellation).
double Difference(double ours, double theirs) {
  return std::abs(ours - theirs) / std::max(std::abs(theirs), 1e-3);
}

// Imports `text`; when that succeeds, runs the network (written as a network file and read back)
// and FANN's (read by fann_create_from_file from the same text) on random inputs, from 0.001 to 4
// in size, and expects the same outputs within rounding. The import's refusal, or "" when it
// accepted.
std::string RunsAsFann(const std::string& text, const testing::TempDir& dir,
                       std::mt19937_64& random) {
  const std::string error = ImportError(text);
  if (!error.empty()) return error;
  const std::string fann_path = dir.file("compared.net");
  std::ofstream(fann_path, std::ios::binary) << text;
  const FannPtr ann(fann_create_from_file(fann_path.c_str()));
  EXPECT_NE(ann, nullptr);
  if (ann == nullptr) return "";
  CIniFile file;
  file.SetFileName(dir.file("compared.ini"));
  EXPECT_STREQ(file.SaveMPL(ImportFann(text, "compared.net")), " MPL network save");
  const char* code = nullptr;
  const std::unique_ptr<Perceptron> ours = file.LoadMPL(code);
  std::uniform_real_distribution<double> sign(-1.0, 1.0), exponent(-3.0, 0.6);
  for (int trial = 0; trial < 200; ++trial) {
    std::vector<double> in(fann_get_num_input(ann.get()));
    for (double& v : in) v = std::copysign(std::pow(10.0, exponent(random)), sign(random));
    const double* theirs = fann_run(ann.get(), in.data());
    ours->Run(in);
    const std::vector<double> out = ours->GetOutput();
    EXPECT_EQ(out.size(), fann_get_num_output(ann.get()));
    for (std::size_t i = 0; i < out.size() && i < fann_get_num_output(ann.get()); ++i) {
      EXPECT_LE(Difference(out[i], theirs[i]), 1e-12)
          << "output " << i << ": " << out[i] << ", fann_run " << theirs[i];
    }
  }
  return "";
}

TEST(FannImportTest, OutputsEqualFannsWithBothActivationsAndShortcuts) {
  testing::TempDir dir;
  std::mt19937_64 random(3);
  std::vector<FannPtr> nets;
  nets.emplace_back(fann_create_standard(3, 3, 5, 2));
  fann_set_activation_function_hidden(nets.back().get(), FANN_SIGMOID_SYMMETRIC);
  fann_set_activation_steepness_hidden(nets.back().get(), 0.7);
  fann_set_activation_function_output(nets.back().get(), FANN_SIGMOID);
  nets.emplace_back(fann_create_shortcut(4, 4, 3, 3, 2));
  nets.emplace_back(fann_create_sparse(0.6f, 4, 5, 6, 4, 1));
  nets.emplace_back(fann_create_standard(4, 12, 12, 12, 3));  // two-digit indexes
  for (std::size_t n = 1; n < nets.size(); ++n) {
    // Each neuron its own activation and steepness.
    fann* ann = nets[n].get();
    std::vector<unsigned> sizes(fann_get_num_layers(ann));
    fann_get_layer_array(ann, sizes.data());
    for (int layer = 1; layer < static_cast<int>(sizes.size()); ++layer) {
      for (int neuron = 0; neuron < static_cast<int>(sizes[layer]); ++neuron) {
        const bool symmetric = (layer + neuron) % 2 == 0;
        fann_set_activation_function(ann, symmetric ? FANN_SIGMOID_SYMMETRIC : FANN_SIGMOID, layer,
                                     neuron);
        fann_set_activation_steepness(ann, 0.25 + 0.125 * neuron, layer, neuron);
      }
    }
  }
  double largest = 0.0, largest_absolute = 0.0;
  for (std::size_t n = 0; n < nets.size(); ++n) {
    SCOPED_TRACE(n);
    fann* ann = nets[n].get();
    RandomWeights(ann, random);
    const std::string ini = dir.file("net" + std::to_string(n) + ".ini");
    CIniFile file;
    file.SetFileName(ini);
    ASSERT_STREQ(file.SaveMPL(ImportFann(Saved(ann, dir), "saved.net")), " MPL network save");
    const char* code = nullptr;
    const std::unique_ptr<Perceptron> ours = file.LoadMPL(code);
    const unsigned inputs = fann_get_num_input(ann);
    ASSERT_EQ(ours->GetLayerSize(0), static_cast<int>(inputs));
    std::uniform_real_distribution<double> value(-1.0, 1.0);
    for (int trial = 0; trial < 300; ++trial) {
      std::vector<double> in(inputs);
      for (double& v : in) v = value(random);
      const double* theirs = fann_run(ann, in.data());
      ours->Run(in);
      const std::vector<double> out = ours->GetOutput();
      ASSERT_EQ(out.size(), fann_get_num_output(ann));
      for (std::size_t i = 0; i < out.size(); ++i) {
        const double absolute = std::abs(out[i] - theirs[i]);
        const double relative = Difference(out[i], theirs[i]);
        EXPECT_LE(relative, 1e-12) << out[i] << " " << theirs[i];
        largest = std::max(largest, relative);
        largest_absolute = std::max(largest_absolute, absolute);
      }
    }
  }
  std::printf("largest difference from fann_run: %.3g relative, %.3g absolute\n", largest,
              largest_absolute);
}

// fann_run clips steepness times sum to +-150/steepness: a neuron of ours computes the same only
// where that clip moves nothing beyond rounding. Each steepness, on hidden and on output neurons,
// is imported and then runs to FANN's outputs, or is refused naming the neuron and why.
TEST(FannImportTest, EverySteepnessRunsToFannsOutputsOrIsRefused) {
  testing::TempDir dir;
  std::mt19937_64 random(5);
  const struct {
    double steepness;
    bool imported;  // for FANN_SIGMOID and FANN_SIGMOID_SYMMETRIC
  } cases[] = {{0.5, true}, {1, true},    {8, true},     {0, true},
               {20, false}, {100, false}, {-0.5, false}, {-3, false}};
  for (const fann_activationfunc_enum f :
       {FANN_SIGMOID, FANN_SIGMOID_SYMMETRIC, FANN_LINEAR, FANN_ELLIOT, FANN_GAUSSIAN}) {
    for (const auto& c : cases) {
      for (const bool hidden : {true, false}) {
        SCOPED_TRACE(std::string(FANN_ACTIVATIONFUNC_NAMES[f]) + " of steepness " +
                     std::to_string(c.steepness) + (hidden ? " on hidden neurons" : " on outputs"));
        FannPtr ann(fann_create_standard(3, 3, 4, 2));
        fann_set_activation_function_hidden(ann.get(), hidden ? f : FANN_SIGMOID_SYMMETRIC);
        fann_set_activation_function_output(ann.get(), hidden ? FANN_SIGMOID : f);
        if (hidden) fann_set_activation_steepness_hidden(ann.get(), c.steepness);
        if (!hidden) fann_set_activation_steepness_output(ann.get(), c.steepness);
        RandomWeights(ann.get(), random);
        const std::string error = RunsAsFann(Saved(ann.get(), dir), dir, random);
        const bool representable = f == FANN_SIGMOID || f == FANN_SIGMOID_SYMMETRIC;
        EXPECT_EQ(error.empty(), representable && c.imported) << error;
        // Neurons 0-3 are inputs, 4-8 hidden, 9-11 outputs (each layer's last is its bias).
        if (!error.empty()) {
          EXPECT_NE(error.find(hidden ? "neuron 4 (layer 1, index 0): "
                                      : "neuron 9 (layer 2, index 0): "),
                    std::string::npos)
              << error;
          EXPECT_NE(error.find(representable ? "steepness" : "cannot be represented"),
                    std::string::npos)
              << error;
        }
      }
    }
  }
}

// The text of a FANN file with the neuron `n` stripped of its connections.
std::string WithoutConnections(const std::string& text, std::size_t n) {
  auto tuples = [](const std::string& value) {
    std::vector<std::string> found;
    for (std::size_t at = 0; (at = value.find('(', at)) != std::string::npos;) {
      const std::size_t end = value.find(')', at) + 1;
      found.push_back(value.substr(at, end - at));
      at = end;
    }
    return found;
  };
  std::string out;
  std::size_t first = 0, count = 0;  // the neuron's connections
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) {
    const std::size_t eq = line.find(")=");
    if (line.starts_with("neurons (") || line.starts_with("connections (")) {
      std::vector<std::string> list = tuples(line.substr(eq + 2));
      if (line.starts_with("neurons (")) {
        for (std::size_t i = 0; i < n; ++i) first += std::stoul(list[i].substr(1));
        count = std::stoul(list[n].substr(1));
        list[n] = "(0" + list[n].substr(list[n].find(','));
      } else {
        list.erase(list.begin() + static_cast<std::ptrdiff_t>(first),
                   list.begin() + static_cast<std::ptrdiff_t>(first + count));
      }
      line.resize(eq + 2);
      for (const std::string& t : list) line += t + " ";
    }
    out += line + "\n";
  }
  return out;
}

// Neurons without connections output 1 in fann_run, whatever their activation; and in a network
// of connection_rate 1 fann_run reads each connection by its position, whatever neuron the file
// names, so a file that names another is refused.
TEST(FannImportTest, NeuronsWithoutConnectionsAndConnectionsReadByPosition) {
  testing::TempDir dir;
  std::mt19937_64 random(9);
  FannPtr ann(fann_create_standard(3, 2, 3, 2));
  fann_set_activation_function_hidden(ann.get(), FANN_SIGMOID_SYMMETRIC);
  fann_set_activation_function_output(ann.get(), FANN_SIGMOID);
  RandomWeights(ann.get(), random);
  const std::string good = Saved(ann.get(), dir);
  // Neurons 0-2 inputs, 3-6 hidden, 7-9 outputs.
  for (const std::size_t n : {3U, 5U, 7U, 8U}) {
    SCOPED_TRACE("neuron " + std::to_string(n) + " without connections");
    EXPECT_EQ(RunsAsFann(WithoutConnections(good, n), dir, random), "");
  }
  EXPECT_EQ(RunsAsFann(WithoutConnections(WithoutConnections(good, 4), 3), dir, random), "");

  std::string swapped = good;  // neuron 3's first two connections name each other's neuron
  const std::size_t first = swapped.find("weight)=(0, ") + 8;
  const std::size_t second = swapped.find("(1, ", first);
  swapped.replace(first, 4, "(1, ");
  swapped.replace(second, 4, "(0, ");
  const std::string error = RunsAsFann(swapped, dir, random);
  EXPECT_NE(error.find("neuron 3 (layer 1, index 0): connection 1 names neuron 1, but with "
                       "connection_rate 1 fann_run reads neuron 0 there"),
            std::string::npos)
      << error;
}

TEST(FannImportTest, RefusesWhatCannotBeRepresentedAndMalformedFiles) {
  testing::TempDir dir;
  FannPtr ann(fann_create_standard(3, 2, 3, 1));
  fann_set_activation_function_hidden(ann.get(), FANN_SIGMOID);
  fann_set_activation_function_output(ann.get(), FANN_SIGMOID_SYMMETRIC);
  const std::string good = Saved(ann.get(), dir);
  ASSERT_EQ(ImportError(good), "");

  // Every other activation, on the output neuron: neuron 7 of 0-2 inputs, 3-6 hidden, 7-8 output.
  for (const fann_activationfunc_enum f :
       {FANN_LINEAR, FANN_THRESHOLD, FANN_THRESHOLD_SYMMETRIC, FANN_SIGMOID_STEPWISE,
        FANN_SIGMOID_SYMMETRIC_STEPWISE, FANN_GAUSSIAN, FANN_GAUSSIAN_SYMMETRIC, FANN_ELLIOT,
        FANN_ELLIOT_SYMMETRIC, FANN_LINEAR_PIECE, FANN_LINEAR_PIECE_SYMMETRIC, FANN_SIN_SYMMETRIC,
        FANN_COS_SYMMETRIC, FANN_SIN, FANN_COS}) {
    fann_set_activation_function_output(ann.get(), f);
    const std::string error = ImportError(Saved(ann.get(), dir));
    SCOPED_TRACE(FANN_ACTIVATIONFUNC_NAMES[f]);
    EXPECT_NE(error.find("neuron 7 (layer 2, index 0): activation " +
                         std::string(FANN_ACTIVATIONFUNC_NAMES[f]) + " cannot be represented"),
              std::string::npos)
        << error;
  }

  auto replaced = [&](const std::string& from, const std::string& to) {
    std::string text = good;
    const std::size_t at = text.find(from);
    EXPECT_NE(at, std::string::npos) << from;
    return at == std::string::npos ? text : text.replace(at, from.size(), to);
  };
  // `text` with the value of its connection_rate line replaced by `rate`.
  auto with_rate = [](std::string text, const std::string& rate) {
    const std::size_t key = text.find("connection_rate=");
    EXPECT_NE(key, std::string::npos);
    if (key == std::string::npos) return text;
    const std::size_t value = key + std::string("connection_rate=").size();
    const std::size_t end = text.find_first_not_of("0123456789.", value);
    return text.replace(value, end - value, rate);
  };
  const std::string connections = "connections (connected_to_neuron, weight)=";
  const struct {
    std::string text;
    const char* error;
  } cases[] = {
      {replaced("layer_sizes=3 4 2", "layer_sizes=3 5 2"), "gives 10 neurons, the neurons line"},
      {replaced("num_layers=3", "num_layers=4"), "num_layers is 4 but layer_sizes lists 3"},
      {replaced(connections + "(0, ", connections), "tuple 1 of \"connections"},
      {replaced(connections + "(0, ", connections + "(7, "), "not in an earlier layer"},
      {replaced(connections + "(0, ", connections + "(1, "), "names neuron 1, but with"},
      {with_rate(replaced(connections + "(0, ", connections + "(1, "), "0.5"),
       "two connections from neuron 1"},
      {replaced("scale_included=0", "scale_included=1"), "scaling parameters"},
      {replaced("FANN_FLO_2.1", "FANN_FIX_2.0"), "fixed-point"},
      {replaced("FANN_FLO_2.1", "FANN_FLO_2.0"), "version 2.1"},
      {good.substr(0, good.find("neurons (")), "no \"neurons (num_inputs"},
  };
  for (const auto& c : cases) {
    EXPECT_NE(ImportError(c.text).find(c.error), std::string::npos) << ImportError(c.text);
  }
  // Twelve layers, the second of eleven neurons: (1, 10) and (11, 0) would be one element of ours.
  unsigned deep_sizes[12] = {1, 11, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1};
  FannPtr deep(fann_create_standard_array(12, deep_sizes));
  fann_set_activation_function_hidden(deep.get(), FANN_SIGMOID);
  fann_set_activation_function_output(deep.get(), FANN_SIGMOID);
  EXPECT_NE(ImportError(Saved(deep.get(), dir)).find("coordinate key \"110\""), std::string::npos)
      << ImportError(Saved(deep.get(), dir));
  // A connection dropped from the end: the counts no longer agree.
  std::string short_of_one = good.substr(0, good.rfind(" ("));
  EXPECT_NE(ImportError(short_of_one).find("take 13 connections, the connections line holds 12"),
            std::string::npos);
  // Cut short anywhere before its last value, the file is refused.
  for (std::size_t cut = 0; cut < good.rfind(')'); cut += 7) {
    ASSERT_NE(ImportError(good.substr(0, cut)), "") << "cut at " << cut;
  }
}

}  // namespace
}  // namespace mplnet
