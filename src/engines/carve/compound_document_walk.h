// The end of a compound document (Word, Excel and PowerPoint 97-2003 files, Outlook
// messages, other OLE files) from its allocation table.
#pragma once

#include "engines/carve/file_reader.h"

namespace kestrune::carve {

// Every sector the document uses (streams, directory, mini stream, the allocation
// table and its index) is marked in the allocation table; the file ends after the
// highest sector marked used. Sectors of 512 and of 4096 bytes alike.
std::optional<uint64_t> WalkCompoundDocument(FileReader& file);

}  // namespace kestrune::carve
