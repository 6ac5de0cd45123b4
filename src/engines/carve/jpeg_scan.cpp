#include "engines/carve/jpeg_scan.h"

#include <algorithm>
#include <cstdlib>

namespace kestrune::carve {

namespace {

constexpr uint8_t kStartOfImage = 0xD8, kEndOfImage = 0xD9, kStartOfScan = 0xDA;
constexpr uint8_t kHuffmanTables = 0xC4, kQuantizationTables = 0xDB, kRestartInterval = 0xDD;

bool BuildTable(ByteView counts, ByteView values, JpegHuffmanTable& table) {
    int32_t code = 0, index = 0;
    table.maxCode.fill(-1);
    for (int length = 1; length <= 16; ++length) {
        const int32_t count = counts.u8(static_cast<size_t>(length - 1));
        table.valueIndex[length] = index;
        table.minCode[length] = code;
        code += count;
        index += count;
        // More codes of a length than the length can spell: not a table any encoder made.
        if (code > (int32_t{1} << length)) return false;
        if (count) table.maxCode[length] = code - 1;
        code <<= 1;
    }
    table.maxCode[17] = INT32_MAX;  // the decode loop stops here
    if (static_cast<size_t>(index) != values.size()) return false;
    std::copy(values.data(), values.data() + values.size(), table.values.begin());
    table.defined = true;
    return true;
}

bool ReadHuffmanSegment(ByteView segment, JpegScanHeader& out) {
    for (size_t at = 0; at < segment.size();) {
        const uint8_t classAndId = segment.u8(at);
        const ByteView counts = segment.sub(at + 1, 16);
        if (counts.empty() || (classAndId >> 4) > 1 || (classAndId & 15) > 3) return false;
        size_t total = 0;
        for (size_t i = 0; i < 16; ++i) total += counts.u8(i);
        const ByteView values = segment.sub(at + 17, total);
        if (total > 256 || values.size() != total) return false;
        auto& tables = (classAndId >> 4) ? out.acTables : out.dcTables;
        if (!BuildTable(counts, values, tables[classAndId & 15])) return false;
        at += 17 + total;
    }
    return true;
}

bool ReadQuantizationSegment(ByteView segment, std::array<uint16_t, 4>& firstEntries) {
    for (size_t at = 0; at < segment.size();) {
        const uint8_t precisionAndId = segment.u8(at);
        const bool wide = (precisionAndId >> 4) == 1;
        if ((precisionAndId >> 4) > 1 || (precisionAndId & 15) > 3 || !segment.has(at + 1, wide ? 128 : 64))
            return false;
        const uint16_t first = wide ? segment.be16(at + 1) : segment.u8(at + 1);
        firstEntries[precisionAndId & 15] = first ? first : 1;
        at += 1 + (wide ? 128 : 64);
    }
    return true;
}

struct FrameComponent {
    uint8_t id, horizontal, vertical, quantizer;
};

// The frame header of a sequential Huffman picture (SOF0 or SOF1).
bool ReadFrame(ByteView segment, JpegScanHeader& out, std::vector<FrameComponent>& components, uint32_t& width,
               uint32_t& height) {
    out.precision = segment.u8(0);
    height = segment.be16(1);
    width = segment.be16(3);
    const size_t count = segment.u8(5);
    if ((out.precision != 8 && out.precision != 12) || width == 0 || height == 0 || count == 0 || count > 4 ||
        !segment.has(6, count * 3))
        return false;
    for (size_t i = 0; i < count; ++i) {
        const uint8_t sampling = segment.u8(7 + 3 * i);
        const FrameComponent c{segment.u8(6 + 3 * i), static_cast<uint8_t>(sampling >> 4),
                               static_cast<uint8_t>(sampling & 15), segment.u8(8 + 3 * i)};
        if (c.horizontal < 1 || c.horizontal > 4 || c.vertical < 1 || c.vertical > 4 || c.quantizer > 3) return false;
        components.push_back(c);
    }
    return true;
}

// The scan header: one scan holding every component of the frame, in order of blocks.
bool ReadScan(ByteView segment, const std::vector<FrameComponent>& frame, const std::array<uint16_t, 4>& quantizers,
              uint32_t width, uint32_t height, JpegScanHeader& out) {
    const size_t count = segment.u8(0);
    if (count != frame.size() || !segment.has(1, count * 2 + 3)) return false;
    // Spectral selection 0..63 and no successive approximation: a sequential scan.
    if (segment.u8(1 + count * 2) != 0 || segment.u8(2 + count * 2) != 63 || segment.u8(3 + count * 2) != 0)
        return false;
    uint8_t maxH = 1, maxV = 1;
    for (const FrameComponent& c : frame) {
        maxH = std::max(maxH, c.horizontal);
        maxV = std::max(maxV, c.vertical);
    }
    for (size_t i = 0; i < count; ++i) {
        const uint8_t id = segment.u8(1 + 2 * i), tables = segment.u8(2 + 2 * i);
        const auto c = std::find_if(frame.begin(), frame.end(), [id](const FrameComponent& f) { return f.id == id; });
        if (c == frame.end() || (tables >> 4) > 3 || (tables & 15) > 3 || !out.dcTables[tables >> 4].defined ||
            !out.acTables[tables & 15].defined)
            return false;
        JpegScanComponent component;
        // A scan of one component is not interleaved: each of its blocks is an MCU.
        component.horizontal = count == 1 ? 1 : c->horizontal;
        component.vertical = count == 1 ? 1 : c->vertical;
        component.dcQuantizer = quantizers[c->quantizer];
        component.dcTable = static_cast<uint8_t>(tables >> 4);
        component.acTable = static_cast<uint8_t>(tables & 15);
        out.components.push_back(component);
        for (int b = 0; b < component.horizontal * component.vertical; ++b)
            out.blockComponents.push_back(static_cast<uint8_t>(i));
    }
    const uint64_t across = count == 1 ? (width + 7) / 8 : (width + 8u * maxH - 1) / (8u * maxH);
    const uint64_t down = count == 1 ? (height + 7) / 8 : (height + 8u * maxV - 1) / (8u * maxV);
    out.mcuCount = across * down;
    return out.blockComponents.size() <= 10;  // the standard's limit on blocks per MCU
}

}  // namespace

bool ReadJpegScanHeader(ByteView start, JpegScanHeader& out) {
    out = {};
    if (start.u8(0) != 0xFF || start.u8(1) != kStartOfImage) return false;
    std::array<uint16_t, 4> quantizers{1, 1, 1, 1};
    std::vector<FrameComponent> frame;
    uint32_t width = 0, height = 0;
    for (size_t at = 2;;) {
        if (start.u8(at) != 0xFF) return false;
        const uint8_t marker = start.u8(at + 1);
        if (marker == 0xFF) {  // fill byte
            ++at;
            continue;
        }
        const uint16_t length = start.be16(at + 2);
        const ByteView segment = start.sub(at + 4, length >= 2 ? length - 2u : 0);
        if (length < 2 || !start.has(at + 2, length)) return false;
        at += 2 + length;
        if (marker == 0xC0 || marker == 0xC1) {
            if (!frame.empty() || !ReadFrame(segment, out, frame, width, height)) return false;
        } else if ((marker >= 0xC2 && marker <= 0xCF && marker != kHuffmanTables && marker != 0xC8 &&
                    marker != 0xCC) ||
                   marker == kStartOfImage || marker == kEndOfImage || (marker >= 0xD0 && marker <= 0xD7)) {
            return false;  // progressive, lossless or arithmetic-coded, or lost its way
        } else if (marker == kHuffmanTables) {
            if (!ReadHuffmanSegment(segment, out)) return false;
        } else if (marker == kQuantizationTables) {
            if (!ReadQuantizationSegment(segment, quantizers)) return false;
        } else if (marker == kRestartInterval) {
            out.restartInterval = segment.be16(0);
        } else if (marker == kStartOfScan) {
            if (frame.empty() || !ReadScan(segment, frame, quantizers, width, height, out)) return false;
            out.dataStart = at;
            return true;
        }
    }
}

JpegScanDecoder::JpegScanDecoder(const JpegScanHeader& header) : header_(&header), position_(header.dataStart) {}

int JpegScanDecoder::Bit(const ByteAt& byteAt) {
    if (bitsLeft_ == 0) {
        const int byte = byteAt(position_);
        if (byte < 0) {
            starved_ = true;
            return -1;
        }
        if (byte == 0xFF) {
            // Inside the data an FF is always followed by a stuffed 00; anything else is a
            // marker where a block still needed bits.
            const int next = byteAt(position_ + 1);
            if (next < 0) {
                starved_ = true;
                return -1;
            }
            if (next != 0) {
                markerHit_ = true;
                return -1;
            }
            position_ += 2;
        } else {
            ++position_;
        }
        bitBuffer_ = static_cast<uint32_t>(byte);
        bitsLeft_ = 8;
    }
    return static_cast<int>((bitBuffer_ >> --bitsLeft_) & 1);
}

int JpegScanDecoder::Bits(const ByteAt& byteAt, int count) {
    int value = 0;
    for (int i = 0; i < count; ++i) {
        const int bit = Bit(byteAt);
        if (bit < 0) return -1;
        value = (value << 1) | bit;
    }
    return value;
}

int JpegScanDecoder::Decode(const ByteAt& byteAt, const JpegHuffmanTable& table) {
    int32_t code = Bit(byteAt);
    int length = 1;
    for (; code >= 0 && code > table.maxCode[length]; ++length) {
        if (length == 16) return -1;  // no code of any length: not this table's data
        const int bit = Bit(byteAt);
        if (bit < 0) return -1;
        code = (code << 1) | bit;
    }
    if (code < 0) return -1;
    return table.values[static_cast<size_t>(table.valueIndex[length] + code - table.minCode[length]) & 255];
}

bool JpegScanDecoder::DecodeBlock(const ByteAt& byteAt, int componentIndex) {
    const JpegScanComponent& component = header_->components[static_cast<size_t>(componentIndex)];
    const int widest = header_->precision == 8 ? 11 : 15;
    const int category = Decode(byteAt, header_->dcTables[component.dcTable]);
    if (category < 0 || category > widest) return false;
    int32_t difference = 0;
    if (category) {
        difference = Bits(byteAt, category);
        if (difference < 0) return false;
        if (difference < (1 << (category - 1))) difference -= (1 << category) - 1;
    }
    // The mean of a block is at most the sample range: 8 times the largest sample, and
    // the quantizer rounds it by at most one step.
    int32_t& dc = dcPrediction_[static_cast<size_t>(componentIndex)];
    dc += difference;
    const int64_t range = (header_->precision == 8 ? 1024 : 16384) + int64_t{component.dcQuantizer};
    if (std::llabs(int64_t{dc} * component.dcQuantizer) > range) return false;
    const JpegHuffmanTable& ac = header_->acTables[component.acTable];
    for (int k = 1; k < 64;) {
        const int symbol = Decode(byteAt, ac);
        if (symbol < 0) return false;
        const int run = symbol >> 4, size = symbol & 15;
        if (size == 0) {
            if (run != 15) break;  // the rest of the block is zero
            k += 16;
            continue;
        }
        k += run;
        if (k > 63 || size > widest - 1 || Bits(byteAt, size) < 0) return false;
        ++k;
    }
    return true;
}

bool JpegScanDecoder::PaddingIsOnes() {
    const uint32_t mask = (1u << bitsLeft_) - 1;
    const bool ones = (bitBuffer_ & mask) == mask;
    bitsLeft_ = 0;
    return ones;
}

int JpegScanDecoder::ReadMarker(const ByteAt& byteAt) {
    if (byteAt(position_) != 0xFF) return -1;
    uint64_t at = position_ + 1;
    int marker = byteAt(at);
    for (int fill = 0; marker == 0xFF && fill < 64; ++fill) marker = byteAt(++at);
    if (marker < 0) {
        starved_ = true;
        return -1;
    }
    position_ = at + 1;
    return marker;
}

JpegScanDecoder::Outcome JpegScanDecoder::AfterMcu(const ByteAt& byteAt) {
    ++mcusDone_;
    if (mcusDone_ == header_->mcuCount) {
        if (!PaddingIsOnes()) return Outcome::Broken;
        const int marker = ReadMarker(byteAt);
        if (marker != kEndOfImage) return starved_ ? Outcome::Starved : Outcome::Broken;
        end_ = position_;
        return Outcome::Ended;
    }
    if (header_->restartInterval && mcusDone_ % header_->restartInterval == 0) {
        if (!PaddingIsOnes()) return Outcome::Broken;
        const int marker = ReadMarker(byteAt);
        if (marker != 0xD0 + static_cast<int>(restartsDone_ % 8)) return starved_ ? Outcome::Starved : Outcome::Broken;
        ++restartsDone_;
        dcPrediction_.fill(0);
    }
    return Outcome::Going;
}

JpegScanDecoder::Outcome JpegScanDecoder::Run(const ByteAt& byteAt, uint64_t stopAt) {
    if (end_) return Outcome::Ended;
    const std::vector<uint8_t>& blocks = header_->blockComponents;
    while (position_ < stopAt) {
        if (mcusDone_ >= header_->mcuCount) return Outcome::Broken;
        for (uint8_t component : blocks)
            if (!DecodeBlock(byteAt, component)) return starved_ ? Outcome::Starved : Outcome::Broken;
        const Outcome outcome = AfterMcu(byteAt);
        if (outcome != Outcome::Going) return outcome;
    }
    return Outcome::Going;
}

bool TailFitsPicture(uint64_t end, uint64_t size, const JpegScanDecoder::ByteAt& byteAt) {
    if (end > size) return false;
    if (end == size) return true;
    // A second picture, a film (ftyp at 4) or Samsung's trailer (SEFT at the very end).
    if (byteAt(end) == 0xFF && byteAt(end + 1) == 0xD8) return true;
    if (size - end >= 8 && byteAt(end + 4) == 'f' && byteAt(end + 5) == 't' && byteAt(end + 6) == 'y' &&
        byteAt(end + 7) == 'p')
        return true;
    if (size - end >= 4 && byteAt(size - 4) == 'S' && byteAt(size - 3) == 'E' && byteAt(size - 2) == 'F' &&
        byteAt(size - 1) == 'T')
        return true;
    // Fill: zeros or ones to the end.
    const int first = byteAt(end);
    if (first != 0x00 && first != 0xFF) return false;
    for (uint64_t at = end + 1; at < size; ++at)
        if (byteAt(at) != first) return false;
    return true;
}

JpegCheck CheckJpegToEnd(ByteView file, uint64_t size) {
    JpegScanHeader header;
    if (!ReadJpegScanHeader(file, header)) return JpegCheck::NotDecodable;
    JpegScanDecoder decoder(header);
    const auto byteAt = [&file](uint64_t at) { return at < file.size() ? int{file.u8(static_cast<size_t>(at))} : -1; };
    // Other bytes after the picture are another file's: a smaller photo written over this
    // one ends the same way.
    return decoder.Run(byteAt, UINT64_MAX) == JpegScanDecoder::Outcome::Ended &&
                   TailFitsPicture(decoder.EndOffset(), std::min<uint64_t>(size, file.size()), byteAt)
               ? JpegCheck::Holds
               : JpegCheck::Broken;
}

}  // namespace kestrune::carve
