// Arbitrary bytes as a small disk: the first sector through every detector and, when a
// type is found, its length rule reading ahead over the rest; plus the structure tests.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "engines/carve/signature_table.h"
#include "engines/carve/structure_tests.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace kestrune;
    using namespace kestrune::carve;
    std::vector<uint8_t> disk(data, data + size);
    disk.resize((disk.size() + 511) / 512 * 512 + 512, 0);
    const std::vector<uint8_t> sector(disk.begin(), disk.begin() + 512);
    SectorSource source = SourceOverMedium(std::make_unique<MemoryMedium>(disk), 512);
    CarvingContext context;
    context.source = &source;
    // The transport-stream state changes what the detectors accept: try both.
    context.transportStreamFlag = size % 2 == 0;
    context.m2tsFlag = size % 3 == 0;
    const int type = DetectType(ByteView(sector), context);
    if (const SignatureRow* row = type == kNoType ? nullptr : RowForType(type); row && row->signature->length)
        row->signature->length(ByteView(sector), context);
    IsFileSystemStructure(ByteView(sector));
    IsFatDirectorySector(ByteView(data, size));
    return 0;
}
