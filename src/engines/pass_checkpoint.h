// The checkpoint of a formatted pass: how far it got, how many records each of its logs
// held at that moment, and what its engines held in memory. One file in the run folder,
// replaced whole, so a pass killed at any moment finds a checkpoint that belongs together
// with the logs it describes.
#pragma once

#include <cstdint>
#include <filesystem>
#include <vector>

#include "disk/byte_view.h"

namespace kestrune {

struct PassCheckpoint {
    uint64_t fatRecords = 0;
    uint64_t ntfsRecords = 0;
    uint64_t deepRecords = 0;
    uint64_t exfatRecords = 0;
    uint64_t extentStart = 0;
    uint64_t extentLength = 0;  // 0 once the pass is finished
    uint64_t offset = 0;
    uint64_t sectorsDone = 0;
    // The engines' pass state (empty for a finished pass, whose engines hold nothing more).
    std::vector<uint8_t> fatState;
    std::vector<uint8_t> ntfsState;
    std::vector<uint8_t> exfatState;
};

// Writes the checkpoint beside the logs and renames it into place, synced to the disk.
int WritePassCheckpoint(const std::filesystem::path& runFolder, const PassCheckpoint& checkpoint);
// False when the folder holds no whole checkpoint.
bool ReadPassCheckpoint(const std::filesystem::path& runFolder, PassCheckpoint& checkpoint);
// The checkpoint in a file's bytes; false when they are not a whole one.
bool ParsePassCheckpoint(ByteView bytes, PassCheckpoint& checkpoint);

}  // namespace kestrune
