// Walks that find where a sound file ends from its own structure: MPEG audio frames
// (after an ID3v2 tag, before APE, Lyrics3 and ID3v1 tags) and MIDI chunks. Each answers
// the exact length, or nothing when the structure cannot be followed.
#pragma once

#include "engines/carve/file_reader.h"

namespace kestrune::carve {

// An MP3 file: its ID3v2 tag, its frames of any MPEG version and layer, and the tags
// that follow the last frame.
std::optional<uint64_t> WalkMp3(FileReader& file);
// An MP2 stream: layer II frames from the first byte, and the tags after them.
std::optional<uint64_t> WalkMp2(FileReader& file);
// A standard MIDI file: the header chunk and as many track chunks as it names.
std::optional<uint64_t> WalkMidi(FileReader& file);

// The facts of a 4-byte MPEG audio frame header; nothing when it is not one (reserved
// values, or a free-format bitrate whose frames have no stated length).
struct MpegAudioFrame {
    uint8_t version = 0;  // 3 MPEG-1, 2 MPEG-2, 0 MPEG-2.5
    uint8_t layer = 0;    // 3 layer I, 2 layer II, 1 layer III
    uint32_t sampleRate = 0;
    uint32_t bytes = 0;   // the whole frame, header and padding included
};
std::optional<MpegAudioFrame> ReadMpegAudioFrame(ByteView header);

}  // namespace kestrune::carve
