// The compressed picture data of a JPEG, decoded far enough to tell whether bytes read
// from a disk hold the picture its header describes: every block's codes valid, every
// restart marker in its place and in turn, every DC value inside the range a pixel can
// give, and the end marker right after the last block. A wrong cluster in the middle of
// a photo (another photo's data, zeros, a document) breaks one of these within a few
// hundred bytes, where a walk of the markers alone would run on to the next end marker.
//
// Only pictures of one sequential Huffman scan are decoded (what cameras and most
// programs write); progressive and arithmetic-coded ones are not, and say so.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <vector>

#include "disk/byte_view.h"

namespace kestrune::carve {

struct JpegHuffmanTable {
    bool defined = false;
    std::array<int32_t, 18> maxCode{};    // by code length 1..16; -1 where no code has that length
    std::array<int32_t, 17> valueIndex{};  // values[valueIndex[n] + code - minCode[n]]
    std::array<int32_t, 17> minCode{};
    std::array<uint8_t, 256> values{};
};

struct JpegScanComponent {
    uint8_t horizontal = 1, vertical = 1;  // sampling factors
    uint16_t dcQuantizer = 1;              // the first entry of its quantization table
    uint8_t dcTable = 0, acTable = 0;
};

// What the segments before the picture data say.
struct JpegScanHeader {
    std::vector<JpegScanComponent> components;  // in the scan's order
    std::vector<uint8_t> blockComponents;         // the component of each block of an MCU
    std::array<JpegHuffmanTable, 4> dcTables, acTables;
    uint64_t mcuCount = 0;
    uint32_t restartInterval = 0;  // MCUs between restart markers; 0 for none
    int precision = 8;
    uint64_t dataStart = 0;  // offset of the first byte of picture data
};

// Reads the header of a JPEG from its first bytes (they must reach the start of its
// picture data). False for a damaged header or one this decoder does not follow.
bool ReadJpegScanHeader(ByteView start, JpegScanHeader& out);

// A decoder that stands between two blocks and can be copied there, so that the same
// picture can be tried on along different bytes from one point.
class JpegScanDecoder {
public:
    enum class Outcome {
        Going,     // reached the offset asked for, between two blocks
        Broken,    // the bytes are not this picture's data
        Ended,     // the last block and the end marker were read
        Starved,   // the bytes ran out inside a block
    };
    // The byte at a file offset, or -1 past what is at hand.
    using ByteAt = std::function<int(uint64_t offset)>;

    explicit JpegScanDecoder(const JpegScanHeader& header);

    // Decodes block after block until the next one would begin at or past stopAt, or
    // the picture ends or breaks.
    Outcome Run(const ByteAt& byteAt, uint64_t stopAt);
    // The next byte the decoder reads; bytes before it are all it has used.
    uint64_t Position() const { return position_; }
    // Past the end marker, once Ended.
    uint64_t EndOffset() const { return end_; }

private:
    bool DecodeBlock(const ByteAt& byteAt, int component);
    // Between MCUs: a restart marker when one is due; the end marker after the last.
    Outcome AfterMcu(const ByteAt& byteAt);
    int Bit(const ByteAt& byteAt);
    int Bits(const ByteAt& byteAt, int count);
    int Decode(const ByteAt& byteAt, const JpegHuffmanTable& table);
    // Drops the bits left in the last byte read: the encoder filled them with ones.
    bool PaddingIsOnes();
    // The marker at position_ (after any fill bytes): its second byte, or -1.
    int ReadMarker(const ByteAt& byteAt);

    const JpegScanHeader* header_;
    uint64_t position_;
    uint64_t end_ = 0;
    uint32_t bitBuffer_ = 0;
    int bitsLeft_ = 0;
    bool starved_ = false, markerHit_ = false;
    uint64_t mcusDone_ = 0;
    uint32_t restartsDone_ = 0;
    std::array<int32_t, 4> dcPrediction_{};
};

// Whether what follows a picture's end marker up to the file's size may belong to it:
// nothing, fill (zeros or ones), or a trailer phones and cameras append (a second
// picture, a film, Samsung's maker data).
bool TailFitsPicture(uint64_t end, uint64_t size, const JpegScanDecoder::ByteAt& byteAt);

// Whether the file's bytes (read along the layout being tested) decode as one picture
// whose end marker lies within its size, followed by nothing, fill or a trailer phones
// and cameras append.
enum class JpegCheck { Holds, Broken, NotDecodable };
JpegCheck CheckJpegToEnd(ByteView file, uint64_t size);

}  // namespace kestrune::carve
