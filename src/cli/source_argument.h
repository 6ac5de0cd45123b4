// SOURCE on the command line: an image file, a block device, or disk:N[:START:COUNT].
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "disk/partition_table.h"

namespace kestrune::cli {

struct ResolvedSource {
    bool isImage = false;
    std::filesystem::path image;  // when isImage
    int disk = -1;                // otherwise: disk number, area start and length
    uint64_t startSector = 0;
    uint64_t sectorCount = 0;
    uint32_t bytesPerSector = 512;
    std::string text;  // as the user wrote it
    // An image file holding a partition table is opened as a disk of its own; these are
    // its partitions, and partition the one picked (0: the whole image).
    bool partitioned = false;
    int partition = 0;
    std::vector<PartitionEntry> partitions;
};

// Resolves text into a source. Returns an exit code: 0, 2 for a malformed disk:
// form, 3 when the source does not exist or cannot be opened; error says why.
int ResolveSource(const std::string& text, ResolvedSource& out, std::string& error, int partition = 0);

// "image disk.img, 2880 sectors of 512 bytes" and the like.
std::string DescribeSource(const ResolvedSource& source);

}  // namespace kestrune::cli
