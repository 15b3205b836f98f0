// The facade behind the exports: the one network of the process, and what the exports need with it.
//
// `MPL` lives from library load to unload. The exports serialize every use of it through
// `ExportMutex()`; the facade itself takes no lock.
#ifndef MPLNET_HOST_TAVRA_DLL_H_
#define MPLNET_HOST_TAVRA_DLL_H_

#include <cstddef>
#include <memory>
#include <mutex>

#include "mplnet/engine.h"
#include "persistence/ini_file.h"

namespace mplnet {

// The largest output count whose size in bytes fits 32 bits.
inline constexpr std::size_t kMaxOutputCount = 0x1FFFFFFF;

class CTavraDll {
 public:
  CTavraDll();
  ~CTavraDll();
  CTavraDll(const CTavraDll&) = delete;
  CTavraDll& operator=(const CTavraDll&) = delete;

  // Runs the network on the first `in_size` values of `in_array`.
  const char* Run(const double* in_array, int in_size);
  // Copies the last layer's outputs into `out_buffer` and returns their count.
  int GetOutput();
  // The last layer's size; 0 without layers.
  int GetArrayOutputSize() const;
  // The input layer's size, the fewest values a run takes; 0 without layers.
  int GetArrayInputSize() const;
  // Loads the network file `_fn` (8-bit host text; a refused or null name keeps the last accepted
  // one) and makes it the current network. On failure the current network stays.
  const char* LoadNet(const char* _fn);
  // Saves the current network into `_fn` (same name rules). On failure the file stays as it was.
  const char* SaveNet(const char* _fn);

  std::unique_ptr<Perceptron> net;       // the current network
  std::unique_ptr<CIniFile> ini;         // the network file's name and access
  std::unique_ptr<double[]> out_buffer;  // outputs of the last run
  std::size_t out_buffer_size = 0;       // number of doubles in out_buffer
};

// Makes room for `n` outputs, reusing `buffer` when its size fits; throws std::bad_alloc for counts
// above kMaxOutputCount.
void ReserveOutputs(std::unique_ptr<double[]>& buffer, std::size_t& size, std::size_t n);

// The facade of the process, constructed when the library is loaded and destroyed at unload.
extern CTavraDll MPL;
// The lock every export holds while it works.
std::mutex& ExportMutex();
// The current network's input layer size (0 without layers), read under the export lock as an
// export reads it: for a program that drives the exports and sizes its inputs, as
// MPLGetOutArraySize sizes the outputs.
int InputArraySize();

}  // namespace mplnet

#endif  // MPLNET_HOST_TAVRA_DLL_H_
