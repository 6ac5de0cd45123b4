// Arbitrary bytes as a small disk holding one file: the sound, Photoshop and icon,
// compound-document, cabinet and program walks follow it from the first sector, with a
// small maximum now and then so the cut-off is walked too.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "engines/carve/compound_document_walk.h"
#include "engines/carve/layered_picture_walks.h"
#include "engines/carve/program_walks.h"
#include "engines/carve/sound_walks.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace kestrune;
    using namespace kestrune::carve;
    std::vector<uint8_t> disk(data, data + size);
    disk.resize((disk.size() + 511) / 512 * 512 + 512, 0);
    const std::vector<uint8_t> sector(disk.begin(), disk.begin() + 512);
    SectorSource source = SourceOverMedium(std::make_unique<MemoryMedium>(disk), 512);
    const uint64_t maxBytes = size % 5 == 0 ? 2048 : uint64_t{1} << 30;
    for (StructureWalk walk : {WalkMp3, WalkMp2, WalkMidi, WalkPsd, WalkIco, WalkCompoundDocument, WalkCab, WalkPeImage}) {
        CarvingContext context;
        context.source = &source;
        FileReader file(ByteView(sector), context, maxBytes);
        if (auto end = walk(file)) file.Reaches(*end);
    }
    ReadMpegAudioFrame(ByteView(data, size));
    return 0;
}
