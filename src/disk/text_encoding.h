// UTF-16 and UTF-8: names on disk are UTF-16 (NTFS, FAT long names, the catalogue's
// paths); everywhere else the program uses UTF-8.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "disk/byte_view.h"

namespace kestrune {

// Decodes UTF-16LE code units; unpaired surrogates become U+FFFD, so any bytes give text.
std::string Utf16ToUtf8(std::u16string_view text);
// The first units code units at offset of a little-endian UTF-16 field (stops at NUL when
// stopAtNul). Units past the view's end are not read.
std::string Utf16LeToUtf8(ByteView bytes, size_t offset, size_t units, bool stopAtNul);
// Encodes UTF-8 as UTF-16; invalid bytes become U+FFFD.
std::u16string Utf8ToUtf16(std::string_view text);

// The longest prefix of text that fits maxBytes without splitting a character.
std::string_view CutUtf8(std::string_view text, size_t maxBytes);

}  // namespace kestrune
