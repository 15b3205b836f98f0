// Helpers shared by the test programs: a counting random source and a private temporary folder.
#ifndef MPLNET_TESTS_TEST_SUPPORT_H_
#define MPLNET_TESTS_TEST_SUPPORT_H_

#include <atomic>
#include <filesystem>
#include <random>
#include <string>
#include <system_error>

#include "mplnet/engine.h"

namespace mplnet::testing {

// Replaces the random source while alive: draws come at once from a seeded generator and are counted.
class ScopedRandomSource {
 public:
  explicit ScopedRandomSource(unsigned seed = 1) : generator_(seed) {
    SetRandomSource([this] {
      ++draws_;
      return std::uniform_real_distribution<double>(0.0, 1.0)(generator_);
    });
  }
  ~ScopedRandomSource() { SetRandomSource(nullptr); }
  ScopedRandomSource(const ScopedRandomSource&) = delete;
  ScopedRandomSource& operator=(const ScopedRandomSource&) = delete;
  int draws() const { return draws_; }

 private:
  std::mt19937 generator_;
  std::atomic<int> draws_{0};
};

// A fresh folder under the system's temp folder, removed with everything in it at the end.
class TempDir {
 public:
  TempDir() {
    static std::atomic<unsigned> counter{0};
    std::random_device device;
    path_ = std::filesystem::temp_directory_path() /
            ("mplnet-test-" + std::to_string(device()) + "-" + std::to_string(++counter));
    std::filesystem::create_directories(path_);
  }
  ~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::filesystem::path& path() const { return path_; }
  std::string file(const std::string& name) const { return (path_ / name).string(); }

 private:
  std::filesystem::path path_;
};

// The 2-1 network of the worked example: inputs (0, 0) and (0, 1); output (1, 0) of type NOutput,
// SIGM, steepness 2, weights 0.5 and 0.25, threshold 0.1. Run on 1 and 2 it gives 0.858148935099512.
inline Perceptron MakeExampleNetwork() {
  Perceptron p;
  p.Add(0, 0);
  p.AddLink(0, 0, 0, 0, 1.0);
  p.Add(0, 1);
  p.AddLink(0, 1, 0, 0, 1.0);
  p.Add(1, 0);
  p.SetAttr(1, 0, Neuron::ATTR_ATYPE, Neuron::SIGM);
  p.SetAttr(1, 0, Neuron::ATTR_NTYPE, Neuron::NOutput);
  p.SetAttr(1, 0, Neuron::ATTR_ALPHA, 2.0);
  p.setThreshold(1, 0, 0.1);
  p.AddLink(1, 0, 0, 0, 0.5);
  p.AddLink(1, 0, 0, 1, 0.25);
  return p;
}

inline constexpr double kExampleOutput = 0.8581489350995123;

}  // namespace mplnet::testing

#endif  // MPLNET_TESTS_TEST_SUPPORT_H_
