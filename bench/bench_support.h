// Helpers shared by the benchmark programs.
#ifndef MPLNET_BENCH_BENCH_SUPPORT_H_
#define MPLNET_BENCH_BENCH_SUPPORT_H_

#include <filesystem>
#include <random>
#include <string>
#include <system_error>

namespace mplnet::bench {

// A fresh folder under the system's temp folder, removed with everything in it at the end.
class BenchFolder {
 public:
  BenchFolder()
      : path_(std::filesystem::temp_directory_path() /
              ("mplnet-bench-" + std::to_string(std::random_device{}()))) {
    std::filesystem::create_directories(path_);
  }
  ~BenchFolder() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  BenchFolder(const BenchFolder&) = delete;
  BenchFolder& operator=(const BenchFolder&) = delete;
  std::string file(const char* name) const { return (path_ / name).string(); }

 private:
  std::filesystem::path path_;
};

}  // namespace mplnet::bench

#endif  // MPLNET_BENCH_BENCH_SUPPORT_H_
