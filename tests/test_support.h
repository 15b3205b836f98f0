// Helpers shared by the test programs: a counting random source and a private temporary folder.
#ifndef MPLNET_TESTS_TEST_SUPPORT_H_
#define MPLNET_TESTS_TEST_SUPPORT_H_

#include <atomic>
#include <filesystem>
#include <random>
#include <string>
#include <system_error>

#include "mplnet/engine.h"

#ifndef _WIN32
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <functional>
#endif

namespace mplnet::testing {

// Replaces the random source while alive: draws come at once from a seeded generator and are
// counted.
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
// SIGM, steepness 2, weights 0.5 and 0.25, threshold 0.1. Run on 1 and 2 it gives
// 0.858148935099512.
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

#ifndef _WIN32
// Runs `body` in a child process that may write at most `limit` bytes into any file (a full disk,
// or a quota, met part-way) and returns the text it answered, as the child reports it.
inline std::string WithFileSizeLimit(rlim_t limit, const std::function<const char*()>& body) {
  int pipe_ends[2];
  if (pipe(pipe_ends) != 0) return "pipe failed";
  const pid_t child = fork();
  if (child == 0) {
    close(pipe_ends[0]);
    signal(SIGXFSZ, SIG_IGN);  // a write past the limit then fails with EFBIG instead of killing
    const rlimit limits{limit, limit};
    setrlimit(RLIMIT_FSIZE, &limits);
    const char* status = body();
    const ssize_t ignored = write(pipe_ends[1], status, std::strlen(status));
    static_cast<void>(ignored);
    _exit(0);
  }
  close(pipe_ends[1]);
  std::string status;
  char buffer[256];
  for (ssize_t n; (n = read(pipe_ends[0], buffer, sizeof buffer)) > 0;) status.append(buffer, n);
  close(pipe_ends[0]);
  int wait_status = 0;
  waitpid(child, &wait_status, 0);
  return WIFEXITED(wait_status) ? status : "child died";
}
#endif

}  // namespace mplnet::testing

#endif  // MPLNET_TESTS_TEST_SUPPORT_H_
