// Plain text: notes, tables, logs, source. Text has no signature; a sector is taken for
// the start of a text file when every byte of it is text, or its text ends in zero
// padding (the end of a file shorter than a sector). It is tried after every type that
// has a signature, and a walk of another type never stops at a sector that only looks
// like text (the uncompressed parts of a PDF, say).
#include "engines/carve/detectors.h"
#include "engines/carve/length_rules.h"

#include <array>

namespace kestrune::carve {

namespace {

// Files of text larger than this are logs or dumps cut from the middle of something.
constexpr uint64_t kTextMax = 64 * MiB;
// A sector of fewer text bytes is more likely a stray name or number than a file.
constexpr size_t kShortestText = 8;

// Bytes that may stand in text: the layout controls and every byte from the space on
// but DEL (UTF-8 and the 8-bit code pages both use the upper half).
constexpr bool IsTextByte(uint8_t c) {
    return c == '\t' || c == '\n' || c == '\r' || c == '\f' || (c >= 0x20 && c != 0x7F);
}
// The same as a table: every sector of a deep pass that starts with such a byte is run
// through it.
constexpr std::array<bool, 256> kTextBytes = [] {
    std::array<bool, 256> table{};
    for (unsigned c = 0; c < 256; ++c) table[c] = IsTextByte(static_cast<uint8_t>(c));
    return table;
}();

// How the text of bytes ends: the count of text bytes before the first byte that is not
// text, and whether that byte starts zero padding to the end of bytes.
struct TextRun {
    size_t length = 0;
    bool paddedEnd = false;
};
TextRun RunOfText(ByteView bytes) {
    TextRun run;
    const uint8_t* data = bytes.data();
    while (run.length < bytes.size() && kTextBytes[data[run.length]]) ++run.length;
    run.paddedEnd = run.length < bytes.size() && bytes.all(run.length, bytes.size() - run.length, 0);
    return run;
}

int DetectText(ByteView s, CarvingContext&) {
    const TextRun run = RunOfText(s);
    if (run.length == s.size()) return kTxt;
    return run.paddedEnd && run.length >= kShortestText ? kTxt : kNoType;
}

uint64_t TextLength(ByteView s, CarvingContext& c) {
    const TextRun first = RunOfText(s);
    if (first.length < s.size()) return first.length;
    ReadAhead walk(c, kTextMax);
    ByteView block;
    while (walk.Next(block)) {
        const TextRun run = RunOfText(block);
        if (run.length == block.size()) continue;
        // Text ends in zero padding within its sector; anything else there belongs to
        // something written over the rest of the file, which ends before that sector.
        const size_t sectorStart = run.length / c.sectorSize * c.sectorSize;
        const size_t sectorEnd = std::min(block.size(), sectorStart + c.sectorSize);
        if (block.all(run.length, sectorEnd - run.length, 0)) return walk.BlockOffset() + run.length;
        c.endConfirmed = false;
        return walk.BlockOffset() + sectorStart;
    }
    // Text to the end of the walk: a foreign sector, a failed read or the size limit.
    return CountedWithoutEnd(c, walk);
}

constexpr std::array<Anchor, 256 - 0x20 - 1 + 4> TextAnchors() {
    std::array<Anchor, 256 - 0x20 - 1 + 4> anchors{};
    size_t n = 0;
    for (uint8_t c : {uint8_t{'\t'}, uint8_t{'\n'}, uint8_t{'\r'}, uint8_t{'\f'}}) anchors[n++] = {0, c};
    for (unsigned c = 0x20; c < 256; ++c)
        if (c != 0x7F) anchors[n++] = {0, static_cast<uint8_t>(c)};
    return anchors;
}
constexpr auto kTextAnchors = TextAnchors();

}  // namespace

const Signature kTextSignature{"text", DetectText, TextLength, kTextAnchors};

}  // namespace kestrune::carve
