// Hosts call the exports from several threads at once (one thread per chart). The process-wide
// export lock must make every call see one whole network: a run gives the outputs of a network that
// was loaded, a save writes one whole network, and bar lines of different calls never interleave.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstddef>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <mutex>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "host/bar_log.h"
#include "host/tavra_dll.h"
#include "mplnet/mplnet.h"
#include "mplnet/network_file.h"
#include "persistence/ini_file.h"
#include "test_support.h"

namespace mplnet {
namespace {

constexpr int kThreads = 4;
constexpr int kCallsPerThread = 300;
constexpr int kInputs = 10;  // at least every network's input layer
constexpr int kMaxOutputs =
    8;  // room for every network's outputs, and a margin that stays untouched
constexpr double kUntouched = -12345.0;

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// A network as the test knows it before any thread starts: its file, its outputs on the common
// input, and the text it saves into a new file.
struct KnownNetwork {
  std::string file;
  std::vector<double> outputs;
  std::string saved_text;
};

std::unique_ptr<Perceptron> LoadPrivately(const std::string& path) {
  CIniFile ini;
  EXPECT_EQ(ini.SetFileName(path), path);
  const char* code = nullptr;
  return ini.LoadMPL(code);
}

void SavePrivately(const Perceptron& net, const std::string& path) {
  CIniFile ini;
  ASSERT_EQ(ini.SetFileName(path), path);
  ASSERT_STREQ(ini.SaveMPL(net), " MPL network save");
}

// What one thread saw; checked on the main thread once all have ended.
struct Observations {
  std::vector<std::string> bad_statuses;
  std::vector<std::array<double, kMaxOutputs>> unmatched_runs;
  std::set<std::size_t> networks_run;
  std::vector<int> bad_sizes;
  std::vector<std::string> saved_files;
  long bars_written = 0;
};

class ConcurrentHostsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    {
      testing::ScopedRandomSource source(7);
      known_.push_back({dir_.file("example.ini"), {}, {}});
      std::ofstream(known_[0].file, std::ios::binary)
          << ReadFile(std::string(MPLNET_TEST_DATA_DIR) + "/example_2_1.ini");
      known_.push_back({dir_.file("net_3_4_2.ini"), {}, {}});
      SavePrivately(Perceptron({3, 4, 2}), known_[1].file);
      known_.push_back({dir_.file("net_10_20_5.ini"), {}, {}});
      SavePrivately(Perceptron({10, 20, 5}), known_[2].file);
    }
    for (int i = 0; i < kInputs; ++i) input_.push_back(0.25 * i - 1.0);
    for (std::size_t n = 0; n < known_.size(); ++n) {
      const std::unique_ptr<Perceptron> net = LoadPrivately(known_[n].file);
      ASSERT_NE(net, nullptr);
      net->Run(input_);
      known_[n].outputs = net->GetOutput();
      ASSERT_LT(known_[n].outputs.size(), static_cast<std::size_t>(kMaxOutputs));
      const std::string fresh = dir_.file("canonical_" + std::to_string(n) + ".ini");
      SavePrivately(*net, fresh);
      known_[n].saved_text = ReadFile(fresh);
      std::filesystem::remove(fresh);
    }
    malformed_ = dir_.file("missing_alpha.ini");
    std::ofstream(malformed_, std::ios::binary)
        << ReadFile(std::string(MPLNET_TEST_DATA_DIR) + "/missing_alpha.ini");
    log_ = dir_.file("bars.txt");
    ASSERT_STREQ(MPLLoad(known_[0].file.c_str()), " MPL network load ");
  }
  void TearDown() override {
    std::lock_guard<std::mutex> lock(ExportMutex());
    MPL.net = std::make_unique<Perceptron>();
  }

  // The network whose outputs `out` holds, or known_.size() when there is none.
  std::size_t Match(const std::array<double, kMaxOutputs>& out) const {
    for (std::size_t n = 0; n < known_.size(); ++n) {
      const std::vector<double>& expected = known_[n].outputs;
      bool same = true;
      for (std::size_t i = 0; i < out.size() && same; ++i) {
        same = i < expected.size() ? out[i] == expected[i] : out[i] == kUntouched;
      }
      if (same) return n;
    }
    return known_.size();
  }

  void Host(int id, Observations& seen) const {
    std::mt19937 random(static_cast<unsigned>(id) + 1);
    const RateInfo bars[5] = {{1, 1.5, 1.25, 2, 1.75, 10},
                              {2, 0.1, 0.2, 0.3, 0.4, 0.5},
                              {3, -1, -2, -3, -4, -5},
                              {4, 1e15, 1e-5, 100, 0, 7},
                              {5, 2, 2, 2, 2, 2}};
    auto expect = [&](const char* status, const char* wanted) {
      if (std::string(status) != wanted) seen.bad_statuses.push_back(status);
    };
    for (int call = 0; call < kCallsPerThread; ++call) {
      const unsigned pick = random() % 100;
      if (pick < 40) {
        std::array<double, kMaxOutputs> out;
        out.fill(kUntouched);
        expect(MPLRun(out.data(), input_.data(), kInputs), "test");
        const std::size_t n = Match(out);
        if (n == known_.size()) seen.unmatched_runs.push_back(out);
        seen.networks_run.insert(n);
      } else if (pick < 50) {
        const int size = MPLGetOutArraySize();
        if (size != 1 && size != 2 && size != 5) seen.bad_sizes.push_back(size);
      } else if (pick < 68) {
        expect(MPLLoad(known_[random() % known_.size()].file.c_str()), " MPL network load ");
      } else if (pick < 70) {
        // A malformed file is refused and leaves the current network in place.
        expect(MPLLoad(malformed_.c_str()), "Error: MPLLoad, network file not loaded");
      } else if (pick < 80) {
        const std::string file =
            dir_.file("saved_" + std::to_string(id) + "_" + std::to_string(call) + ".ini");
        expect(MPLSave(file.c_str()), " MPL network save");
        seen.saved_files.push_back(file);
      } else if (pick < 95) {
        // The export writes its fixed log, which a test must not touch: the same call on a log of
        // our own, under the lock the export takes.
        const int count = 1 + static_cast<int>(random() % 5);
        std::lock_guard<std::mutex> lock(ExportMutex());
        expect(SetData(bars, count, count - 1, 0, log_), "MPLSetData: Successful");
        seen.bars_written += count;
      } else {
        // The export itself, on arguments it refuses before it opens any file.
        expect(MPLSetData(nullptr, 3, 0, 0), "Error: MPLSetData, rates is NULL");
        expect(MPLSetData(bars, 2, 2, 0), "Error: MPLSetData, wrong shift number");
      }
    }
  }

  testing::TempDir dir_;
  std::vector<KnownNetwork> known_;
  std::vector<double> input_;
  std::string malformed_;
  std::string log_;
};

TEST_F(ConcurrentHostsTest, EveryCallSeesOneWholeNetwork) {
  std::vector<Observations> seen(kThreads);
  std::vector<std::thread> hosts;
  for (int id = 0; id < kThreads; ++id) {
    hosts.emplace_back([this, id, &seen] { Host(id, seen[static_cast<std::size_t>(id)]); });
  }
  for (std::thread& host : hosts) host.join();

  std::set<std::size_t> networks_run;
  long bars_written = 0;
  std::vector<std::string> saved_files;
  for (const Observations& s : seen) {
    EXPECT_EQ(s.bad_statuses, std::vector<std::string>{});
    EXPECT_EQ(s.bad_sizes, std::vector<int>{});
    EXPECT_EQ(s.unmatched_runs.size(), 0u) << "a run gave outputs of no known network";
    networks_run.insert(s.networks_run.begin(), s.networks_run.end());
    bars_written += s.bars_written;
    saved_files.insert(saved_files.end(), s.saved_files.begin(), s.saved_files.end());
  }
  // The loads took effect while others ran: more than one network was run.
  EXPECT_GE(networks_run.size(), 2u);

  // Every saved file is one whole known network, byte for byte, and loads as it.
  ASSERT_FALSE(saved_files.empty());
  for (const std::string& file : saved_files) {
    const std::string text = ReadFile(file);
    const auto known = std::find_if(known_.begin(), known_.end(),
                                    [&](const KnownNetwork& k) { return k.saved_text == text; });
    ASSERT_NE(known, known_.end()) << file;
    const std::unique_ptr<Perceptron> net = LoadPrivately(file);
    ASSERT_NE(net, nullptr);
    net->Run(input_);
    EXPECT_EQ(net->GetOutput(), known->outputs) << file;
  }

  // The bar log holds every call's lines as one block, highest index first.
  std::istringstream log(ReadFile(log_));
  std::string line;
  long lines = 0;
  int next = -1;  // the index the next line must carry; -1 at the start of a block
  while (std::getline(log, line)) {
    ++lines;
    ASSERT_EQ(line.rfind("Bar: ", 0), 0u) << line;
    const int index = std::stoi(line.substr(5));
    if (next == -1) {
      ASSERT_GE(index, 0);
      ASSERT_LT(index, 5);
    } else {
      ASSERT_EQ(index, next) << "lines of two calls interleaved";
    }
    next = index - 1;
    ASSERT_EQ(line.substr(line.size() - 2), " \r");
  }
  EXPECT_EQ(next, -1) << "the log ends inside a call's block";
  EXPECT_EQ(lines, bars_written);

  // No temporary file of any save was left behind.
  for (const auto& entry : std::filesystem::directory_iterator(dir_.path())) {
    const std::string extension = entry.path().extension().string();
    EXPECT_TRUE(extension == ".ini" || extension == ".txt") << entry.path();
  }
}

// A C++ program may load network files on its own threads while hosts call the exports: the
// reader's state shared by the whole process must not let one load see another's.
TEST_F(ConcurrentHostsTest, PublicLoadsRunBesideTheExports) {
  std::vector<std::vector<std::string>> wrong(kThreads);
  std::vector<std::thread> threads;
  for (int id = 0; id < kThreads; ++id) {
    threads.emplace_back([this, id, &wrong] {
      std::vector<std::string>& seen = wrong[static_cast<std::size_t>(id)];
      for (int call = 0; call < kCallsPerThread / 3; ++call) {
        const KnownNetwork& known = known_[static_cast<std::size_t>(call + id) % known_.size()];
        if (id % 2 == 0) {
          const char* status = MPLLoad(known.file.c_str());
          if (std::string(status) != " MPL network load ") seen.push_back(status);
          continue;
        }
        try {
          Perceptron net = LoadPerceptron(known.file);
          net.Run(input_);
          if (net.GetOutput() != known.outputs) seen.push_back("other outputs: " + known.file);
        } catch (const NetworkFileError& e) {
          seen.push_back(e.what());
        }
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  for (const std::vector<std::string>& seen : wrong) EXPECT_EQ(seen, std::vector<std::string>{});
}

}  // namespace
}  // namespace mplnet
