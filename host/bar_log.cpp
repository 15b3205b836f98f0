// The bar intake. The host's records are packed (doubles at offsets 4 modulo 8) and the array may
// start at any address, so every field is copied out byte by byte instead of being read in place.
#include "host/bar_log.h"

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "persistence/bar_log_line.h"
#include "persistence/file_io.h"
#include "persistence/status_texts.h"

namespace mplnet {
namespace {

template <typename T>
T ReadField(const unsigned char* record, std::size_t offset) {
  T value;
  std::memcpy(&value, record + offset, sizeof value);
  return value;
}

}  // namespace

std::string FormatBarLines(const RateInfo* rates, int rates_total, const NumberSymbols& symbols) {
  const auto* bytes = reinterpret_cast<const unsigned char*>(rates);
  std::string lines;
  lines.reserve(static_cast<std::size_t>(rates_total) * 120);
  for (int i = rates_total - 1; i >= 0; --i) {
    const unsigned char* record = bytes + static_cast<std::size_t>(i) * sizeof(RateInfo);
    AppendBarLine(lines, static_cast<std::uint64_t>(i),
                  ReadField<std::uint32_t>(record, offsetof(RateInfo, time)),
                  {ReadField<double>(record, offsetof(RateInfo, open)),
                   ReadField<double>(record, offsetof(RateInfo, low)),
                   ReadField<double>(record, offsetof(RateInfo, high)),
                   ReadField<double>(record, offsetof(RateInfo, close)),
                   ReadField<double>(record, offsetof(RateInfo, vol))},
                  symbols);
  }
  return lines;
}

const char* SetData(const RateInfo* rates, int rates_total, int shift, int nrate,
                    const std::string& log_path) {
  if (rates == nullptr) return status::kRatesNull;
  if (rates_total < 0) return status::kWrongRatesTotal;
  if (shift < 0 || shift >= rates_total) return status::kWrongShift;
  if (nrate < 0 || nrate > 5) return status::kWrongRateIndex;
  const std::string lines = FormatBarLines(rates, rates_total, CurrentNumberSymbols());
  if (!AppendToFile(log_path, lines)) return status::kBarLogNotWritten;
  return status::kBarsLogged;
}

}  // namespace mplnet
