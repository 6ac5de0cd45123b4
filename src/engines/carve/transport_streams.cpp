// MPEG transport streams: broadcast TS (188-byte packets) and M2TS from cameras and
// Blu-ray discs (192-byte packets, a 4-byte arrival time before each). A stream has no
// header: it is found by its packets' sync bytes and ends where they stop.
#include <algorithm>

#include "engines/carve/detectors.h"
#include "engines/carve/length_rules.h"
#include "engines/carve/video_walks.h"

namespace kestrune::carve {

namespace {

constexpr uint8_t kPacketSync = 0x47;
// The bytes read to confirm a stream: 22 TS packets or 21 M2TS packets.
constexpr uint32_t kConfirmBytes = 4096;

bool SyncAtEveryPacket(ByteView data, size_t packets) {
    for (size_t i = 0; i < packets; ++i)
        if (!data.has(i * kTsPackets.packetBytes, 1) || data.u8(i * kTsPackets.packetBytes) != kPacketSync) return false;
    return true;
}

bool InRecordedStream(const CarvingContext& context) {
    for (const auto& [first, last] : context.transportStreamExtents)
        if (context.cursor >= first && context.cursor <= last) return true;
    return false;
}

// A transport stream: 188-byte packets, each starting with 0x47. A sector inside a
// stream already found looks just like the start of one, so once a stream is running
// (the flag) a sector whose predecessor holds a packet start that would run on into it,
// or that lies inside a stream already carved, is not a new stream.
int DetectTransportStream(ByteView s, CarvingContext& context) {
    constexpr size_t kPacketBytes = kTsPackets.packetBytes;
    if (s.size() < kPacketBytes || s.u8(0) != kPacketSync || s.all(1, 3, 0)) return kNoType;
    for (size_t at = 0; at < s.size(); at += kPacketBytes)
        if (s.u8(at) != kPacketSync) return kNoType;
    std::vector<uint8_t> ahead;
    const uint32_t sectorsToConfirm = std::max<uint32_t>(1, kConfirmBytes / context.sectorSize);
    if (!context.ReadSectorsAt(context.cursor, sectorsToConfirm, ahead) || !SyncAtEveryPacket(ByteView(ahead), 22))
        return kNoType;
    if (context.transportStreamFlag) {
        std::vector<uint8_t> before;
        if (context.cursor > 0 && context.ReadSectorsAt(context.cursor - 1, 1, before)) {
            const ByteView previous(before);
            for (size_t j = 1; j * kPacketBytes <= previous.size(); ++j)
                if (previous.u8(previous.size() - j * kPacketBytes) == kPacketSync) return kNoType;
        }
        if (InRecordedStream(context)) return kNoType;
    }
    return kTs;
}

// An M2TS stream, whatever table its first packet carries: 192-byte packets at every
// step of the sector and of the next 4 KiB. Inside a running stream every third sector
// (of 512 bytes) starts on a packet too; while an M2TS file is being carved (the flag),
// a sector whose predecessor holds the packets that lead up to it is no new stream. The
// flag keeps the quick scan's content check out of this: a camera writes its clips one
// after the other, and the second clip's first sector follows the first clip's packets.
int DetectM2ts(ByteView s, CarvingContext& context) {
    constexpr size_t kPacketBytes = kM2tsPackets.packetBytes;
    if (s.size() < 16) return kNoType;
    for (size_t at = 0; at + kM2tsPackets.syncOffset + 4 <= s.size(); at += kPacketBytes)
        if (!IsTransportPacket(s, at, kM2tsPackets)) return kNoType;
    std::vector<uint8_t> bytes;
    if (context.m2tsFlag && context.cursor > 0 && context.ReadSectorsAt(context.cursor - 1, 1, bytes) && bytes.size() >= kPacketBytes) {
        const ByteView previous(bytes);
        bool leadsUp = true;
        for (size_t j = 1; j * kPacketBytes <= previous.size() && leadsUp; ++j)
            leadsUp = IsTransportPacket(previous, previous.size() - j * kPacketBytes, kM2tsPackets);
        if (leadsUp) return kNoType;
    }
    const uint32_t sectorsToConfirm = std::max<uint32_t>(1, kConfirmBytes / context.sectorSize);
    if (!context.ReadSectorsAt(context.cursor, sectorsToConfirm, bytes)) return kNoType;
    const ByteView ahead(bytes);
    for (size_t i = 0; i < 21; ++i)
        if (!IsTransportPacket(ahead, i * kPacketBytes, kM2tsPackets)) return kNoType;
    return InRecordedStream(context) ? kNoType : kMts;
}

// The packet walk: every packet's sync byte and header, over the whole file from its
// first sector on, block by block as the read-ahead delivers them; the first packet that
// is not one ends the stream. The stream's sectors are recorded, so that no sector inside
// it is taken for the start of another stream.
uint64_t PacketStreamLength(ByteView s, CarvingContext& context, PacketLayout layout, uint64_t maxBytes) {
    uint64_t streamEnd = UINT64_MAX;
    uint64_t packet = 0;
    bool controlByte = false;  // which of the packet's two checked bytes comes next
    auto walkPackets = [&](ByteView data, uint64_t dataOffset) {
        while (streamEnd == UINT64_MAX) {
            const uint64_t at = packet + layout.syncOffset + (controlByte ? 3 : 0);
            if (at >= dataOffset + data.size()) break;
            const uint8_t b = data.u8(static_cast<size_t>(at - dataOffset));
            if (controlByte ? (b & 0x30) == 0 : b != kPacketSync) streamEnd = packet;
            if (controlByte) packet += layout.packetBytes;
            controlByte = !controlByte;
        }
    };
    walkPackets(s, 0);
    ReadAhead walk(context, maxBytes);
    ByteView block;
    while (streamEnd == UINT64_MAX && walk.Next(block)) walkPackets(block, walk.BlockOffset());
    const uint64_t length = std::min(walk.CountedBytes(), streamEnd);
    const uint64_t sectors = (length + context.sectorSize - 1) / context.sectorSize;
    context.transportStreamExtents.emplace_back(context.position, context.position + std::max<uint64_t>(sectors, 1) - 1);
    return length;
}

uint64_t TransportStreamLength(ByteView s, CarvingContext& c) { return PacketStreamLength(s, c, kTsPackets, 64 * GiB); }
uint64_t M2tsLength(ByteView s, CarvingContext& c) { return PacketStreamLength(s, c, kM2tsPackets, 6 * GiB); }

constexpr Anchor kTsAnchors[] = {{0, kPacketSync}};
constexpr Anchor kM2tsAnchors[] = {{4, kPacketSync}};

}  // namespace

const Signature kTransportStreamSignature{"transport stream", DetectTransportStream, TransportStreamLength, kTsAnchors};
const Signature kM2tsSignature{"M2TS", DetectM2ts, M2tsLength, kM2tsAnchors};

}  // namespace kestrune::carve
