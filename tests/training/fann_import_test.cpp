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
        // A TH output next to 0 is mostly cancellation; it is measured against 0.001 instead.
        const double absolute = std::abs(out[i] - theirs[i]);
        const double relative = absolute / std::max(std::abs(theirs[i]), 1e-3);
        EXPECT_LE(relative, 1e-12) << out[i] << " " << theirs[i];
        largest = std::max(largest, relative);
        largest_absolute = std::max(largest_absolute, absolute);
      }
    }
  }
  std::printf("largest difference from fann_run: %.3g relative, %.3g absolute\n", largest,
              largest_absolute);
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
  const std::string connections = "connections (connected_to_neuron, weight)=";
  const struct {
    std::string text;
    const char* error;
  } cases[] = {
      {replaced("layer_sizes=3 4 2", "layer_sizes=3 5 2"), "gives 10 neurons, the neurons line"},
      {replaced("num_layers=3", "num_layers=4"), "num_layers is 4 but layer_sizes lists 3"},
      {replaced(connections + "(0, ", connections), "tuple 1 of \"connections"},
      {replaced(connections + "(0, ", connections + "(7, "), "not in an earlier layer"},
      {replaced(connections + "(0, ", connections + "(1, "), "two connections from neuron 1"},
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
