// How often the detectors fire on random bytes, which no real file is: hits per GiB.
//
//   build/bin/detector_hits [GiB]
//
// First every sector of GiB (1 by default) of seeded random bytes goes through the whole
// table. Random data almost never starts with a signature's magic bytes, so for the BMP
// and gzip tests the rate is also measured on random sectors that already carry the
// magic bytes (BMP: "BM" and four zero bytes; gzip: 1F 8B 08), then scaled by how rare
// those bytes are: the figure for the test as it was and as it is now.
#include <cstdio>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <map>
#include <random>

#include "engines/carve/signature_table.h"
#include "engines/carve/structure_walks.h"

namespace {

using namespace kestrune;
using namespace kestrune::carve;

constexpr size_t kSector = 512;

// The tests before they were widened.
bool OldBmp(ByteView s) {
    return s.size() >= 40 && (s.matches(0, "BM") || s.matches(0, "BA")) && s.le16(6) == 0 && s.le16(8) == 0 &&
           s.le32(14) == 40;
}
bool OldGzip(ByteView s) {
    if (s.size() < 16 || !s.matches(0, "\x1F\x8B\x08")) return false;
    const uint8_t flags = s.u8(3), extraFlags = s.u8(8), system = s.u8(9);
    return (flags == 0 || flags == 8) && (extraFlags == 2 || extraFlags == 4) && (system < 14 || system == 255);
}

void Fill(std::mt19937_64& random, std::vector<uint8_t>& sector) {
    for (size_t i = 0; i < sector.size(); i += 8) {
        const uint64_t v = random();
        std::memcpy(sector.data() + i, &v, 8);
    }
}

}  // namespace

int main(int argc, char** argv) {
    const double gib = argc > 1 ? std::atof(argv[1]) : 1.0;
    const uint64_t sectors = static_cast<uint64_t>(gib * (1 << 30) / kSector);
    std::mt19937_64 random(20261207);
    std::vector<uint8_t> sector(kSector);
    CarvingContext context;  // no source: detectors that read further see nothing
    std::map<int, uint64_t> hits;
    for (uint64_t i = 0; i < sectors; ++i) {
        Fill(random, sector);
        if (int type = DetectType(ByteView(sector), context); type != kNoType) ++hits[type];
    }
    std::printf("whole table over %.2f GiB of random sectors:", gib);
    if (hits.empty()) std::printf(" no hits");
    for (auto [type, count] : hits) std::printf(" %s=%llu", std::string(RowForType(type)->extension).c_str(),
                                                static_cast<unsigned long long>(count));
    std::printf("\n");

    const uint64_t samples = 20'000'000;
    const double sectorsPerGib = double(1 << 30) / kSector;
    uint64_t oldBmp = 0, newBmp = 0, oldGz = 0, newGz = 0;
    for (uint64_t i = 0; i < samples; ++i) {
        Fill(random, sector);
        sector[0] = 'B', sector[1] = 'M';
        std::memset(sector.data() + 6, 0, 4);
        oldBmp += OldBmp(ByteView(sector));
        newBmp += IsBmpHeader(ByteView(sector));
        Fill(random, sector);
        sector[0] = 0x1F, sector[1] = 0x8B, sector[2] = 0x08;
        oldGz += OldGzip(ByteView(sector));
        newGz += OldGzip(ByteView(sector)) ||
                 ((sector[3] & 0xE0) == 0 && (sector[9] < 14 || sector[9] == 255) &&
                  (sector[8] == 0 || sector[8] == 2 || sector[8] == 4) && GzipStartInflates(ByteView(sector)));
    }
    const double bmpPrior = std::ldexp(1.0, -48), gzPrior = std::ldexp(1.0, -24);
    auto perGib = [&](uint64_t n, double prior) { return sectorsPerGib * prior * double(n) / double(samples); };
    std::printf("BMP  (of %llu sectors with its magic: old %llu, new %llu): old %.3g, new %.3g hits per GiB\n",
                static_cast<unsigned long long>(samples), static_cast<unsigned long long>(oldBmp),
                static_cast<unsigned long long>(newBmp), perGib(oldBmp, bmpPrior), perGib(newBmp, bmpPrior));
    std::printf("gzip (of %llu sectors with its magic: old %llu, new %llu): old %.3g, new %.3g hits per GiB\n",
                static_cast<unsigned long long>(samples), static_cast<unsigned long long>(oldGz),
                static_cast<unsigned long long>(newGz), perGib(oldGz, gzPrior), perGib(newGz, gzPrior));
    return 0;
}
