// Writes a synthetic bar log, as a host's calls of MPLSetData would have written it.
//
//   make_bar_log ar1|walk SEED BARS LOG
//
// ar1: returns with a learnable AR(1) pattern; walk: a random walk, with nothing to learn. The bars
// are appended to LOG (created when missing) by calls every 200 bars, each with the latest 300
// bars. examples/bars-ar1.log is what `make_bar_log ar1 1 3000 examples/bars-ar1.log` writes.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "examples/bar_series.h"

int main(int argc, char** argv) {
  if (argc != 5 || (std::strcmp(argv[1], "ar1") != 0 && std::strcmp(argv[1], "walk") != 0)) {
    std::fprintf(stderr, "usage: make_bar_log ar1|walk SEED BARS LOG\n");
    return 1;
  }
  mplnet::examples::SeriesOptions options;
  options.kind = std::strcmp(argv[1], "ar1") == 0 ? mplnet::examples::SeriesKind::kAr1
                                                  : mplnet::examples::SeriesKind::kRandomWalk;
  options.seed = std::strtoull(argv[2], nullptr, 10);
  options.bars = std::atoi(argv[3]);
  if (options.bars < 1) {
    std::fprintf(stderr, "make_bar_log: BARS must be at least 1\n");
    return 1;
  }
  const char* status =
      mplnet::examples::FeedLikeHost(mplnet::examples::MakeBarSeries(options), argv[4]);
  if (std::strcmp(status, "MPLSetData: Successful") != 0) {
    std::fprintf(stderr, "make_bar_log: %s\n", status);
    return 1;
  }
  return 0;
}
