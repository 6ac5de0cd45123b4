// Sound structure walks: MPEG audio frames between their tags, and MIDI chunks.
#include "engines/carve/sound_walks.h"

#include <algorithm>

namespace kestrune::carve {

namespace {

// Bitrates in kbit/s by [table][index]: MPEG-1 layers I, II, III, then MPEG-2 and 2.5
// layer I, and MPEG-2 and 2.5 layers II and III.
constexpr uint16_t kBitrates[5][16] = {
    {0, 32, 64, 96, 128, 160, 192, 224, 256, 288, 320, 352, 384, 416, 448, 0},
    {0, 32, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320, 384, 0},
    {0, 32, 40, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320, 0},
    {0, 32, 48, 56, 64, 80, 96, 112, 128, 144, 160, 176, 192, 224, 256, 0},
    {0, 8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160, 0},
};
constexpr uint32_t kSampleRates[4][3] = {
    {11025, 12000, 8000}, {0, 0, 0}, {22050, 24000, 16000}, {44100, 48000, 32000}};

// Fewer frames than this after the tag are more likely chance than sound: a random
// 4-byte header passes the checks about once in a few thousand tries, four in a row
// that also chain and agree with each other practically never.
constexpr uint32_t kMinFrames = 4;
// How far the tags after the frames may reach before their own end marks.
constexpr uint64_t kApeTagMax = 16 * MiB;
constexpr size_t kLyricsMax = 1 << 20;

// Whether this frame belongs to the same stream as the first: a stream keeps its
// version, layer and sample rate.
bool SameStream(const MpegAudioFrame& a, const MpegAudioFrame& b) {
    return a.version == b.version && a.layer == b.layer && a.sampleRate == b.sampleRate;
}

// Follows frames from `at`; the offset right after the last one, when at least
// kMinFrames of them chain. A frame whose header reads as one but which runs past the
// end of what is at hand still counts: the caller checks that the file reaches its end.
std::optional<uint64_t> WalkFrames(FileReader& file, uint64_t at, std::optional<uint8_t> layer) {
    std::optional<MpegAudioFrame> first;
    uint64_t frames = 0;
    for (;;) {
        const auto frame = ReadMpegAudioFrame(file.Read(at, 4));
        if (!frame || (first && !SameStream(*first, *frame))) break;
        if (!first) {
            if (layer && frame->layer != *layer) return std::nullopt;
            first = frame;
        }
        at += frame->bytes;
        ++frames;
        if ((frames & 0xFFF) == 0 && file.Cancelled()) return std::nullopt;
    }
    if (frames < kMinFrames) return std::nullopt;
    return at;
}

// An APE tag right after the frames: with a header (its size covers the items and the
// footer), or without one, when a footer ahead names a tag that starts here.
std::optional<uint64_t> ApeTagEnd(FileReader& file, uint64_t at) {
    constexpr std::string_view kPreamble = "APETAGEX";
    const ByteView head = file.Read(at, 32);
    if (head.matches(0, kPreamble)) {
        const uint32_t size = head.le32(12), flags = head.le32(20);
        const bool isHeader = (flags & (1u << 29)) != 0;
        if (!isHeader || size < 32 || size > kApeTagMax) return std::nullopt;
        const ByteView footer = file.Read(at + size, 32);  // header 32 + items, footer last
        if (!footer.matches(0, kPreamble) || footer.le32(12) != size) return std::nullopt;
        return at + 32 + size;
    }
    // Items with no header: the first item must look like one (value size, flags with
    // only the defined bits, a printable key) before the footer is looked for ahead.
    if (head.empty() || head.le32(0) > kApeTagMax || (head.le32(4) & ~7u) != 0 || head.u8(8) < 0x20 ||
        head.u8(8) > 0x7E)
        return std::nullopt;
    constexpr size_t kLook = 64 * 1024;
    const ByteView ahead = file.Stream(at, kLook);
    const ByteView window = ahead.sub(0, std::min(ahead.size(), kLook));
    for (size_t from = 0;;) {
        auto found = FindFirst(window, kPreamble, from);
        if (!found) return std::nullopt;
        const ByteView footer = window.sub(*found, 32);
        if (footer.empty()) return std::nullopt;
        const uint32_t size = footer.le32(12), flags = footer.le32(20);
        if (!(flags & (1u << 29)) && size == *found + 32) return at + *found + 32;
        from = *found + 1;
    }
}

// A Lyrics3 block right after the frames: version 1 ends "LYRICSEND", version 2 with a
// six-digit size and "LYRICS200".
std::optional<uint64_t> LyricsEnd(FileReader& file, uint64_t at) {
    if (!file.Read(at, 11).matches(0, "LYRICSBEGIN")) return std::nullopt;
    const ByteView ahead = file.Stream(at, kLyricsMax);
    const ByteView window = ahead.sub(0, std::min(ahead.size(), kLyricsMax));
    if (auto v2 = FindFirst(window, "LYRICS200"); v2 && *v2 >= 6) {
        uint64_t size = 0;
        for (size_t i = *v2 - 6; i < *v2; ++i) {
            const uint8_t c = window.u8(i);
            if (c < '0' || c > '9') return std::nullopt;
            size = size * 10 + (c - '0');
        }
        if (size != *v2 - 6) return std::nullopt;
        return at + *v2 + 9;
    }
    // Version 1 holds at most 5100 bytes of lyrics.
    if (auto v1 = FindFirst(window.sub(0, std::min<size_t>(window.size(), 11 + 5100 + 9)), "LYRICSEND"))
        return at + *v1 + 9;
    return std::nullopt;
}

// The tags that may follow the last frame, in the order writers put them: an APE tag
// or Lyrics3 block, then the 128-byte ID3v1 tag.
uint64_t TrailingTagsEnd(FileReader& file, uint64_t at) {
    if (auto end = ApeTagEnd(file, at)) at = *end;
    else if (auto lyrics = LyricsEnd(file, at)) at = *lyrics;
    if (file.Read(at, 3).matches(0, "TAG") && !file.Read(at, 128).empty()) at += 128;
    return at;
}

// An ID3v2 tag's whole length: the 10-byte header, its syncsafe size and, when the
// flags say so, a 10-byte footer.
std::optional<uint64_t> Id3v2Length(ByteView h) {
    if (!h.matches(0, "ID3") || h.u8(3) == 0xFF || h.u8(4) == 0xFF) return std::nullopt;
    uint64_t size = 0;
    for (size_t i = 6; i < 10; ++i) {
        if (h.u8(i) >= 0x80) return std::nullopt;
        size = (size << 7) | h.u8(i);
    }
    const bool footer = h.u8(3) == 4 && (h.u8(5) & 0x10) != 0;
    return 10 + size + (footer ? 10 : 0);
}

std::optional<uint64_t> WalkMpegAudio(FileReader& file, std::optional<uint8_t> layer) {
    uint64_t at = 0;
    // Several ID3v2 tags may precede the audio (a tagger adding one before another's).
    for (int tags = 0; tags < 4; ++tags) {
        const auto tag = Id3v2Length(file.Read(at, 10));
        if (!tag) break;
        at += *tag;
    }
    // Some taggers leave zero padding after the tag that its size does not cover.
    for (size_t skipped = 0; skipped < 64 * 1024;) {
        const ByteView data = file.Stream(at, 1);
        if (data.empty()) return std::nullopt;
        size_t zeros = 0;
        while (zeros < data.size() && data.u8(zeros) == 0) ++zeros;
        at += zeros;
        skipped += zeros;
        if (zeros < data.size()) break;
    }
    const auto frames = WalkFrames(file, at, layer);
    if (!frames) return std::nullopt;
    return TrailingTagsEnd(file, *frames);
}

}  // namespace

std::optional<MpegAudioFrame> ReadMpegAudioFrame(ByteView h) {
    if (h.size() < 4 || h.u8(0) != 0xFF || (h.u8(1) & 0xE0) != 0xE0) return std::nullopt;
    MpegAudioFrame frame;
    frame.version = (h.u8(1) >> 3) & 3;
    frame.layer = (h.u8(1) >> 1) & 3;
    const uint8_t bitrateIndex = h.u8(2) >> 4, rateIndex = (h.u8(2) >> 2) & 3;
    const uint32_t padding = (h.u8(2) >> 1) & 1;
    if (frame.version == 1 || frame.layer == 0 || bitrateIndex == 0 || bitrateIndex == 15 || rateIndex == 3 ||
        (h.u8(3) & 3) == 2)
        return std::nullopt;
    const bool mpeg1 = frame.version == 3;
    const int table = mpeg1 ? 3 - frame.layer : (frame.layer == 3 ? 3 : 4);
    const uint32_t bitrate = kBitrates[table][bitrateIndex] * 1000u;
    frame.sampleRate = kSampleRates[frame.version][rateIndex];
    if (frame.layer == 3) frame.bytes = (12 * bitrate / frame.sampleRate + padding) * 4;
    else if (frame.layer == 2 || mpeg1) frame.bytes = 144 * bitrate / frame.sampleRate + padding;
    else frame.bytes = 72 * bitrate / frame.sampleRate + padding;  // MPEG-2 and 2.5 layer III
    if (frame.bytes < 4) return std::nullopt;
    return frame;
}

std::optional<uint64_t> WalkMp3(FileReader& file) { return WalkMpegAudio(file, std::nullopt); }

std::optional<uint64_t> WalkMp2(FileReader& file) { return WalkMpegAudio(file, uint8_t{2}); }

std::optional<uint64_t> WalkMidi(FileReader& file) {
    const ByteView h = file.Read(0, 14);
    if (!h.matches(0, "MThd")) return std::nullopt;
    const uint32_t headerLength = h.be32(4);
    const uint32_t tracks = h.be16(10);
    if (headerLength < 6 || headerLength > 64 || tracks == 0) return std::nullopt;
    uint64_t at = 8 + uint64_t{headerLength};
    uint32_t found = 0;
    // Chunks of other kinds may sit between the tracks; readers skip them, and so does
    // the walk, a few of them at most.
    for (uint32_t others = 0; found < tracks;) {
        const ByteView chunk = file.Read(at, 8);
        if (chunk.empty()) return std::nullopt;
        for (size_t i = 0; i < 4; ++i)
            if (chunk.u8(i) < 0x20 || chunk.u8(i) > 0x7E) return std::nullopt;
        if (chunk.matches(0, "MTrk")) ++found;
        else if (++others > 16) return std::nullopt;
        at += 8 + uint64_t{chunk.be32(4)};
    }
    return at;
}

}  // namespace kestrune::carve
