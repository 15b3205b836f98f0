// File helpers for the profile-file tests: fixtures copied into a private folder, bytes read back.
#ifndef MPLNET_TESTS_PERSISTENCE_PROFILE_TEST_UTIL_H_
#define MPLNET_TESTS_PERSISTENCE_PROFILE_TEST_UTIL_H_

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <string_view>

#include "test_support.h"

namespace mplnet::testing {

// `prefix` followed by `i`, zero-padded to `width` digits ("key_000042"). Built by appending: GCC
// 12 warns falsely about `"text" + std::string`.
inline std::string Numbered(std::string_view prefix, int i, std::size_t width = 0) {
  const std::string digits = std::to_string(i);
  std::string name(prefix);
  if (digits.size() < width) name.append(width - digits.size(), '0');
  return name.append(digits);
}

inline std::string ReadBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline void WriteBytes(const std::string& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary) << bytes;
}

inline std::string Fixture(const std::string& name) {
  return ReadBytes(std::string(MPLNET_TEST_DATA_DIR) + "/" + name);
}

// Copies a fixture into `dir` and returns the copy's path.
inline std::string CopyFixture(const TempDir& dir, const std::string& name) {
  const std::string path = dir.file(name);
  WriteBytes(path, Fixture(name));
  return path;
}

// Names of everything in the folder: a failed write must not leave temporary files behind.
inline std::size_t CountEntries(const std::filesystem::path& folder) {
  return static_cast<std::size_t>(std::distance(std::filesystem::directory_iterator(folder),
                                                std::filesystem::directory_iterator()));
}

}  // namespace mplnet::testing

#endif  // MPLNET_TESTS_PERSISTENCE_PROFILE_TEST_UTIL_H_
