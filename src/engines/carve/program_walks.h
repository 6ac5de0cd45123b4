// Walks of Windows programs and the cabinets they are installed from: a PE image's
// sections, symbols and signature, and a cabinet's size checked against its folders.
// Each answers the exact length, or nothing when the structure cannot be followed.
#pragma once

#include "engines/carve/file_reader.h"

namespace kestrune::carve {

// An exe, dll or sys file: the end of its headers and section data, of the COFF symbol
// and string tables some compilers leave after them, and of the certificate table of a
// signed file (which lies last, after any data appended to the program).
std::optional<uint64_t> WalkPeImage(FileReader& file);
// A CAB file: its stated size, when the header is sane and its folders' data blocks
// chain to that end.
std::optional<uint64_t> WalkCab(FileReader& file);

}  // namespace kestrune::carve
