// Texts as messages show them: texts read from a file, and counts with their nouns.
#ifndef MPLNET_PERSISTENCE_SHOWN_TEXT_H_
#define MPLNET_PERSISTENCE_SHOWN_TEXT_H_

#include <cstddef>
#include <string>
#include <string_view>

namespace mplnet {

// `text` with control bytes written as \xNN (a NUL would end the message early for whoever reads
// it as a C string), and a text of hostile length cut after `longest` bytes, its length said.
std::string ShownText(std::string_view text, std::size_t longest = 64);

// The same in double quotes.
std::string QuotedText(std::string_view text, std::size_t longest = 64);

// "1 row", "2 rows": a count and its noun, singular or plural as the count asks.
std::string Counted(std::size_t n, std::string_view one, std::string_view many);

}  // namespace mplnet

#endif  // MPLNET_PERSISTENCE_SHOWN_TEXT_H_
