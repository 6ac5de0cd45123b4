// Arbitrary bytes as a compressed unit through the LZNT1 decompressor (units of 8 KiB and
// 64 KiB), and as a non-resident attribute through the whole-list run decoder.
#include <cstdint>
#include <vector>

#include "engines/ntfs/data_attribute.h"
#include "engines/ntfs/lznt1.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const kestrune::ByteView input(data, size);
    std::vector<uint8_t> small(8192), large(65536);
    kestrune::DecompressLznt1Unit(input, small);
    kestrune::DecompressLznt1Unit(input, large);
    std::vector<kestrune::DataRun> runs;
    kestrune::DecodeRunList(input, runs);
    return 0;
}
