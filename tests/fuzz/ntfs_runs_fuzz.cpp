// Arbitrary bytes as a non-resident attribute through the run decoder, at both sector sizes.
#include <cstdint>
#include <vector>

#include "engines/ntfs/ntfs_structures.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const kestrune::ByteView attribute(data, size);
    std::vector<kestrune::FileRun> runs;
    kestrune::DecodeRuns(attribute, 512, runs);
    kestrune::DecodeRuns(attribute, 4096, runs);
    return 0;
}
