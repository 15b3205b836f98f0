// The exports: each takes the process-wide lock, checks its arguments, works through the facade,
// and answers with a constant status text. Nothing thrown inside ever leaves an export.
#include <algorithm>
#include <mutex>

#include "host/bar_log.h"
#include "host/tavra_dll.h"
#include "mplnet/mplnet.h"
#include "persistence/platform_paths.h"

using mplnet::ExportMutex;
using mplnet::MPL;

extern "C" {

MPLNET_EXPORT const char* MPLNET_CALL MPLRun(double* out_array, const double* in_array,
                                             int in_size) {
  try {
    std::lock_guard<std::mutex> lock(ExportMutex());
    if (MPL.net == nullptr || MPL.net->GetLCount() == 0) return "Error: MPLRun, no network loaded";
    if (out_array == nullptr || in_array == nullptr) return "Error: MPLRun, array is NULL";
    if (in_size < MPL.net->GetLayerSize(0)) return "Error: MPLRun, wrong in_size number";
    MPL.Run(in_array, in_size);
    const int n = MPL.GetOutput();
    std::copy(MPL.out_buffer.get(), MPL.out_buffer.get() + n, out_array);
    return "test";
  } catch (...) {
    return "Error: MPLRun, internal error";
  }
}

MPLNET_EXPORT int MPLNET_CALL MPLGetOutArraySize(void) {
  try {
    std::lock_guard<std::mutex> lock(ExportMutex());
    return MPL.net != nullptr ? MPL.GetArrayOutputSize() : 0;
  } catch (...) {
    return 0;
  }
}

MPLNET_EXPORT const char* MPLNET_CALL MPLLoad(const char* _fn) {
  try {
    std::lock_guard<std::mutex> lock(ExportMutex());
    return MPL.LoadNet(_fn);
  } catch (...) {
    return "Error: MPLLoad, internal error";
  }
}

MPLNET_EXPORT const char* MPLNET_CALL MPLSave(const char* _fn) {
  try {
    std::lock_guard<std::mutex> lock(ExportMutex());
    return MPL.SaveNet(_fn);
  } catch (...) {
    return "Error: MPLSave, internal error";
  }
}

MPLNET_EXPORT char* MPLNET_CALL MPLSetData(const RateInfo* rates, int rates_total, int shift,
                                           int nrate) {
  // The declared result is a plain char pointer, as hosts declare it; the text itself is read-only.
  try {
    std::lock_guard<std::mutex> lock(ExportMutex());
    return const_cast<char*>(
        mplnet::SetData(rates, rates_total, shift, nrate, mplnet::kBarLogFile));
  } catch (...) {
    return const_cast<char*>("Error: MPLSetData, internal error");
  }
}

}  // extern "C"
