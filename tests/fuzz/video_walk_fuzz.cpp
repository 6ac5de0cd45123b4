// Arbitrary bytes as a small disk holding one video file: every video structure walk
// follows it from the first sector, with a small maximum now and then so the cut-off is
// walked too; the SWF header test and the transport packet test read the first sector.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "engines/carve/signature_table.h"
#include "engines/carve/video_walks.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace kestrune;
    using namespace kestrune::carve;
    std::vector<uint8_t> disk(data, data + size);
    disk.resize((disk.size() + 511) / 512 * 512 + 512, 0);
    const std::vector<uint8_t> sector(disk.begin(), disk.begin() + 512);
    SectorSource source = SourceOverMedium(std::make_unique<MemoryMedium>(disk), 512);
    const uint64_t maxBytes = size % 5 == 0 ? 2048 : uint64_t{1} << 30;
    for (StructureWalk walk : {WalkIsoMedia, WalkMatroska, WalkFlv, WalkMpegProgram, WalkMxf, WalkRealMedia,
                               WalkAsf, WalkAvi, WalkCompressedSwf}) {
        CarvingContext context;
        context.source = &source;
        FileReader file(ByteView(sector), context, maxBytes);
        if (auto end = walk(file)) file.Reaches(*end);
    }
    IsSwfHeader(ByteView(sector));
    IsTransportPacket(ByteView(sector), size % 200, size % 2 ? kTsPackets : kM2tsPackets);
    // The whole table over the first sector, the stream detectors reading the disk.
    CarvingContext context;
    context.source = &source;
    context.cursor = size % 3 == 0 ? 0 : 1;
    context.transportStreamFlag = size % 2 == 0;
    DetectType(ByteView(sector), context);
    return 0;
}
