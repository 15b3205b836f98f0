// A Windows host of mplnet.dll, 32-bit or 64-bit as it is built, used the way trading terminals use
// it: LoadLibrary, each export found by its exact name, every call made through a function pointer.
// In the 32-bit build every call is a standard-call one and the stack pointer is compared around
// it, since a convention mismatch corrupts a host's stack silently; x64 has one convention, in
// which the caller owns its stack.
//
//   dll_host_test <mplnet.dll> <test data folder> [--decimal-comma]
//
// With --decimal-comma the user's locale is expected to write numbers with a decimal comma (under
// Wine: LC_ALL=de_DE.UTF-8), so the bar log must read "1,5" where it reads "1.5" otherwise.
//
// It touches the fixed files "c:\test.ini" and "c:\temp\test.txt" for real, so it runs only under
// Wine with a private prefix (or on a Windows machine kept for tests); it removes both afterwards.
// Ends with the line "N passed, N failed"; the exit code is 0 only when nothing failed.
#include <windows.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <type_traits>
#include <vector>

#include "mplnet/mplnet.h"  // RateInfo; the exports are called through pointers only

namespace {

// Counted from several threads in the concurrency test.
std::atomic<int> g_passed{0};
std::atomic<int> g_failed{0};
// Calls made into the DLL, and those after which esp was not where it had been before (32-bit).
std::atomic<int> g_calls{0};
std::atomic<int> g_stack_faults{0};

void Check(bool ok, const std::string& what) {
  if (ok) {
    ++g_passed;
  } else {
    ++g_failed;
    std::printf("FAILED: %s\n", what.c_str());
  }
}

void CheckText(const char* got, const char* want, const std::string& what) {
  const bool ok = got != nullptr && std::strcmp(got, want) == 0;
  Check(ok, what + ": expected \"" + want + "\", got \"" + (got ? got : "(null)") + "\"");
}

#ifndef _WIN64
// Pushes `count` 32-bit arguments right to left, calls `fn`, and returns esp right after the call
// minus esp right before the pushes in `esp_delta`: 0 when the callee removed its arguments, as a
// standard-call function does. esp is put back either way, so a wrong callee cannot derail the
// test.
std::uint32_t CallChecked(const void* fn, const std::uint32_t* args, int count,
                          std::int32_t* esp_delta) {
  std::uint32_t result, before, after;
  __asm__ volatile(
      "movl %%esp, %%esi\n\t"
      "testl %%ecx, %%ecx\n\t"
      "jz 2f\n"
      "1:\n\t"
      "pushl -4(%%edx,%%ecx,4)\n\t"
      "decl %%ecx\n\t"
      "jnz 1b\n"
      "2:\n\t"
      "call *%%ebx\n\t"
      "movl %%esp, %%edi\n\t"
      "movl %%esi, %%esp\n\t"
      : "=a"(result), "=S"(before), "=D"(after), "+c"(count), "+d"(args)
      : "b"(fn)
      // What a 32-bit callee may change besides eax, ecx and edx.
      : "memory", "cc", "xmm0", "xmm1", "xmm2", "xmm3", "xmm4", "xmm5", "xmm6", "xmm7");
  *esp_delta = static_cast<std::int32_t>(after - before);
  return result;
}

template <typename T>
std::uint32_t Word(T* p) {
  return static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(p));
}
std::uint32_t Word(int v) {
  return static_cast<std::uint32_t>(v);
}

// Helpers for the checker's own test: one that removes its two arguments, one that leaves them.
extern "C" int __stdcall AddStdcall(int a, int b) {
  return a + b;
}
extern "C" int __cdecl AddCdecl(int a, int b) {
  return a + b;
}
#endif

// The export names in ordinal order. MPLSetData carries the decoration an MSVC client of this
// architecture looks for; the other architecture's spelling must not be exported.
#ifdef _WIN64
constexpr const char* kSetDataName = "?MPLSetData@@YAPEADPEBURateInfo@@HHH@Z";
constexpr const char* kOtherSetDataName = "?MPLSetData@@YGPADPBURateInfo@@HHH@Z";
#else
constexpr const char* kSetDataName = "?MPLSetData@@YGPADPBURateInfo@@HHH@Z";
constexpr const char* kOtherSetDataName = "?MPLSetData@@YAPEADPEBURateInfo@@HHH@Z";
#endif
constexpr const char* kNames[5] = {"MPLGetOutArraySize", "MPLLoad", "MPLRun", "MPLSave",
                                   kSetDataName};

// The DLL's exports, each called through a pointer as a host declares it.
class Dll {
 public:
  explicit Dll(HMODULE module) {
    for (int i = 0; i < 5; ++i) {
      fn_[i] = reinterpret_cast<const void*>(GetProcAddress(module, kNames[i]));
    }
  }
  bool complete() const {
    return std::all_of(std::begin(fn_), std::end(fn_), [](const void* f) { return f != nullptr; });
  }
  int GetOutArraySize() { return Call<int>(0); }
  const char* Load(const char* fn) { return Call<const char*>(1, fn); }
  const char* Run(double* out, const double* in, int n) { return Call<const char*>(2, out, in, n); }
  const char* Save(const char* fn) { return Call<const char*>(3, fn); }
  const char* SetData(const RateInfo* rates, int total, int shift, int nrate) {
    return Call<char*>(4, rates, total, shift, nrate);
  }

 private:
  template <typename Result, typename... Args>
  Result Call(int index, Args... args) {
    ++g_calls;
#ifdef _WIN64
    using Function = Result (*)(Args...);
    return reinterpret_cast<Function>(const_cast<void*>(fn_[index]))(args...);
#else
    const std::vector<std::uint32_t> words = {Word(args)...};
    std::int32_t delta = 0;
    const std::uint32_t result =
        CallChecked(fn_[index], words.data(), static_cast<int>(words.size()), &delta);
    if (delta != 0) {
      ++g_stack_faults;
      std::printf("FAILED: %s moved esp by %d\n", kNames[index], static_cast<int>(delta));
    }
    if constexpr (std::is_pointer_v<Result>) {
      // The pointer comes back as a word in eax.
      return reinterpret_cast<Result>(  // NOLINT(performance-no-int-to-ptr)
          static_cast<std::uintptr_t>(result));
    } else {
      return static_cast<Result>(result);
    }
#endif
  }
  const void* fn_[5] = {};
};

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

bool Exists(const char* path) {
  return GetFileAttributesA(path) != INVALID_FILE_ATTRIBUTES;
}

std::uint64_t Bits(double v) {
  std::uint64_t b;
  std::memcpy(&b, &v, sizeof b);
  return b;
}

void RemoveFixedFiles() {
  DeleteFileA("c:\\test.ini");
  DeleteFileA("c:\\temp\\test.txt");
  RemoveDirectoryA("c:\\temp");
}

#ifndef _WIN64
void TestChecker() {
  std::uint32_t args[2] = {40, 2};
  std::int32_t delta = 0;
  Check(
      CallChecked(reinterpret_cast<const void*>(&AddStdcall), args, 2, &delta) == 42 && delta == 0,
      "checker: standard-call callee leaves esp unchanged, delta " + std::to_string(delta));
  Check(CallChecked(reinterpret_cast<const void*>(&AddCdecl), args, 2, &delta) == 42 && delta == -8,
        "checker: cdecl callee leaves its 8 bytes, delta " + std::to_string(delta));
}
#endif

// Every export by its exact name and by its ordinal, and none of the spellings a linker might add.
void TestExportTable(HMODULE dll) {
  for (int i = 0; i < 5; ++i) {
    const FARPROC by_name = GetProcAddress(dll, kNames[i]);
    const FARPROC by_ordinal = GetProcAddress(dll, MAKEINTRESOURCEA(i + 1));
    Check(by_name != nullptr, std::string("export by name: ") + kNames[i]);
    Check(by_ordinal == by_name,
          std::string("ordinal ") + std::to_string(i + 1) + " is " + kNames[i]);
  }
  for (const char* absent : {"MPLSetData", "MPLSetData@16", "_MPLSetData@16", "MPLRun@12",
                             "MPLGetOutArraySize@0", "MPLLoad@4", "MPLSave@4", kOtherSetDataName}) {
    Check(GetProcAddress(dll, absent) == nullptr, std::string("not exported: ") + absent);
  }
  Check(GetProcAddress(dll, MAKEINTRESOURCEA(6)) == nullptr, "no ordinal 6");
}

void TestBeforeLoad(Dll& dll) {
  Check(dll.GetOutArraySize() == 0, "no outputs before a load");
  double in[2] = {1.0, 2.0}, out[1] = {-1.0};
  CheckText(dll.Run(out, in, 2), "Error: MPLRun, no network loaded", "run before a load");
  Check(out[0] == -1.0, "run before a load writes nothing");
}

constexpr std::uint64_t kExampleOutputBits = 0x3FEB75F4C16B302Full;  // 0.8581489350995123

struct RunJob {
  Dll* dll = nullptr;
  bool ok = true;
};

DWORD WINAPI RunRepeatedly(LPVOID param) {
  RunJob& job = *static_cast<RunJob*>(param);
  const double in[2] = {1.0, 2.0};
  for (int k = 0; k < 200; ++k) {
    double out[1] = {0.0};
    const bool ok =
        std::strcmp(job.dll->Run(out, in, 2), "test") == 0 && Bits(out[0]) == kExampleOutputBits;
    job.ok = job.ok && ok;
  }
  return 0;
}

// The network file used until a name is accepted is c:\test.ini, for loading and saving alike.
void TestNetworkFile(Dll& dll, const std::string& data_dir, const std::string& temp_dir) {
  const std::string example = data_dir + "\\example_2_1.ini";
  Check(CopyFileA(example.c_str(), "c:\\test.ini", FALSE) != 0, "copy the example to c:\\test.ini");

  CheckText(dll.Load(nullptr), " MPL network load ", "load with a null name");
  Check(dll.GetOutArraySize() == 1, "the example network has one output");
  const double in[3] = {1.0, 2.0, 99.0};  // the third value is beyond the input layer: ignored
  double out[1] = {0.0};
  CheckText(dll.Run(out, in, 3), "test", "run the example");
  // The native build computes 0.8581489350995123 for the same network and inputs.
  Check(Bits(out[0]) == kExampleOutputBits,
        "example output bit-identical to the native build's, got " + std::to_string(out[0]));

  // Concurrent runs from several threads, as terminals make them (one per chart): each sees the
  // complete output of its own run.
  RunJob jobs[4];
  HANDLE threads[4];
  for (int t = 0; t < 4; ++t) {
    jobs[t].dll = &dll;
    threads[t] = CreateThread(nullptr, 0, &RunRepeatedly, &jobs[t], 0, nullptr);
  }
  WaitForMultipleObjects(4, threads, TRUE, INFINITE);
  for (int t = 0; t < 4; ++t) {
    CloseHandle(threads[t]);
    Check(jobs[t].ok, "thread " + std::to_string(t) + " ran the example 200 times");
  }

  // A name in a folder that does not exist is refused: the load goes on with c:\test.ini.
  CheckText(dll.Load("c:\\no such folder\\net.ini"), " MPL network load ", "load a refused name");
  Check(dll.GetOutArraySize() == 1, "a refused name loads c:\\test.ini");

  // Save into a file of our own, load it back: the same output to the bit (every stored value has
  // fewer than 15 significant digits).
  const std::string copy = temp_dir + "\\saved.ini";
  CheckText(dll.Save(copy.c_str()), " MPL network save", "save into a new file");
  CheckText(dll.Load(copy.c_str()), " MPL network load ", "load the saved file");
  double again[1] = {0.0};
  CheckText(dll.Run(again, in, 2), "test", "run the reloaded network");
  Check(Bits(again[0]) == Bits(out[0]), "reloaded network gives the same output");

  // Now the accepted name is our file; a refused name saves there, not into c:\test.ini.
  const std::string before = ReadFile("c:\\test.ini");
  CheckText(dll.Save("c:\\no such folder\\net.ini"), " MPL network save", "save a refused name");
  Check(ReadFile("c:\\test.ini") == before, "c:\\test.ini untouched by a save elsewhere");

  CheckText(dll.Load("c:\\test.ini"), " MPL network load ", "load c:\\test.ini by name");
  CheckText(dll.Save("c:\\test.ini"), " MPL network save", "save c:\\test.ini by name");
  CheckText(dll.Load(nullptr), " MPL network load ", "reload c:\\test.ini");
  CheckText(dll.Run(again, in, 2), "test", "run after saving to c:\\test.ini");
  Check(Bits(again[0]) == Bits(out[0]), "c:\\test.ini round trip gives the same output");
  DeleteFileA(copy.c_str());
}

RateInfo Bar(unsigned time, double open, double low, double high, double close, double vol) {
  RateInfo r;
  r.time = time;
  r.open = open;
  r.low = low;
  r.high = high;
  r.close = close;
  r.vol = vol;
  return r;
}

// The bar log is c:\temp\test.txt; the library never creates c:\temp.
void TestBarLog(Dll& dll, bool decimal_comma) {
  const RateInfo bars[3] = {Bar(100, 1.5, 1, 2, 1.25, 1000),
                            Bar(4294967295u, 0.1, 0, 0.2, 0.3, 1e15),
                            Bar(7, -2.5, -3, -2, -2.75, 0)};
  CheckText(dll.SetData(nullptr, -1, -1, -1), "Error: MPLSetData, rates is NULL", "null rates");
  CheckText(dll.SetData(bars, 0, 0, 0), "Error: MPLSetData, wrong shift number", "no bars");
  CheckText(dll.SetData(bars, 3, 0, 6), "Error: MPLSetData, wrong rate index", "rate index 6");

  Check(!Exists("c:\\temp"), "c:\\temp absent at the start");
  CheckText(dll.SetData(bars, 3, 2, 5), "Error: MPLSetData, bar log not written",
            "bar log without c:\\temp");
  Check(!Exists("c:\\temp"), "c:\\temp not created by the library");

  Check(CreateDirectoryA("c:\\temp", nullptr) != 0, "create c:\\temp");
  // The array starts at an odd address: no field may be read as if aligned.
  alignas(8) unsigned char buffer[1 + sizeof bars];
  std::memcpy(buffer + 1, bars, sizeof bars);
  const RateInfo* odd = reinterpret_cast<const RateInfo*>(buffer + 1);
  CheckText(dll.SetData(odd, 3, 2, 5), "MPLSetData: Successful", "three bars");
  CheckText(dll.SetData(odd, 1, 0, 0), "MPLSetData: Successful", "one more bar");
  std::string expected =
      "Bar: 2 Time: 7 Open: -2.5 Low: -3 High: -2 Close: -2.75 Vol: 0 \r\n"
      "Bar: 1 Time: 4294967295 Open: 0.1 Low: 0 High: 0.2 Close: 0.3 Vol: 1E+15 \r\n"
      "Bar: 0 Time: 100 Open: 1.5 Low: 1 High: 2 Close: 1.25 Vol: 1000 \r\n"
      "Bar: 0 Time: 100 Open: 1.5 Low: 1 High: 2 Close: 1.25 Vol: 1000 \r\n";
  if (decimal_comma) std::replace(expected.begin(), expected.end(), '.', ',');
  const std::string log = ReadFile("c:\\temp\\test.txt");
  Check(log == expected, "bar log content:\n" + log);
  CheckText(dll.SetData(odd, 3, 3, 0), "Error: MPLSetData, wrong shift number", "shift 3 of 3");
  Check(ReadFile("c:\\temp\\test.txt") == log, "a refused call leaves the bar log as it was");
}

}  // namespace

int main(int argc, char** argv) {
  const bool decimal_comma = argc == 4 && std::strcmp(argv[3], "--decimal-comma") == 0;
  if (argc != 3 && !decimal_comma) {
    std::fprintf(stderr,
                 "usage: dll_host_test <mplnet.dll> <test data folder> [--decimal-comma]\n");
    return 2;
  }
  // Paths come from the build in Unix spelling ("Z:/..."); Windows wants backslashes.
  std::string dll_path = argv[1], data_dir = argv[2];
  for (std::string* path : {&dll_path, &data_dir}) {
    std::replace(path->begin(), path->end(), '/', '\\');
  }
  // A folder of our own for files other than the fixed ones.
  char temp_base[MAX_PATH];
  GetTempPathA(MAX_PATH, temp_base);
  const std::string temp_dir =
      std::string(temp_base) + "mplnet-host-test-" + std::to_string(GetCurrentProcessId());
  CreateDirectoryA(temp_dir.c_str(), nullptr);
  RemoveFixedFiles();

#ifndef _WIN64
  TestChecker();
#endif
  HMODULE module = LoadLibraryA(dll_path.c_str());
  Check(module != nullptr, "LoadLibrary " + dll_path);
  if (module != nullptr) {
    TestExportTable(module);
    Dll dll(module);
    if (dll.complete()) {
      TestBeforeLoad(dll);
      TestNetworkFile(dll, data_dir, temp_dir);
      TestBarLog(dll, decimal_comma);
    }
#ifndef _WIN64
    Check(g_calls > 0 && g_stack_faults == 0,
          "esp unchanged across " + std::to_string(g_calls.load()) + " calls into the DLL");
#endif
    Check(FreeLibrary(module) != 0, "FreeLibrary");
  }

  RemoveFixedFiles();
  RemoveDirectoryA(temp_dir.c_str());
  std::printf("%d passed, %d failed\n", g_passed.load(), g_failed.load());
  return g_failed.load() == 0 ? 0 : 1;
}
