// libblkid reads a device or a file by itself. An image in a container holds its disk in
// another layout, so blkid is shown a stand-in: a file in memory as large as the area,
// holding the bytes blkid looks at (the area's first mebibyte, and where NTFS, FAT32 and
// exFAT keep their labels) and nothing elsewhere.
#pragma once

#include <cstdint>
#include <filesystem>

namespace kestrune {

class Medium;

// A descriptor of that file for the area sizeBytes long (0: to the end) at offsetBytes of
// image, or -1 when it cannot be made. The caller closes it.
int ProbeWindowOf(Medium& image, uint64_t offsetBytes, uint64_t sizeBytes);

}  // namespace kestrune
