// Texts read from a file, as an error message shows them.
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

}  // namespace mplnet

#endif  // MPLNET_PERSISTENCE_SHOWN_TEXT_H_
