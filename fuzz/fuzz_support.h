// What every fuzz target shares: a private folder for the files it writes, and a check that stops
// the run with a message when a property fails (libFuzzer then saves the input that broke it).
#ifndef MPLNET_FUZZ_FUZZ_SUPPORT_H_
#define MPLNET_FUZZ_FUZZ_SUPPORT_H_

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <string_view>
#include <system_error>

namespace mplnet::fuzzing {

// A folder of this process's own under $TMPDIR (or /tmp), removed at exit, for the targets that
// write files (the bar log); scripts/fuzz.sh points TMPDIR at a memory file system.
class ScratchFolder {
 public:
  ScratchFolder() {
    const char* base = std::getenv("TMPDIR");
    std::string pattern =
        std::string(base != nullptr && *base != '\0' ? base : "/tmp") + "/mplnet-fuzz-XXXXXX";
    if (::mkdtemp(pattern.data()) == nullptr) {
      std::perror("mkdtemp");
      std::abort();
    }
    path_ = pattern;
  }
  ~ScratchFolder() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  ScratchFolder(const ScratchFolder&) = delete;
  ScratchFolder& operator=(const ScratchFolder&) = delete;

  std::string file(std::string_view name) const { return path_ + "/" + std::string(name); }

 private:
  std::string path_;
};

// The process's scratch folder, made on first use.
inline const ScratchFolder& Scratch() {
  static const ScratchFolder folder;
  return folder;
}

// The file's bytes; empty when it is missing.
inline std::string ReadBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream bytes;
  bytes << in.rdbuf();
  return bytes.str();
}

inline void RemoveFile(const std::string& path) {
  std::error_code ignored;
  std::filesystem::remove(path, ignored);
}

[[noreturn]] inline void Fail(const char* file, int line, const char* condition) {
  std::fprintf(stderr, "%s:%d: property failed: %s\n", file, line, condition);
  std::abort();
}

}  // namespace mplnet::fuzzing

// Stops the run when a property does not hold; the input that broke it becomes a crash artifact.
#define FUZZ_CHECK(condition) \
  ((condition) ? static_cast<void>(0) : ::mplnet::fuzzing::Fail(__FILE__, __LINE__, #condition))

#endif  // MPLNET_FUZZ_FUZZ_SUPPORT_H_
