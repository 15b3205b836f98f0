// The facade `MPL`: construction at library load, the run and the output buffer.
#include "host/tavra_dll.h"

#include <algorithm>
#include <exception>
#include <new>

#include "persistence/file_io.h"
#include "persistence/status_texts.h"

namespace mplnet {

CTavraDll MPL;

std::mutex& ExportMutex() {
  static std::mutex mutex;
  return mutex;
}

CTavraDll::CTavraDll() : net(std::make_unique<Perceptron>()), ini(std::make_unique<CIniFile>()) {}

CTavraDll::~CTavraDll() {
  out_buffer.reset();
  ini.reset();
  net.reset();
}

namespace {
// Offers the host's name to the accessor; a refused or null name leaves the last accepted one.
void OfferName(CIniFile& ini, const char* _fn) {
  if (_fn != nullptr) ini.SetFileName(Utf8FromCodePage(_fn));
}
}  // namespace

const char* CTavraDll::LoadNet(const char* _fn) {
  OfferName(*ini, _fn);
  const char* code = nullptr;
  try {
    std::unique_ptr<Perceptron> loaded = ini->LoadMPL(code);
    net = std::move(loaded);  // the network changes only once a whole one was built
    return code;
  } catch (const std::exception&) {
    return status::kNotLoaded;
  }
}

const char* CTavraDll::SaveNet(const char* _fn) {
  OfferName(*ini, _fn);
  return ini->SaveMPL(*net);
}

const char* CTavraDll::Run(const double* in_array, int in_size) {
  net->Run(in_array, static_cast<std::size_t>(std::max(in_size, 0)));
  return status::kFacadeRan;
}

void ReserveOutputs(std::unique_ptr<double[]>& buffer, std::size_t& size, std::size_t n) {
  if (n > kMaxOutputCount) throw std::bad_alloc();
  if (buffer != nullptr && size == n) return;  // steady state: the same buffer serves every run
  buffer.reset();
  size = 0;
  buffer = std::make_unique<double[]>(n);
  size = n;
}

int CTavraDll::GetOutput() {
  // Straight into the buffer, which stays while the count does: nothing is allocated per run.
  ReserveOutputs(out_buffer, out_buffer_size, static_cast<std::size_t>(GetArrayOutputSize()));
  return net->GetOutput(out_buffer.get());
}

int CTavraDll::GetArrayOutputSize() const {
  return std::max(net->GetLayerSize(net->GetLCount() - 1), 0);
}

int CTavraDll::GetArrayInputSize() const {
  return std::max(net->GetLayerSize(0), 0);
}

}  // namespace mplnet
