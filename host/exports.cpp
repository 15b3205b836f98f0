// The exports: each takes the process-wide lock, checks its arguments, works through the facade,
// and answers with a constant status text. Nothing thrown inside ever leaves an export.
#include <algorithm>
#include <mutex>

#include "host/bar_log.h"
#include "host/tavra_dll.h"
#include "mplnet/mplnet.h"
#include "persistence/platform_paths.h"
#include "persistence/status_texts.h"

using mplnet::ExportMutex;
using mplnet::MPL;
namespace status = mplnet::status;

namespace {

// Runs `body` under the process-wide lock; anything thrown inside becomes `failure`, so no
// exception ever reaches the host.
template <typename Result, typename Body>
Result Guarded(Result failure, Body&& body) noexcept {
  try {
    std::lock_guard<std::mutex> lock(ExportMutex());
    return body();
  } catch (...) {
    return failure;
  }
}

}  // namespace

int mplnet::InputArraySize() {
  return Guarded(0, [] { return MPL.net != nullptr ? MPL.GetArrayInputSize() : 0; });
}

extern "C" {

MPLNET_EXPORT const char* MPLNET_CALL MPLRun(double* out_array, const double* in_array,
                                             int in_size) {
  return Guarded<const char*>(status::kRunInternalError, [&]() -> const char* {
    if (MPL.net == nullptr || MPL.net->GetLCount() == 0) return status::kNoNetwork;
    if (out_array == nullptr || in_array == nullptr) return status::kArrayNull;
    if (in_size < MPL.GetArrayInputSize()) return status::kWrongInSize;
    MPL.Run(in_array, in_size);
    const int n = MPL.GetOutput();
    std::copy(MPL.out_buffer.get(), MPL.out_buffer.get() + n, out_array);
    return status::kRan;
  });
}

MPLNET_EXPORT int MPLNET_CALL MPLGetOutArraySize(void) {
  return Guarded(0, [] { return MPL.net != nullptr ? MPL.GetArrayOutputSize() : 0; });
}

MPLNET_EXPORT const char* MPLNET_CALL MPLLoad(const char* _fn) {
  return Guarded<const char*>(status::kLoadInternalError, [&] { return MPL.LoadNet(_fn); });
}

MPLNET_EXPORT const char* MPLNET_CALL MPLSave(const char* _fn) {
  return Guarded<const char*>(status::kSaveInternalError, [&] { return MPL.SaveNet(_fn); });
}

MPLNET_EXPORT char* MPLNET_CALL MPLSetData(const RateInfo* rates, int rates_total, int shift,
                                           int nrate) {
  // The declared result is a plain char pointer, as hosts declare it; the text itself is read-only.
  return const_cast<char*>(Guarded<const char*>(status::kSetDataInternalError, [&] {
    return mplnet::SetData(rates, rates_total, shift, nrate, mplnet::kBarLogFile);
  }));
}

}  // extern "C"
