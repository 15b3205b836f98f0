// mplnet new: a network of given layer sizes with random weights, saved into a new network file.
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <limits>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "mplnet/engine.h"
#include "mplnet/train.h"
#include "tools/commands.h"
#include "tools/help/texts.h"  // made from tools/help/*.txt at build time
#include "tools/option_values.h"
#include "tools/output_file.h"

namespace mplnet::tool {
namespace {

struct NewArguments {
  std::vector<std::string> sizes;
  OutputFile out;
  std::optional<std::uint64_t> seed;
};

// A progress bar on standard error: draws done of the total, and the time left at the pace so far.
class ProgressBar {
 public:
  explicit ProgressBar(std::uint64_t total)
      : total_(total), start_(std::chrono::steady_clock::now()) {}

  void Update(std::uint64_t done) {
    constexpr int kWidth = 30;
    const auto filled = static_cast<int>(kWidth * done / std::max<std::uint64_t>(total_, 1));
    const double elapsed =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
    const double left =
        done == 0 ? 0.05 * static_cast<double>(total_)
                  : elapsed / static_cast<double>(done) * static_cast<double>(total_ - done);
    std::fprintf(stderr, "\r[%s%s] %llu/%llu draws, %.0f s left ",
                 std::string(static_cast<std::size_t>(filled), '#').c_str(),
                 std::string(static_cast<std::size_t>(kWidth - filled), '.').c_str(),
                 static_cast<unsigned long long>(done), static_cast<unsigned long long>(total_),
                 left);
    if (done == total_) std::fputc('\n', stderr);
    std::fflush(stderr);
  }

 private:
  std::uint64_t total_;
  std::chrono::steady_clock::time_point start_;
};

void New(const NewArguments& args) {
  const std::vector<int> sizes = ReadLayerSizes(args.sizes);
  CheckOutputPath(args.out);

  std::unique_ptr<Perceptron> net;
  if (args.seed) {
    net = std::make_unique<Perceptron>(SeededNetwork(sizes, *args.seed));
  } else {
    const std::uint64_t total = DrawCount(sizes);
    std::unique_ptr<ProgressBar> bar;
    if (::isatty(STDERR_FILENO) != 0) bar = std::make_unique<ProgressBar>(total);
    std::uint64_t done = 0;
    if (bar) bar->Update(0);
    // Every draw is the library's own default one (a 50 ms pause, then a generator seeded from the
    // millisecond clock), counted for the progress bar: the default is what
    // SetRandomSource(nullptr) restores, so this source steps aside for each draw and takes its
    // place again after.
    std::function<double()> counting;
    counting = [&] {
      SetRandomSource(nullptr);
      const double v = Synapse::getRand();
      SetRandomSource(counting);
      if (bar) bar->Update(++done);
      return v;
    };
    const ScopedRandomSource source(counting);
    net = std::make_unique<Perceptron>(sizes);
  }
  SaveNetworkReplacing(*net, args.out.path);
}

}  // namespace

Command AddNewCommand(CLI::App& app) {
  auto args = std::make_shared<NewArguments>();
  CLI::App* make = AddSubcommand(app, "new", "Make a network with random weights", help::kNew);
  make->add_option("SIZES", args->sizes,
                   "layer sizes, each from 1 to " + std::to_string(kMostPositions))
      ->type_name("UINT")
      ->required();
  AddOutputFile(make, args->out, "FILE", "the network file to write");
  make->add_option("--seed", args->seed, "draw from a fast generator seeded with N")
      ->type_name("N")
      ->transform(WholeIn({0, std::numeric_limits<std::uint64_t>::max()}));
  return {make, [args] { New(*args); }};
}

}  // namespace mplnet::tool
