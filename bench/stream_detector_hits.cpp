// How often the video detectors whose tests were widened fire on random bytes, which no
// real file is: hits per GiB, the old test against the new.
//
//   build/bin/stream_detector_hits [GiB]
//
// First the whole table runs over GiB (1 by default) of seeded random sectors lying on a
// disk, so that the transport-stream tests read the sectors around as in a real pass.
// Random data almost never holds a stream's sync bytes or an SWF's magic bytes, so the
// rates are also measured on random sectors that already carry them (M2TS: 0x47 at
// offsets 4, 196 and 388; TS: at 0, 188 and 376; SWF: "FWS" or "CWS"), then scaled by
// how rare those bytes are.
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <random>

#include "engines/carve/signature_table.h"
#include "engines/carve/video_walks.h"

namespace {

using namespace kestrune;
using namespace kestrune::carve;

constexpr size_t kSector = 512;

// The tests before they were widened.
bool OldM2ts(ByteView s) { return s.size() >= 16 && s.matches(8, std::string_view("\x00\x00\xB0\x11\x00\x00\xC1\x00", 8)); }
bool OldSwf(ByteView s) {
    const uint8_t version = s.u8(3);
    return (s.matches(0, "CWS") && version >= 6 && version <= 15) || (s.matches(0, "FWS") && version < 6);
}

void Fill(std::mt19937_64& random, uint8_t* bytes, size_t size) {
    for (size_t i = 0; i < size; i += 8) {
        const uint64_t v = random();
        std::memcpy(bytes + i, &v, 8);
    }
}

}  // namespace

int main(int argc, char** argv) {
    const double gib = argc > 1 ? std::atof(argv[1]) : 1.0;
    std::mt19937_64 random(20261208);
    constexpr size_t kChunk = 64 << 20;
    const uint64_t chunks = std::max<uint64_t>(1, static_cast<uint64_t>(gib * (1 << 30) / kChunk));
    std::map<int, uint64_t> hits;
    uint64_t oldM2ts = 0, oldSwf = 0;
    for (uint64_t c = 0; c < chunks; ++c) {
        std::vector<uint8_t> bytes(kChunk);
        Fill(random, bytes.data(), bytes.size());
        const std::vector<uint8_t> copy = bytes;
        SectorSource source = SourceOverMedium(std::make_unique<MemoryMedium>(std::move(bytes)), kSector);
        CarvingContext context;
        context.source = &source;
        for (uint64_t i = 0; i < kChunk / kSector; ++i) {
            const ByteView sector(copy.data() + i * kSector, kSector);
            context.position = context.cursor = i;
            const int type = DetectType(sector, context);
            context.transportStreamFlag = type == kTs || type == kNoType;
            if (type != kNoType) ++hits[type];
            oldM2ts += OldM2ts(sector);
            oldSwf += OldSwf(sector);
        }
    }
    std::printf("whole table over %.2f GiB of random sectors on a disk:", double(chunks * kChunk) / (1 << 30));
    if (hits.empty()) std::printf(" no hits");
    for (auto [type, count] : hits)
        std::printf(" %s=%llu", std::string(RowForType(type)->extension).c_str(), static_cast<unsigned long long>(count));
    std::printf("  (old M2TS test %llu, old SWF test %llu)\n", static_cast<unsigned long long>(oldM2ts),
                static_cast<unsigned long long>(oldSwf));

    // Sectors carrying the magic bytes, on a small disk of random sectors around them.
    const uint64_t samples = 2'000'000;
    const double sectorsPerGib = double(1 << 30) / kSector;
    std::vector<uint8_t> disk(16 * kSector);
    uint64_t newM2ts = 0, m2tsOld = 0, newTs = 0, newSwf = 0, swfOld = 0;
    for (uint64_t i = 0; i < samples; ++i) {
        Fill(random, disk.data(), disk.size());
        uint8_t* sector = disk.data() + kSector;
        const bool m2ts = i % 2 == 0;
        for (size_t at = m2ts ? 4 : 0; at < kSector; at += m2ts ? 192 : 188) sector[at] = 0x47;
        // Each test sees its own structure; the table order does not matter here.
        SectorSource source = SourceOverMedium(std::make_unique<MemoryMedium>(disk), kSector);
        CarvingContext context;
        context.source = &source;
        context.position = context.cursor = 1;
        const int type = DetectType(ByteView(sector, kSector), context);
        if (m2ts) {
            newM2ts += type == kMts;
            m2tsOld += OldM2ts(ByteView(sector, kSector));
        } else {
            newTs += type == kTs;
        }
        Fill(random, sector, kSector);
        std::memcpy(sector, i % 2 ? "FWS" : "CWS", 3);
        newSwf += IsSwfHeader(ByteView(sector, kSector));
        swfOld += OldSwf(ByteView(sector, kSector));
    }
    // Either SWF magic occurs with odds 2^-24 per sector; a sample carries one of the two.
    const double syncPrior = std::ldexp(1.0, -24), swfPrior = std::ldexp(1.0, -23);
    auto perGib = [&](uint64_t n, uint64_t of, double prior) { return sectorsPerGib * prior * double(n) / double(of); };
    const uint64_t half = samples / 2;
    std::printf("M2TS (of %llu sectors with its sync bytes: old %llu, new %llu): old %.3g, new %.3g hits per GiB\n",
                static_cast<unsigned long long>(half), static_cast<unsigned long long>(m2tsOld),
                static_cast<unsigned long long>(newM2ts), perGib(m2tsOld, half, syncPrior), perGib(newM2ts, half, syncPrior));
    std::printf("TS   (of %llu sectors with its sync bytes: unchanged test %llu): %.3g hits per GiB\n",
                static_cast<unsigned long long>(half), static_cast<unsigned long long>(newTs),
                perGib(newTs, half, syncPrior));
    std::printf("SWF  (of %llu sectors with its magic bytes: old %llu, new %llu): old %.3g, new %.3g hits per GiB\n",
                static_cast<unsigned long long>(samples), static_cast<unsigned long long>(swfOld),
                static_cast<unsigned long long>(newSwf), perGib(swfOld, samples, swfPrior), perGib(newSwf, samples, swfPrior));
    return 0;
}
