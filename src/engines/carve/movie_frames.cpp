#include "engines/carve/movie_frames.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <string>

#include "engines/carve/video_walks.h"
#include "scanlog/file_types.h"

namespace kestrune::carve {

namespace {

// No real movie has more frames or top-level atoms than this; damaged tables that claim
// more stop here instead of filling memory.
constexpr size_t kMostFrames = size_t{1} << 22;
constexpr size_t kMostTopAtoms = size_t{1} << 16;
// A visual sample entry's fixed fields, after its 8-byte header; its own atoms follow.
constexpr size_t kVisualEntryFields = 78;

std::string TypeText(uint32_t type) {
    return {char(type >> 24), char(type >> 16 & 0xFF), char(type >> 8 & 0xFF), char(type & 0xFF)};
}

// Calls visit(type, body) for each atom in a container's body, in order, until visit
// returns false; false when the atoms do not fit the body.
template <class Visit>
bool ForEachAtom(ByteView body, Visit visit) {
    size_t at = 0;
    while (body.has(at, 8)) {
        uint64_t size = body.be32(at);
        size_t header = 8;
        if (size == 1) {
            if (!body.has(at + 8, 8)) return false;
            size = body.be64(at + 8);
            header = 16;
        } else if (size == 0) {
            size = body.size() - at;  // to the end of its container
        }
        if (size < header || size > body.size() - at) return false;
        if (!visit(body.be32(at + 4), body.sub(at + header, static_cast<size_t>(size) - header))) return true;
        at += static_cast<size_t>(size);
    }
    return true;
}

// The body of the first atom of this type in a container's body; empty when none.
ByteView Child(ByteView body, uint32_t type) {
    ByteView found;
    ForEachAtom(body, [&](uint32_t t, ByteView inner) {
        if (t != type) return true;
        found = inner;
        return false;
    });
    return found;
}

// Whether the atoms of a track fit each other down to its sample tables: other bytes in
// its place hardly ever chain their sizes so far.
bool TrackFits(ByteView trak) {
    ByteView level = trak;
    for (const uint32_t container : {AtomType("mdia"), AtomType("minf"), AtomType("stbl")}) {
        if (!ForEachAtom(level, [](uint32_t, ByteView) { return true; })) return false;
        level = Child(level, container);
        if (level.empty()) return false;
    }
    return ForEachAtom(level, [](uint32_t, ByteView) { return true; });
}

// The coding of a track's first sample description, when its frames can be checked.
std::optional<VideoTrack> TrackCoding(ByteView stsd) {
    if (stsd.be32(4) == 0 || !stsd.has(8, 8)) return std::nullopt;
    const ByteView entry = stsd.sub(8, stsd.be32(8));
    if (entry.size() < 8 + kVisualEntryFields) return std::nullopt;
    const uint32_t format = entry.be32(4);
    const ByteView atoms = entry.from(8 + kVisualEntryFields);
    VideoTrack track;
    if (format == AtomType("avc1") || format == AtomType("avc3")) {
        const ByteView config = Child(atoms, AtomType("avcC"));
        if (!config.has(4, 1)) return std::nullopt;
        track.coding = FrameCoding::Avc;
        track.lengthBytes = static_cast<uint8_t>((config.u8(4) & 3) + 1);
    } else if (format == AtomType("hvc1") || format == AtomType("hev1")) {
        const ByteView config = Child(atoms, AtomType("hvcC"));
        if (!config.has(21, 1)) return std::nullopt;
        track.coding = FrameCoding::Hevc;
        track.lengthBytes = static_cast<uint8_t>((config.u8(21) & 3) + 1);
    } else if (format == AtomType("mp4v")) {
        track.coding = FrameCoding::StartCode;
    } else if (format == AtomType("jpeg") || format == AtomType("mjpa")) {
        track.coding = FrameCoding::Jpeg;
    } else {
        return std::nullopt;
    }
    if (track.lengthBytes == 3) return std::nullopt;  // the formats allow 1, 2 or 4
    return track;
}

// The frames of one video track, from its sample tables; false when they disagree with
// each other or with the file.
bool AddTrackFrames(ByteView stbl, uint8_t track, uint64_t fileSize, std::vector<MovieFrame>& frames) {
    const ByteView sizes = Child(stbl, AtomType("stsz"));
    const ByteView toChunk = Child(stbl, AtomType("stsc"));
    ByteView offsets = Child(stbl, AtomType("stco"));
    size_t offsetBytes = 4;
    if (offsets.empty()) {
        offsets = Child(stbl, AtomType("co64"));
        offsetBytes = 8;
    }
    if (!sizes.has(0, 12) || !toChunk.has(0, 8) || !offsets.has(0, 8)) return false;
    const uint32_t fixedSize = sizes.be32(4);
    const uint64_t sampleCount = sizes.be32(8);
    const uint64_t chunkCount = offsets.be32(4);
    const uint64_t runCount = toChunk.be32(4);
    if ((fixedSize == 0 && !sizes.has(12, sampleCount * 4)) || !offsets.has(8, chunkCount * offsetBytes) ||
        !toChunk.has(8, runCount * 12) || runCount == 0 || toChunk.be32(8) != 1)
        return false;
    uint64_t sample = 0;
    size_t run = 0;
    for (uint64_t chunk = 1; chunk <= chunkCount && sample < sampleCount; ++chunk) {
        while (run + 1 < runCount && toChunk.be32(8 + (run + 1) * 12) <= chunk) ++run;
        const size_t entry = 8 + run * 12;
        // Frames described by a later sample description are coded some other way.
        if (toChunk.be32(entry + 8) != 1) return false;
        const uint32_t perChunk = toChunk.be32(entry + 4);
        uint64_t at = offsetBytes == 4 ? offsets.be32(8 + (chunk - 1) * 4) : offsets.be64(8 + (chunk - 1) * 8);
        for (uint32_t k = 0; k < perChunk && sample < sampleCount; ++k, ++sample) {
            const uint32_t size = fixedSize ? fixedSize : sizes.be32(12 + sample * 4);
            if (size > fileSize || at > fileSize - size) return false;
            if (size > 0) frames.push_back({at, size, track});
            if (frames.size() > kMostFrames) return false;
            at += size;
        }
    }
    return true;
}

// A NAL unit's bytes: its coder escapes every 00 00 followed by 00 to 03 with a 03, and
// its last byte holds the stop bit.
bool UnitIsEscaped(ByteView unit) {
    if (unit.empty() || unit.u8(unit.size() - 1) == 0) return false;
    const uint8_t* data = unit.data();
    for (size_t at = 0; at + 2 < unit.size(); ++at) {
        const void* zero = std::memchr(data + at, 0, unit.size() - 2 - at);
        if (!zero) break;
        at = static_cast<size_t>(static_cast<const uint8_t*>(zero) - data);
        if (data[at + 1] == 0 && data[at + 2] <= 2) return false;
    }
    return true;
}

}  // namespace

std::vector<TopAtom> TopAtoms(const MovieBytes& bytes, uint64_t fileSize, bool& complete, uint64_t from) {
    complete = false;
    std::vector<TopAtom> atoms;
    for (uint64_t at = from; at + 8 <= fileSize && atoms.size() < kMostTopAtoms;) {
        const ByteView header = bytes(at, 8);
        if (header.size() < 8) break;
        TopAtom atom{at, header.be32(0), header.be32(4)};
        if (!IsTopLevelAtom(TypeText(atom.type))) break;
        uint64_t headerBytes = 8;
        if (atom.size == 1) {
            const ByteView large = bytes(at + 8, 8);
            if (large.size() < 8) break;
            atom.size = large.be64(0);
            headerBytes = 16;
        } else if (atom.size == 0) {
            atom.size = fileSize - at;
        }
        if (atom.size < headerBytes || atom.size > fileSize - at) break;
        atoms.push_back(atom);
        at += atom.size;
        complete = at == fileSize;
    }
    return atoms;
}

std::optional<MovieFrames> ReadMovieFrames(ByteView movieAtom, uint64_t fileSize) {
    ByteView movie;
    ForEachAtom(movieAtom, [&](uint32_t type, ByteView body) {
        if (type == AtomType("moov")) movie = body;
        return false;
    });
    if (movie.empty()) return std::nullopt;
    MovieFrames out;
    // Every atom of the movie must fit it: a movie atom read partly from other bytes
    // (a piece of the file ends inside it) is not the file's, though a track whole
    // before that point would read.
    bool consistent = true;
    const bool fits = ForEachAtom(movie, [&](uint32_t type, ByteView trak) {
        if (type != AtomType("trak")) return true;
        if (!TrackFits(trak)) return consistent = false;
        const ByteView media = Child(trak, AtomType("mdia"));
        const ByteView handler = Child(media, AtomType("hdlr"));
        if (!handler.has(8, 4) || handler.be32(8) != AtomType("vide")) return true;
        const ByteView tables = Child(Child(media, AtomType("minf")), AtomType("stbl"));
        const std::optional<VideoTrack> coding = TrackCoding(Child(tables, AtomType("stsd")));
        if (!coding || out.tracks.size() == UINT8_MAX) return true;
        consistent = AddTrackFrames(tables, static_cast<uint8_t>(out.tracks.size()), fileSize, out.frames);
        out.tracks.push_back(*coding);
        return consistent;
    });
    if (!fits || !consistent || out.frames.empty()) return std::nullopt;
    std::stable_sort(out.frames.begin(), out.frames.end(),
                     [](const MovieFrame& a, const MovieFrame& b) { return a.offset < b.offset; });
    return out;
}

bool FrameHolds(const MovieBytes& bytes, const MovieFrame& frame, const VideoTrack& track, bool wholeUnits) {
    switch (track.coding) {
    case FrameCoding::StartCode: {
        // A video object plane, or the headers that come before a key frame's.
        const ByteView head = bytes(frame.offset, 4);
        return frame.size >= 4 && head.size() == 4 && head.matches(0, std::string_view("\0\0\1", 3)) &&
               (head.u8(3) <= 0x2F || (head.u8(3) >= 0xB0 && head.u8(3) <= 0xB6));
    }
    case FrameCoding::Jpeg: {
        const ByteView head = bytes(frame.offset, 3);
        return frame.size >= 3 && head.matches(0, "\xFF\xD8\xFF");
    }
    case FrameCoding::Avc:
    case FrameCoding::Hevc: break;
    }
    const bool hevc = track.coding == FrameCoding::Hevc;
    const uint64_t lengthBytes = track.lengthBytes;
    const uint64_t headerBytes = hevc ? 2 : 1;
    uint64_t at = 0;
    while (at < frame.size) {
        if (frame.size - at < lengthBytes + headerBytes) return false;
        const ByteView unit = bytes(frame.offset + at, lengthBytes + headerBytes);
        if (unit.size() < lengthBytes + headerBytes) return false;
        const uint64_t length = unit.be(0, lengthBytes);
        if (length < headerBytes || length > frame.size - at - lengthBytes) return false;
        const uint8_t first = unit.u8(lengthBytes);
        if (first & 0x80) return false;  // the forbidden bit
        if (hevc) {
            // Types past 40 are reserved or unspecified; a temporal layer is numbered from 1.
            if ((first >> 1 & 0x3F) > 40 || (unit.u8(lengthBytes + 1) & 7) == 0) return false;
        } else if ((first & 0x1F) == 0 || (first & 0x1F) > 23) {
            return false;
        }
        if (wholeUnits && !UnitIsEscaped(bytes(frame.offset + at + lengthBytes, static_cast<size_t>(length)))) return false;
        at += lengthBytes + length;
    }
    return at == frame.size;
}

std::optional<bool> MovieFramesHold(ByteView file) {
    const MovieBytes bytes = [file](uint64_t at, size_t length) {
        return at <= file.size() ? file.sub(static_cast<size_t>(at), length) : ByteView{};
    };
    bool complete = false;
    const std::vector<TopAtom> atoms = TopAtoms(bytes, file.size(), complete);
    const auto movie = std::find_if(atoms.begin(), atoms.end(),
                                    [](const TopAtom& atom) { return atom.type == AtomType("moov"); });
    if (movie == atoms.end() || movie->size > kMostMovieAtomBytes) return std::nullopt;
    const std::optional<MovieFrames> frames =
        ReadMovieFrames(file.sub(static_cast<size_t>(movie->offset), static_cast<size_t>(movie->size)), file.size());
    if (!frames) return std::nullopt;
    return std::all_of(frames->frames.begin(), frames->frames.end(), [&](const MovieFrame& frame) {
        return FrameHolds(bytes, frame, frames->tracks[frame.track], true);
    });
}

bool IsMovieName(std::string_view name) {
    static constexpr std::array<std::string_view, 5> kExtensions = {"mp4", "m4v", "mov", "3gp", "3g2"};
    const std::string extension = AsciiLower(ExtensionOf(name));
    return std::find(kExtensions.begin(), kExtensions.end(), extension) != kExtensions.end();
}

}  // namespace kestrune::carve
