// What a file system is stored on, all the way down: a folder's volume may be a partition
// of a loop device whose backing file is the very image being read, or a mapped device
// built on the partition being read. Writing there writes into the source.
#pragma once

#include <sys/types.h>

#include <filesystem>
#include <string>
#include <utility>
#include <vector>

namespace kestrune {

struct MediaBelow {
    // Kernel names of the block devices whose sectors a write may reach ("sdb1", "loop0p1",
    // "dm-0", and the devices they are built from); a partition's whole disk is not among
    // them, as a write reaches only the partition's own sectors.
    std::vector<std::string> blockDevices;
    // Files whose bytes a write may reach, as (device, inode): the backing files of loop
    // devices, and image files mounted directly (FUSE).
    std::vector<std::pair<dev_t, ino_t>> files;
};

// Everything the file system holding path (or its nearest existing folder above) is
// stored on. Empty when it lies on nothing the system can tell (tmpfs, network).
MediaBelow MediaBelowPath(const std::filesystem::path& path);

// The backing file of loop device name ("loop3"), as (device, inode); false when name is
// no loop device with a backing file.
bool LoopBackingFile(const std::string& name, std::pair<dev_t, ino_t>& file);

}  // namespace kestrune
