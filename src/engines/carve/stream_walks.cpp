// Structure walks of broadcast and Windows media containers: MXF partitions, RealMedia
// chunks, ASF objects, AVI's RIFF chunks, and compressed SWF's zlib stream.
#include <zlib.h>

#include <algorithm>
#include <array>
#include <string_view>

#include "engines/carve/deflate_stream.h"
#include "engines/carve/video_walks.h"

namespace kestrune::carve {

namespace {

constexpr size_t kMaxItems = size_t{1} << 22;
constexpr uint64_t kAbsurdSize = uint64_t{1} << 44;

// MXF keys all start with the SMPTE label prefix; partition packs and the random index
// pack share the first 13 bytes after it.
constexpr std::string_view kSmpteLabel = std::string_view("\x06\x0E\x2B\x34", 4);
constexpr std::string_view kPartitionKey =
    std::string_view("\x06\x0E\x2B\x34\x02\x05\x01\x01\x0D\x01\x02\x01\x01", 13);
constexpr uint8_t kHeaderPartition = 0x02, kFooterPartition = 0x04, kRandomIndexPack = 0x11;

}  // namespace

std::optional<uint64_t> WalkMxf(FileReader& file) {
    uint64_t at = 0;
    uint64_t statedFooter = 0;  // the header partition's footer offset, 0 when it did not know
    std::optional<uint64_t> footerAt;
    for (size_t count = 0; count < kMaxItems && !file.Cancelled(); ++count) {
        const ByteView h = file.Stream(at, 64);
        if (!h.has(0, 17) || !h.matches(0, kSmpteLabel)) break;
        // A BER length: one byte below 0x80, else 0x80 + the count of bytes that follow.
        uint64_t length = h.u8(16), headerBytes = 17;
        if (length >= 0x80) {
            const size_t bytes = length & 0x7F;
            if (bytes == 0 || bytes > 8 || !h.has(17, bytes)) break;
            length = h.be(17, bytes);
            headerBytes += bytes;
        }
        if (length > kAbsurdSize) return std::nullopt;
        const bool partitionFamily = h.matches(0, kPartitionKey) && h.u8(15) == 0x00;
        const uint8_t kind = partitionFamily ? h.u8(13) : 0;
        if (at == 0) {
            // The value of a partition pack: versions (4), KAG size (4), this, previous
            // and footer partition offsets (8 each).
            if (kind != kHeaderPartition || !h.has(headerBytes + 24, 8)) return std::nullopt;
            statedFooter = h.be64(headerBytes + 24);
        }
        if (kind == kFooterPartition) footerAt = at;
        const uint64_t end = at + headerBytes + length;
        if (kind == kRandomIndexPack) {
            // Its last four bytes repeat its whole length, so a reader can find it from the end.
            const ByteView last = length >= 4 ? file.Read(end - 4, 4) : ByteView();
            if (last.empty() || last.be32(0) != headerBytes + length) return std::nullopt;
            if (!footerAt || (statedFooter != 0 && *footerAt != statedFooter)) return std::nullopt;
            return end;
        }
        if (!file.Reaches(end)) return std::nullopt;
        at = end;
    }
    // No random index pack: the file ends after the footer partition's items.
    if (file.Cancelled() || !footerAt || (statedFooter != 0 && *footerAt != statedFooter)) return std::nullopt;
    return at;
}

namespace {

// The end of a data chunk's packets (each starts with its version and length); nothing
// when they do not hold together. ffmpeg states a data chunk 18 bytes longer than it is
// and closes its packets with 8 zero bytes instead: a chunk whose packets end before
// its stated size ends after them, and after those 8 bytes when they are zero.
std::optional<uint64_t> RealMediaDataEnd(FileReader& file, uint64_t at, uint64_t statedEnd) {
    const ByteView h = file.Read(at, 18);
    if (h.empty()) return std::nullopt;
    const uint32_t packets = h.be32(10);
    if (packets == 0) return statedEnd;  // a live stream counts none: the chunk's size stands
    uint64_t p = at + 18;
    for (uint32_t i = 0; i < packets && !file.Cancelled(); ++i) {
        const ByteView packet = file.Read(p, 4);
        if (packet.empty()) return std::nullopt;
        const uint16_t version = packet.be16(0), length = packet.be16(2);
        if (version > 1 || length < 12u + version || !file.Reaches(p + length)) return std::nullopt;
        p += length;
    }
    if (p == statedEnd) return p;
    if (p > statedEnd) return std::nullopt;
    const ByteView closing = file.Read(p, 8);
    return !closing.empty() && closing.all(0, 8, 0) ? p + 8 : p;
}

}  // namespace

std::optional<uint64_t> WalkRealMedia(FileReader& file) {
    static constexpr std::string_view kChunks[] = {".RMF", "PROP", "MDPR", "CONT", "DATA", "INDX"};
    uint64_t at = 0;
    bool sawProperties = false, sawData = false;
    for (size_t count = 0; count < kMaxItems && !file.Cancelled(); ++count) {
        const ByteView h = file.Read(at, 10);
        if (h.empty()) break;
        const std::string_view id(reinterpret_cast<const char*>(h.data()), 4);
        if (std::find(std::begin(kChunks), std::end(kChunks), id) == std::end(kChunks)) break;
        if ((at == 0) != (id == ".RMF")) return std::nullopt;
        sawProperties = sawProperties || id == "PROP";
        sawData = sawData || id == "DATA";
        const uint64_t size = h.be32(4);
        if (size < 10) return std::nullopt;  // a live stream's data chunk of unknown size, or damage
        if (id == "DATA") {
            auto end = RealMediaDataEnd(file, at, at + size);
            if (!end) return std::nullopt;
            at = *end;
            continue;
        }
        if (!file.Reaches(at + size)) return std::nullopt;
        at += size;
    }
    if (file.Cancelled() || !sawProperties || !sawData) return std::nullopt;
    return at;
}

namespace {

constexpr std::string_view kAsfHeader = std::string_view("\x30\x26\xB2\x75\x8E\x66\xCF\x11\xA6\xD9\x00\xAA\x00\x62\xCE\x6C", 16);
constexpr std::string_view kAsfFileProperties =
    std::string_view("\xA1\xDC\xAB\x8C\x47\xA9\xCF\x11\x8E\xE4\x00\xC0\x0C\x20\x53\x65", 16);
constexpr std::string_view kAsfData = std::string_view("\x36\x26\xB2\x75\x8E\x66\xCF\x11\xA6\xD9\x00\xAA\x00\x62\xCE\x6C", 16);

}  // namespace

std::optional<uint64_t> WalkAsf(FileReader& file) {
    ByteView h = file.Read(0, 30);
    if (!h.matches(0, kAsfHeader)) return std::nullopt;
    const uint64_t headerSize = h.le64(16);
    const uint32_t objects = h.le32(24);
    if (headerSize < 30 || headerSize > FileReader::kMaxRead) return std::nullopt;
    h = file.Read(0, static_cast<size_t>(headerSize));
    if (h.empty()) return std::nullopt;
    // The file properties object, among the header's own objects.
    uint64_t fileSize = 0;
    size_t at = 30;
    for (uint32_t i = 0; i < objects && h.has(at, 24); ++i) {
        const uint64_t size = h.le64(at + 16);
        if (size < 24 || size > headerSize - at) return std::nullopt;
        if (h.matches(at, kAsfFileProperties)) {
            if (size < 104) return std::nullopt;
            // A file still being written (broadcast) states no size.
            if ((h.le32(at + 88) & 1) != 0) return std::nullopt;
            fileSize = h.le64(at + 40);
        }
        at += static_cast<size_t>(size);
    }
    if (fileSize <= headerSize || fileSize > kAbsurdSize) return std::nullopt;
    // The data object follows the header; index objects may follow it. Together they
    // must make up the stated size exactly.
    uint64_t next = headerSize;
    for (size_t count = 0; next < fileSize && count < 64; ++count) {
        const ByteView object = file.Read(next, 24);
        if (object.empty() || (next == headerSize && !object.matches(0, kAsfData))) return std::nullopt;
        const uint64_t size = object.le64(16);
        if (size < 24 || size > fileSize - next) return std::nullopt;
        next += size;
    }
    return next == fileSize ? std::optional<uint64_t>(fileSize) : std::nullopt;
}

namespace {

// The end of a RIFF chunk whose sub-chunks, each padded to an even length, make up its
// size exactly; nothing when they do not.
std::optional<uint64_t> RiffChunkEnd(FileReader& file, uint64_t at, std::string_view form) {
    const ByteView h = file.Read(at, 12);
    if (!h.matches(0, "RIFF") || !h.matches(8, form)) return std::nullopt;
    const uint64_t end = at + 8 + h.le32(4);
    uint64_t sub = at + 12;
    for (size_t count = 0; sub + 8 <= end && count < kMaxItems && !file.Cancelled(); ++count) {
        const ByteView chunk = file.Read(sub, 8);
        if (chunk.empty()) return std::nullopt;
        const uint64_t size = chunk.le32(4);
        sub += 8 + size + (size & 1);
    }
    // The last sub-chunk's pad byte may lie outside a size that forgot it.
    if (sub != end && sub != end + 1) return std::nullopt;
    return end;
}

}  // namespace

std::optional<uint64_t> WalkAvi(FileReader& file) {
    auto end = RiffChunkEnd(file, 0, "AVI ");
    if (!end) return std::nullopt;
    // An OpenDML file goes on past 1 GiB in further RIFF chunks of the form "AVIX".
    for (size_t count = 0; count < 4096; ++count) {
        auto next = RiffChunkEnd(file, *end, "AVIX");
        if (!next) break;
        end = next;
    }
    if (file.Cancelled()) return std::nullopt;
    return end;
}

std::optional<uint64_t> WalkCompressedSwf(FileReader& file) {
    const ByteView h = file.Read(0, 8);
    if (!h.matches(0, "CWS")) return std::nullopt;
    const uint64_t stated = h.le32(4);
    if (stated <= 8) return std::nullopt;
    // Inflating to more than the header promises ends the walk early.
    const auto stream = InflateStream(file, 8, true, stated - 8);
    if (!stream || stream->produced + 8 != stated) return std::nullopt;
    return stream->end;
}

namespace {

// Reads bits from the front of an SWF body, most significant first.
struct BitReader {
    ByteView data;
    size_t bit = 0;
    bool Has(size_t bits) const { return (bit + bits + 7) / 8 <= data.size(); }
    int64_t Signed(size_t bits) {
        uint64_t v = 0;
        for (size_t i = 0; i < bits; ++i, ++bit) v = v << 1 | ((data.u8(bit / 8) >> (7 - bit % 8)) & 1);
        if (bits > 0 && (v >> (bits - 1)) != 0) v |= ~uint64_t{0} << bits;
        return static_cast<int64_t>(v);
    }
};

// The frame size, rate and count, then the first tag's header, of an SWF body (the bytes
// after the 8-byte file header).
bool SaneSwfBody(ByteView body, uint64_t statedLength) {
    BitReader bits{body};
    if (!bits.Has(5)) return false;
    const size_t fieldBits = static_cast<size_t>(body.u8(0) >> 3);
    bits.bit = 5;
    if (fieldBits == 0 || !bits.Has(4 * fieldBits)) return false;
    const int64_t xMin = bits.Signed(fieldBits), xMax = bits.Signed(fieldBits);
    const int64_t yMin = bits.Signed(fieldBits), yMax = bits.Signed(fieldBits);
    // The stage, in twips (1/20 pixel): some pixels, and no more than a huge screen.
    constexpr int64_t kLargestStage = 20 * 20000;
    if (xMax <= xMin || yMax <= yMin || xMax - xMin > kLargestStage || yMax - yMin > kLargestStage) return false;
    const size_t rectBytes = (bits.bit + 7) / 8;
    if (!body.has(rectBytes, 6)) return false;
    const unsigned framesPerSecond = body.u8(rectBytes + 1);  // 8.8 fixed point: the whole part
    const unsigned frames = body.le16(rectBytes + 2);
    const uint16_t tag = body.le16(rectBytes + 4);
    const unsigned tagCode = tag >> 6;
    if (framesPerSecond > 120 || frames == 0) return false;
    // The first tag: one that exists (codes run to 93), or the end tag of an empty movie.
    if (tagCode > 93) return false;
    if (tagCode == 0 && (tag != 0 || statedLength != 8 + rectBytes + 6)) return false;
    return statedLength >= 8 + rectBytes + 6;
}

}  // namespace

bool IsSwfHeader(ByteView s) {
    if (s.size() < 24) return false;
    const bool compressed = s.matches(0, "CWS");
    if (!compressed && !s.matches(0, "FWS")) return false;
    const uint8_t version = s.u8(3);
    // Versions run from 1 to the forties today; compression came with version 6.
    if (version == 0 || version > 60 || (compressed && version < 6)) return false;
    const uint64_t stated = s.le32(4);
    if (!compressed) return SaneSwfBody(s.from(8), stated);
    // A zlib header, then the start of the body inflated from what the sector holds.
    const uint8_t method = s.u8(8), flags = s.u8(9);
    if ((method & 0x0F) != 8 || (method >> 4) > 7 || (method * 256 + flags) % 31 != 0 || (flags & 0x20) != 0)
        return false;
    std::array<uint8_t, 64> body{};
    z_stream z{};
    if (inflateInit(&z) != Z_OK) return false;
    z.next_in = const_cast<Bytef*>(s.data() + 8);
    z.avail_in = static_cast<uInt>(s.size() - 8);
    z.next_out = body.data();
    z.avail_out = static_cast<uInt>(body.size());
    const int status = inflate(&z, Z_SYNC_FLUSH);
    const size_t made = body.size() - z.avail_out;
    inflateEnd(&z);
    if (status != Z_OK && status != Z_STREAM_END && status != Z_BUF_ERROR) return false;
    return SaneSwfBody(ByteView(body.data(), made), stated);
}

bool IsTransportPacket(ByteView data, size_t at, PacketLayout layout) {
    const size_t sync = at + layout.syncOffset;
    return data.has(sync, 4) && data.u8(sync) == 0x47 && (data.u8(sync + 3) & 0x30) != 0;
}

}  // namespace kestrune::carve
