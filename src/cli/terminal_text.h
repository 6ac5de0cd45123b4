// Names from the medium on a terminal: printed so that they cannot act on it.
#pragma once

#include <string>
#include <string_view>

namespace kestrune::cli {

// text with every control character (C0, DEL, C1), every byte that is not part of valid
// UTF-8 and every bidirectional override escaped in C style ("\n", "\x1b", "\u202e"), and
// "\" doubled, so that a name cannot move the cursor, colour the terminal, reorder what
// follows it or forge extra lines. Printable text, other alphabets included, stays as is.
std::string TerminalText(std::string_view text);

}  // namespace kestrune::cli
