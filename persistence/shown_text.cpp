#include "persistence/shown_text.h"

namespace mplnet {

std::string ShownText(std::string_view text, std::size_t longest) {
  std::string out;
  for (const char c : text.substr(0, longest)) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte >= 0x20 && byte != 0x7F) {
      out += c;
      continue;
    }
    constexpr char kHex[] = "0123456789ABCDEF";
    out += "\\x";
    out += kHex[byte >> 4];
    out += kHex[byte & 0xF];
  }
  if (text.size() > longest) out += "... (" + std::to_string(text.size()) + " bytes)";
  return out;
}

// Built by appending: GCC 12 warns falsely about `"text" + std::string`.
std::string QuotedText(std::string_view text, std::size_t longest) {
  std::string out = "\"";
  out += ShownText(text, longest);
  out += '"';
  return out;
}

std::string Counted(std::size_t n, std::string_view one, std::string_view many) {
  std::string out = std::to_string(n);
  out += ' ';
  out += n == 1 ? one : many;
  return out;
}

}  // namespace mplnet
