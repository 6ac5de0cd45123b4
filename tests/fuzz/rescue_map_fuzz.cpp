// An arbitrary mapfile, as "image --resume" reads one (ours or ddrescue's) and as an image's
// map beside it is read when the image is opened. A map that parses covers its area without
// holes or overlaps, says the same when written and read again, and its areas, laid over a
// medium, make reads fail only where it said nothing was rescued.
#include <cstdlib>
#include <string>

#include "disk/bad_areas.h"
#include "disk/rescue_map.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace kestrune;
    const std::string text(reinterpret_cast<const char*>(data), size);
    RescueMap map;
    std::string error;
    if (!map.Parse(text, 1u << 20, error)) return 0;
    uint64_t reached = 0;
    for (const RescueMap::Block& block : map.blocks()) {
        if (block.pos != reached || block.size == 0) std::abort();
        reached = block.pos + block.size;
    }
    if (reached != map.size()) std::abort();
    // Written and read again it says the same (the texts themselves differ in their time
    // line when a second passes between them).
    RescueMap again;
    if (!again.Parse(map.Text("fuzz"), map.size(), error) || again.blocks().size() != map.blocks().size()) std::abort();
    for (size_t i = 0; i < map.blocks().size(); ++i) {
        const RescueMap::Block &a = map.blocks()[i], &b = again.blocks()[i];
        if (a.pos != b.pos || a.size != b.size || a.status != b.status) std::abort();
    }
    // Laid over a medium of the first MiB: the bytes it says are missing read as such.
    BadAreaMedium medium(std::make_unique<MemoryMedium>(std::vector<uint8_t>(1u << 20, 0)), 512);
    medium.LearnFrom(map);
    uint64_t missing = 0;
    for (const RescueMap::Block& block : map.blocks())
        if (block.status != '+' && block.pos < (1u << 20)) missing += std::min<uint64_t>(block.size, (1u << 20) - block.pos);
    if (medium.UnreadableBytes(0, 1u << 20) != missing) std::abort();
    uint8_t sector[512];
    size_t got = 0;
    for (uint64_t at = 0; at < (1u << 20); at += 64 * 1024) medium.ReadAt(at, sector, sizeof sector, got);
    return 0;
}
