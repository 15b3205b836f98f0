// The bar intake with arbitrary arguments and bar bytes. Input: three little-endian 32-bit integers
// (rates_total, shift, nrate), one byte choosing a null array, then the bars' bytes.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz/fuzz_support.h"
#include "host/bar_log.h"
#include "persistence/bar_log_line.h"

namespace {

using namespace mplnet::fuzzing;

std::int32_t ReadInt(const std::uint8_t* data) {
  std::uint32_t bits = 0;
  for (int i = 3; i >= 0; --i) bits = bits << 8 | data[i];
  std::int32_t value;
  std::memcpy(&value, &bits, sizeof value);
  return value;
}

// The log is cut back now and then so that a long run does not fill the disk.
constexpr std::size_t kLogLimit = 1 << 16;

// Checks one appended line against the line format the datasets read it with: the labels in order,
// the index, every value a number, and no line end but the last.
void CheckLine(std::string_view line, int index) {
  FUZZ_CHECK(line.size() >= mplnet::kBarLineEnd.size() && line.ends_with(mplnet::kBarLineEnd));
  FUZZ_CHECK(line.find_first_of("\r\n") == line.size() - 2);
  const std::vector<std::string_view> words =
      mplnet::BarLineWords(line.substr(0, line.size() - mplnet::kBarLineEnd.size()));
  FUZZ_CHECK(words.size() == mplnet::kBarLineWords);
  for (std::size_t i = 0; i < std::size(mplnet::kBarLineLabels); ++i) {
    FUZZ_CHECK(words[2 * i] == mplnet::kBarLineLabels[i]);
  }
  FUZZ_CHECK(words[1] == std::to_string(index));
  FUZZ_CHECK(mplnet::ReadBarLineWhole<std::uint32_t>(words[3]));
  for (std::size_t i = 5; i < words.size(); i += 2) FUZZ_CHECK(mplnet::ReadBarLineValue(words[i]));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 13) return 0;
  const std::int32_t total = ReadInt(data);
  const std::int32_t shift = ReadInt(data + 4);
  const std::int32_t nrate = ReadInt(data + 8);
  const bool null_rates = data[12] == 0xFF;
  // The bars, copied to memory of exactly their size so that a read past them is caught.
  const std::size_t records = (size - 13) / sizeof(RateInfo);
  std::vector<std::uint8_t> bytes(data + 13, data + 13 + records * sizeof(RateInfo));
  // The host's promise: the array holds rates_total records. A larger count is folded into what
  // there is, so the argument tests still see every sign and order of the three numbers.
  const std::int32_t rates_total = total > static_cast<std::int32_t>(records)
                                       ? total % static_cast<std::int32_t>(records + 1)
                                       : total;
  const auto* rates =
      null_rates || bytes.empty() ? nullptr : reinterpret_cast<const RateInfo*>(bytes.data());

  const std::string log = Scratch().file("bars.txt");
  if (ReadBytes(log).size() > kLogLimit) RemoveFile(log);
  const std::string before = ReadBytes(log);
  const std::string_view status = mplnet::SetData(rates, rates_total, shift, nrate, log);
  const std::string after = ReadBytes(log);

  const bool valid = rates != nullptr && rates_total >= 0 && shift >= 0 && shift < rates_total &&
                     nrate >= 0 && nrate <= 5;
  if (!valid) {
    FUZZ_CHECK(status.substr(0, 19) == "Error: MPLSetData, ");
    FUZZ_CHECK(after == before);
    return 0;
  }
  FUZZ_CHECK(status == "MPLSetData: Successful");
  FUZZ_CHECK(after.size() > before.size() && after.compare(0, before.size(), before) == 0);
  // Exactly rates_total lines were appended, highest index first.
  const std::string_view added = std::string_view(after).substr(before.size());
  FUZZ_CHECK(static_cast<std::int32_t>(std::count(added.begin(), added.end(), '\n')) ==
             rates_total);
  std::size_t start = 0;
  for (int index = rates_total - 1; index >= 0; --index) {
    const std::size_t end = added.find('\n', start) + 1;
    CheckLine(added.substr(start, end - start), index);
    start = end;
  }
  FUZZ_CHECK(start == added.size());
  return 0;
}
