// A shared library loaded at run time, as a host loads the DLL or libmplnet.so, and its exports.
#ifndef MPLNET_TESTS_HOST_SHARED_LIBRARY_H_
#define MPLNET_TESTS_HOST_SHARED_LIBRARY_H_

#include <algorithm>
#include <stdexcept>
#include <string>
#include <utility>

#ifdef _WIN32
#include <windows.h>
#else
#include <dlfcn.h>
#endif

namespace mplnet::testing {

class SharedLibrary {
 public:
  // Throws std::runtime_error when the library cannot be loaded.
  explicit SharedLibrary(std::string path) : path_(std::move(path)) {
#ifdef _WIN32
    std::replace(path_.begin(), path_.end(), '/', '\\');
    handle_ = LoadLibraryA(path_.c_str());
#else
    handle_ = dlopen(path_.c_str(), RTLD_NOW | RTLD_LOCAL);
#endif
    if (handle_ == nullptr) throw std::runtime_error("cannot load the library \"" + path_ + "\"");
  }
  ~SharedLibrary() {
#ifdef _WIN32
    FreeLibrary(handle_);
#else
    dlclose(handle_);
#endif
  }
  SharedLibrary(const SharedLibrary&) = delete;
  SharedLibrary& operator=(const SharedLibrary&) = delete;

  const std::string& path() const {
    return path_;
  }

  // The export `name` as a `Function`; throws std::runtime_error when there is none.
  template <typename Function>
  Function Get(const char* name) const {
#ifdef _WIN32
    auto* symbol = reinterpret_cast<void*>(GetProcAddress(handle_, name));
#else
    void* symbol = dlsym(handle_, name);
#endif
    if (symbol == nullptr) throw std::runtime_error(path_ + " does not export " + name);
    return reinterpret_cast<Function>(symbol);
  }

 private:
  std::string path_;
#ifdef _WIN32
  HMODULE handle_ = nullptr;
#else
  void* handle_ = nullptr;
#endif
};

}  // namespace mplnet::testing

#endif  // MPLNET_TESTS_HOST_SHARED_LIBRARY_H_
