// Arbitrary bytes as a volume whose free space is read from its metadata, under every
// file system name that has a reader.
#include <cstdint>
#include <vector>

#include "disk/free_space.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const kestrune::VolumeReader read = [data, size](uint64_t offset, size_t length, std::vector<uint8_t>& out) {
        if (offset > size || length > size - offset) return false;
        out.assign(data + offset, data + offset + length);
        return true;
    };
    for (const char* name : {"FAT", "FAT32", "exFAT", "ext4"}) kestrune::MetadataFreeBytes(name, read);
    return 0;
}
