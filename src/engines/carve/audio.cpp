// Sound: MP3, MIDI, APE, WAV, MP2 and MMF.
#include <algorithm>

#include "engines/carve/detectors.h"
#include "engines/carve/length_rules.h"
#include "engines/carve/sound_walks.h"

namespace kestrune::carve {

namespace {

bool SameStream(const MpegAudioFrame& a, const MpegAudioFrame& b) {
    return a.version == b.version && a.layer == b.layer && a.sampleRate == b.sampleRate;
}

// How many frames like `like` follow one another from offset at, up to `enough`.
size_t ChainedFrames(ByteView data, size_t at, const MpegAudioFrame& like, size_t enough) {
    size_t count = 0;
    while (count < enough) {
        const auto frame = ReadMpegAudioFrame(data.sub(at, 4));
        if (!frame || !SameStream(*frame, like)) break;
        ++count;
        at += frame->bytes;
    }
    return count;
}

// Whether frames like `like` run up to the end of before exactly: the sectors before a
// frame inside a stream hold the frames that lead to it, those before a file's first
// frame hardly ever do.
bool FramesLeadUpTo(ByteView before, const MpegAudioFrame& like) {
    for (size_t start = 0; start + 4 <= before.size(); ++start) {
        if (before.u8(start) != 0xFF) continue;
        size_t at = start;
        while (at + 4 <= before.size()) {
            const auto frame = ReadMpegAudioFrame(before.sub(at, 4));
            if (!frame || !SameStream(*frame, like)) break;
            at += frame->bytes;
        }
        if (at == before.size()) return true;
    }
    return false;
}

// MPEG audio that starts with a frame, without a tag before it: an MP3 written without
// ID3v2 tags, or an MP2 stream. Eight frames must follow one another in the next 8 KiB,
// and the sectors before (as many as the longest frame needs) must not lead up to it.
bool BareFramesStart(ByteView s, uint8_t layer, CarvingContext& context) {
    constexpr size_t kFrames = 8;
    constexpr uint32_t kLongestFrameSectors = 3;  // 1,441 bytes, layer III at 320 kbit/s and 32 kHz
    if (s.u8(0) != 0xFF) return false;
    const auto first = ReadMpegAudioFrame(s.sub(0, 4));
    if (!first || first->layer != layer) return false;
    std::vector<uint8_t> bytes;
    const uint32_t sectors = std::max<uint32_t>(1, 8192 / context.sectorSize);
    if (!context.ReadSectorsAt(context.cursor, sectors, bytes) || ChainedFrames(ByteView(bytes), 0, *first, kFrames) < kFrames)
        return false;
    const uint64_t back = std::min<uint64_t>(context.cursor, std::max<uint32_t>(1, kLongestFrameSectors * 512 / context.sectorSize));
    return back == 0 || !context.ReadSectorsAt(context.cursor - back, static_cast<uint32_t>(back), bytes) ||
           !FramesLeadUpTo(ByteView(bytes), *first);
}

constexpr uint8_t kLayerThree = 1, kLayerTwo = 2;

int DetectMp3(ByteView s, CarvingContext& context) {
    if (s.size() < 10) return kNoType;
    if (!s.matches(0, "ID3")) return BareFramesStart(s, kLayerThree, context) ? kMp3 : kNoType;
    if (s.u8(3) == 0xFF || s.u8(4) == 0xFF || (s.u8(5) & 0x1F) != 0) return kNoType;
    for (size_t i = 6; i <= 9; ++i)
        if (s.u8(i) >= 0x80) return kNoType;
    return kMp3;
}
// An ID3v1 tag ("TAG" and 125 bytes) closes the file; the last one seen before the file
// is cut off wins, one per block.
uint64_t Mp3Tag(ByteView, CarvingContext& context) {
    ReadAhead walk(context, 2 * GiB);
    ByteView block;
    std::optional<uint64_t> candidate;
    while (walk.Next(block))
        if (auto at = FindFirst(block, "TAG")) candidate = walk.BlockOffset() + *at + 128;
    const uint64_t counted = walk.CountedBytes();
    return candidate && *candidate <= counted ? *candidate : CountedWithoutEnd(context, walk);
}
// An MP3 file may hold layer II frames too (at 384 kbit/s and 48 kHz each looks like an
// MP2 file's start), so MP2 hits are not foreign to its walk either.
uint64_t Mp3Length(ByteView s, CarvingContext& c) { return WalkOrFallback(WalkMp3, s, c, 2 * GiB, Mp3Tag, kMp2); }

int DetectMidi(ByteView s, CarvingContext&) {
    if (s.size() < 16) return kNoType;
    return s.matches(0, "MThd") && s.be32(4) == 6 && s.matches(14, "MTrk") ? kMid : kNoType;
}
// The header (14 bytes) plus every track chunk, until as many tracks as the header names.
uint64_t MidiTracks(ByteView s, CarvingContext& context) {
    const uint32_t tracks = s.be16(10);
    uint64_t total = 14;
    uint32_t found = 0;
    auto countTracks = [&](ByteView data) {
        size_t from = 0;
        while (found < tracks) {
            auto at = FindFirst(data, "MTrk", from);
            if (!at) break;
            total += uint64_t{data.be32(*at + 4)} + 8;
            ++found;
            from = *at + 4;
        }
    };
    countTracks(s);
    ReadAhead walk(context, 8 * MiB);
    if (found == tracks && total <= walk.CountedBytes()) return total;
    ByteView block;
    while (walk.Next(block)) {
        if (found < tracks) countTracks(block);
        if (found == tracks && total <= walk.CountedBytes()) return total;
    }
    return CountedWithoutEnd(context, walk);
}
uint64_t MidiLength(ByteView s, CarvingContext& c) { return WalkOrFallback(WalkMidi, s, c, 8 * MiB, MidiTracks); }

int DetectApe(ByteView s, CarvingContext&) { return s.size() >= 4 && s.matches(0, "MAC ") ? kApe : kNoType; }
// The APE tag's header and footer both start "APETAGEX" with version 2000; the footer
// (32 bytes) ends the file.
uint64_t ApeLength(ByteView, CarvingContext& context) {
    constexpr std::string_view kTag = "APETAGEX\xD0\x07";
    ReadAhead walk(context, 2 * GiB);
    ByteView block;
    while (walk.Next(block)) {
        auto first = FindFirst(block, kTag);
        if (!first) continue;
        if (auto second = FindFirst(block, kTag, *first + 1)) return walk.BlockOffset() + *second + 32;
        return walk.BlockOffset() + block.size();
    }
    return CountedWithoutEnd(context, walk);
}

int DetectWav(ByteView s, CarvingContext&) {
    if (s.size() < 16) return kNoType;
    return s.matches(0, "RIFF") && s.matches(8, "WAVE") && s.matches(12, "fmt ") ? kWav : kNoType;
}

int DetectMp2(ByteView s, CarvingContext& context) {
    if (s.size() < 4) return kNoType;
    return s.matches(0, Bytes("\xFF\xFD\xE4\x00")) || BareFramesStart(s, kLayerTwo, context) ? kMp2 : kNoType;
}
int DetectMmf(ByteView s, CarvingContext&) { return s.size() >= 4 && s.matches(0, "MMMD") ? kMmf : kNoType; }
uint64_t ShortAudioUntilForeign(ByteView, CarvingContext& c) { return UntilForeign(c, 256 * MiB); }
// Every frame of a stream at 384 kbit/s and 48 kHz looks like an MP2 file's start: such
// sectors are not foreign to the stream (one in four frames starts a sector, so a stream
// would otherwise end after 4.5 KiB), as MPEG pack headers are not to an MPEG file.
uint64_t Mp2UntilForeign(ByteView, CarvingContext& context) { return UntilForeign(context, 256 * MiB, false, kMp2); }
uint64_t Mp2Length(ByteView s, CarvingContext& c) { return WalkOrFallback(WalkMp2, s, c, 256 * MiB, Mp2UntilForeign, kMp2); }

constexpr Anchor kMp3Anchors[] = {{0, 'I'}, {0, 0xFF}};
constexpr Anchor kMAnchors[] = {{0, 'M'}};
constexpr Anchor kWavAnchors[] = {{0, 'R'}};
constexpr Anchor kMp2Anchors[] = {{0, 0xFF}};

}  // namespace

uint64_t RiffLength(ByteView s, CarvingContext& context) {
    if (s.size() < 16) return OneSector(context);
    return uint64_t{s.le32(4)} + 8;
}

const Signature kMp3Signature{"MP3", DetectMp3, Mp3Length, kMp3Anchors};
const Signature kMidiSignature{"MIDI", DetectMidi, MidiLength, kMAnchors};
const Signature kApeSignature{"APE", DetectApe, ApeLength, kMAnchors};
const Signature kWavSignature{"WAV", DetectWav, RiffLength, kWavAnchors};
const Signature kMp2Signature{"MP2", DetectMp2, Mp2Length, kMp2Anchors};
const Signature kMmfSignature{"MMF", DetectMmf, ShortAudioUntilForeign, kMAnchors};

}  // namespace kestrune::carve
