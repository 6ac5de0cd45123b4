#include "engines/ntfs/data_attribute.h"

#include <algorithm>
#include <map>

#include "base/result_codes.h"
#include "disk/text_encoding.h"

namespace kestrune {

using namespace ntfs;

namespace {

constexpr uint64_t kMaxListBytes = 1 << 20;     // a real attribute list is a few KiB
constexpr uint64_t kMaxRunClusters = uint64_t{1} << 48;  // more than any volume has
constexpr size_t kMaxPieces = 4096;
constexpr size_t kMaxStreams = 64;  // a record of 1 KiB to 4 KiB holds far fewer

// One piece of the attribute, as one record holds it.
struct Piece {
    std::vector<DataRun> runs;
    bool whole = true;
};

bool IsUnnamedData(const AttributeRef& a) { return a.type == kAttrData && !a.Named(); }

// The data stream the attribute holds: "" for the file's own data, else the stream's name.
bool IsDataOf(const AttributeRef& a, std::string_view stream) {
    return a.type == kAttrData && (stream.empty() ? !a.Named() : a.Named() && AttributeName(a) == stream);
}

}  // namespace

bool DecodeRunList(ByteView attribute, std::vector<DataRun>& runs) {
    const ByteView bytes = attribute.sub(0, std::min<size_t>(attribute.le32(kAttrLength), attribute.size()));
    size_t position = bytes.le16(kAttrRunListOffset);
    uint64_t vcn = bytes.le64(kAttrLowestVcn);
    int64_t lcn = 0;
    if (position == 0 || position >= bytes.size()) return false;
    while (position < bytes.size()) {
        const uint8_t header = bytes.u8(position);
        if (header == 0) return true;
        const size_t lengthSize = header & 0x0F, offsetSize = header >> 4;
        if (lengthSize == 0 || lengthSize > 8 || offsetSize > 8) return false;
        if (!bytes.has(position + 1, lengthSize + offsetSize)) return false;
        DataRun run;
        run.vcn = vcn;
        run.clusters = bytes.le(position + 1, lengthSize);
        if (run.clusters == 0 || run.clusters > kMaxRunClusters || vcn > kMaxRunClusters) return false;
        if (offsetSize == 0) {
            run.sparse = true;
        } else {
            uint64_t delta = bytes.le(position + 1 + lengthSize, offsetSize);
            // The top bit of the last byte is the sign.
            if (offsetSize < 8 && (delta & (uint64_t{1} << (8 * offsetSize - 1))))
                delta |= ~uint64_t{0} << (8 * offsetSize);
            const int64_t next = static_cast<int64_t>(static_cast<uint64_t>(lcn) + delta);
            if (next < 0 || static_cast<uint64_t>(next) > kMaxRunClusters) return false;
            lcn = next;
            run.lcn = static_cast<uint64_t>(lcn);
        }
        runs.push_back(run);
        vcn += run.clusters;
        position += 1 + lengthSize + offsetSize;
    }
    // The list ran to the attribute's end without its closing zero.
    return false;
}

bool RecordDataEncrypted(ByteView record, size_t bound) {
    bool encrypted = false;
    WalkAttributes(record, bound, [&](const AttributeRef& a) {
        if (a.type == kAttrStandardInformation && !a.NonResident())
            encrypted = encrypted || (a.ResidentValue().le32(kStdFileAttributes) & kFileAttributeEncrypted) != 0;
        if (IsUnnamedData(a)) encrypted = encrypted || (a.bytes.le16(kAttrFlags) & kAttrEncrypted) != 0;
        return true;
    });
    return encrypted;
}

std::vector<FileRun> ToFileRuns(const std::vector<DataRun>& runs) {
    std::vector<FileRun> out;
    int64_t previous = 0;
    for (const DataRun& run : runs) {
        if (run.sparse) break;
        out.push_back({run.clusters, static_cast<int64_t>(run.lcn) - previous});
        previous = static_cast<int64_t>(run.lcn);
    }
    return out;
}

namespace {

// An attribute list's entries, from a resident value or from the clusters of a
// non-resident one (placed by follow).
std::vector<uint8_t> ListEntries(const NtfsReader& reader, ByteView list, const ListFollower& follow) {
    if (list.u8(kAttrNonResident) == 0) {
        const ByteView value = AttributeRef{0, kAttrAttributeList, list}.ResidentValue();
        return {value.data(), value.data() + value.size()};
    }
    std::vector<DataRun> runs;
    DecodeRunList(list, runs);
    const uint64_t size = std::min<uint64_t>(list.le64(kAttrDataSize), kMaxListBytes);
    const uint32_t bps = reader.geometry.bytesPerSector, spc = follow.sectorsPerCluster;
    std::vector<uint8_t> bytes;
    for (const DataRun& run : runs) {
        if (bytes.size() >= size || run.sparse || spc == 0) break;
        const uint64_t want = std::min<uint64_t>(run.clusters * spc * bps, size - bytes.size());
        const uint32_t sectors = static_cast<uint32_t>((want + bps - 1) / bps);
        const size_t at = bytes.size();
        bytes.resize(at + size_t{sectors} * bps);
        uint32_t read = 0;
        if (ReadSectors(sectors, *reader.source, bytes.data() + at, follow.volumeStart + run.lcn * spc,
                        static_cast<int>(bps), read) != kOk)
            break;
    }
    bytes.resize(std::min<size_t>(bytes.size(), size));
    return bytes;
}

// One entry of an attribute list.
struct ListEntry {
    uint32_t type;
    std::string name;
    uint64_t lowestVcn;
    uint64_t record;
};

// Calls visit for each entry of the list's bytes until it answers false.
void ForEachListEntry(ByteView entries, const std::function<bool(const ListEntry&)>& visit) {
    for (size_t at = 0; at + 0x1A <= entries.size();) {
        const uint32_t type = entries.le32(at + kListEntryType);
        const uint16_t length = entries.le16(at + kListEntryLength);
        if (type == 0 || type == kAttrEnd || length < 0x1A) return;
        const uint8_t nameUnits = entries.u8(at + kListEntryNameLength);
        const size_t nameAt = at + entries.u8(at + kListEntryNameOffset);
        const bool nameFits = nameUnits == 0 || (nameAt + size_t{nameUnits} * 2 <= at + length);
        const ListEntry entry{type,
                              nameUnits == 0 ? std::string()
                              : nameFits     ? Utf16LeToUtf8(entries, nameAt, nameUnits, false)
                                             : std::string("\x01"),  // a name that matches no stream
                              entries.le64(at + kListEntryLowestVcn),
                              entries.le32(at + kListEntryRecord) |
                                  (uint64_t{entries.le16(at + kListEntryRecord + 4)} << 32)};
        if (!visit(entry)) return;
        at += length;
    }
}

// Reads the extension record of base record ownNumber at sector: false when it is not
// one (no record, or a record that names another base).
bool ReadExtensionRecord(const NtfsReader& reader, uint64_t sector, uint64_t ownNumber, std::vector<uint8_t>& record) {
    if (sector == UINT64_MAX || reader.ReadMftRecord(sector, record) != kOk) return false;
    if (!HasRecordSignature(ByteView(record))) return false;
    ApplyFixups(record, reader.geometry.recordSize);
    const ByteView view(record);
    return view.le16(kRecordFirstAttribute) < reader.geometry.recordSize &&
           (view.le64(kRecordBaseReference) & 0xFFFFFFFFFFFF) == ownNumber;
}

class DataAttributeReader {
public:
    DataAttributeReader(const NtfsReader& reader, size_t walkBound, const ListFollower* follow, DataAttribute& out,
                        const std::function<void(const DataAttribute&)>& onPiece, std::string_view stream)
        : reader_(reader), walkBound_(walkBound), follow_(follow), out_(out), onPiece_(onPiece), stream_(stream) {}

    int Read(uint64_t sector) {
        out_ = DataAttribute{};
        std::vector<uint8_t> record;
        if (int rc = ReadRecord(sector, record); rc != kOk) return rc;
        const ByteView view(record);
        const uint64_t ownNumber = view.le32(kRecordNumber);
        std::vector<uint8_t> list;
        bool found = false;
        WalkAttributes(view, walkBound_, [&](const AttributeRef& a) {
            if (a.type == kAttrAttributeList && list.empty()) list.assign(a.bytes.data(), a.bytes.data() + a.bytes.size());
            if (!IsDataOf(a, stream_)) return true;
            found = true;
            if (!a.NonResident()) {
                TakeResident(a);
                return false;
            }
            TakePiece(a);
            return true;  // the base record may hold more than one piece
        });
        if (out_.resident) return kOk;
        if (!list.empty() && follow_ && follow_->locate) {
            if (onPiece_) {
                Assemble();
                onPiece_(out_);
            }
            FollowList(ByteView(list), ownNumber);
            found = found || !pieces_.empty();
        }
        if (!found) return kErrAttributeNotFound;
        Assemble();
        return kOk;
    }

private:
    int ReadRecord(uint64_t sector, std::vector<uint8_t>& record) const {
        if (int rc = reader_.ReadMftRecord(sector, record); rc != kOk) return rc > 0 ? rc : kErrAttributeNotFound;
        if (!HasRecordSignature(ByteView(record))) return kErrNotMftRecord;
        ApplyFixups(record, reader_.geometry.recordSize);
        if (ByteView(record).le16(kRecordFirstAttribute) >= reader_.geometry.recordSize) return kErrInvalidParameter;
        return kOk;
    }

    void TakeResident(const AttributeRef& a) {
        const uint16_t offset = a.bytes.le16(kAttrValueOffset);
        const uint32_t length = a.Length();
        out_.resident = true;
        out_.flags = a.bytes.le16(kAttrFlags);
        if (offset > length || length - offset >= reader_.geometry.recordSize || !a.bytes.has(offset, length - offset)) {
            headerWhole_ = out_.runsWhole = false;
            return;
        }
        // The value's own length says how much of it is the file; the rest is padding.
        const uint32_t valueLength = std::min<uint32_t>(a.bytes.le32(kAttrValueLength), length - offset);
        out_.residentBytes.assign(a.bytes.data() + offset, a.bytes.data() + offset + valueLength);
        out_.dataSize = valueLength;
    }

    void TakePiece(const AttributeRef& a) {
        const uint64_t lowest = a.bytes.le64(kAttrLowestVcn);
        if (pieces_.count(lowest) || pieces_.size() >= kMaxPieces) return;
        if (lowest == 0) {
            out_.flags = a.bytes.le16(kAttrFlags);
            out_.compressionUnit = a.bytes.u8(kAttrCompressionUnit);
            out_.allocatedSize = a.bytes.le64(kAttrAllocatedSize);
            out_.dataSize = a.bytes.le64(kAttrDataSize);
            out_.initializedSize = a.bytes.le64(kAttrInitializedSize);
            if (!a.bytes.has(kAttrInitializedSize, 8)) headerWhole_ = false;
        }
        Piece& piece = pieces_[lowest];
        piece.whole = DecodeRunList(a.bytes, piece.runs);
    }

    void FollowList(ByteView list, uint64_t ownNumber) {
        const std::vector<uint8_t> bytes = ListEntries(reader_, list, *follow_);
        std::vector<uint8_t> record;
        ForEachListEntry(ByteView(bytes), [&](const ListEntry& entry) {
            if (entry.type != kAttrData || entry.name != stream_) return true;
            if (entry.record == ownNumber || pieces_.count(entry.lowestVcn)) return true;
            if (!ReadExtensionRecord(reader_, follow_->locate(entry.record), ownNumber, record)) return true;
            WalkAttributes(ByteView(record), reader_.geometry.recordSize, [&](const AttributeRef& a) {
                if (IsDataOf(a, stream_) && a.NonResident() && a.bytes.le64(kAttrLowestVcn) == entry.lowestVcn) {
                    TakePiece(a);
                    return false;
                }
                return true;
            });
            if (onPiece_) {
                Assemble();
                onPiece_(out_);
            }
            return true;
        });
    }

    // Joins the pieces in file order; a gap or a damaged piece ends the runs there.
    void Assemble() {
        out_.runs.clear();
        bool whole = !pieces_.empty() && pieces_.begin()->first == 0;
        uint64_t next = 0;
        for (const auto& [lowest, piece] : pieces_) {
            if (!whole) break;
            if (lowest != next) {
                whole = false;
                break;
            }
            out_.runs.insert(out_.runs.end(), piece.runs.begin(), piece.runs.end());
            next = out_.ClustersCovered();
            whole = piece.whole;
        }
        out_.runsWhole = headerWhole_ && whole;
    }

    const NtfsReader& reader_;
    size_t walkBound_;
    const ListFollower* follow_;
    DataAttribute& out_;
    const std::function<void(const DataAttribute&)>& onPiece_;
    std::string_view stream_;
    std::map<uint64_t, Piece> pieces_;
    bool headerWhole_ = true;
};

}  // namespace

int ReadDataAttribute(const NtfsReader& reader, uint64_t sector, size_t walkBound, const ListFollower* follow,
                      DataAttribute& out, const std::function<void(const DataAttribute&)>& onPiece,
                      std::string_view stream) {
    return DataAttributeReader(reader, walkBound, follow, out, onPiece, stream).Read(sector);
}

std::string AttributeName(const AttributeRef& a) {
    const size_t units = a.bytes.u8(kAttrNameLength);
    const size_t at = a.bytes.le16(kAttrNameOffset);
    if (units == 0 || at + units * 2 > std::min<size_t>(a.Length(), a.bytes.size())) return {};
    return Utf16LeToUtf8(a.bytes, at, units, false);
}

namespace {

// Adds the record's named $DATA attributes that begin a stream not met yet.
void AddStreamsOf(ByteView record, size_t bound, std::vector<DataStream>& streams) {
    WalkAttributes(record, bound, [&](const AttributeRef& a) {
        if (a.type != kAttrData || !a.Named()) return true;
        std::string name = AttributeName(a);
        // A piece past the first of a stream, or a name that cannot be read.
        if (name.empty() || (a.NonResident() && a.bytes.le64(kAttrLowestVcn) != 0)) return true;
        if (std::any_of(streams.begin(), streams.end(), [&](const DataStream& s) { return s.name == name; })) return true;
        const uint64_t size = a.NonResident() ? a.bytes.le64(kAttrDataSize) : a.bytes.le32(kAttrValueLength);
        streams.push_back({std::move(name), size});
        return streams.size() < kMaxStreams;
    });
}

}  // namespace

std::vector<DataStream> NamedDataStreams(const NtfsReader& reader, ByteView record, size_t bound,
                                         const ListFollower* follow) {
    std::vector<DataStream> streams;
    AddStreamsOf(record, bound, streams);
    // A record too full for its attributes keeps some in extension records, named in its
    // attribute list.
    std::vector<uint8_t> list;
    WalkAttributes(record, bound, [&](const AttributeRef& a) {
        if (a.type != kAttrAttributeList) return true;
        list.assign(a.bytes.data(), a.bytes.data() + a.bytes.size());
        return false;
    });
    if (list.empty() || !follow || !follow->locate) return streams;
    const uint64_t ownNumber = record.le32(kRecordNumber);
    const std::vector<uint8_t> entries = ListEntries(reader, ByteView(list), *follow);
    std::vector<uint8_t> extension;
    ForEachListEntry(ByteView(entries), [&](const ListEntry& entry) {
        if (entry.type != kAttrData || entry.name.empty() || entry.lowestVcn != 0 || entry.record == ownNumber)
            return true;
        if (std::any_of(streams.begin(), streams.end(), [&](const DataStream& s) { return s.name == entry.name; }))
            return true;
        if (ReadExtensionRecord(reader, follow->locate(entry.record), ownNumber, extension))
            AddStreamsOf(ByteView(extension), reader.geometry.recordSize, streams);
        return streams.size() < kMaxStreams;
    });
    return streams;
}

bool ReadNameExtension(const NtfsReader& reader, ByteView base, const ListFollower& follow,
                       std::vector<uint8_t>& extension) {
    const uint64_t ownNumber = base.le32(kRecordNumber);
    std::vector<uint8_t> list;
    WalkAttributes(base, std::min<size_t>(base.le32(kRecordBytesInUse), reader.geometry.recordSize),
                   [&](const AttributeRef& a) {
                       if (a.type != kAttrAttributeList) return true;
                       list.assign(a.bytes.data(), a.bytes.data() + a.bytes.size());
                       return false;
                   });
    if (list.empty() || !follow.locate) return false;
    const std::vector<uint8_t> entries = ListEntries(reader, ByteView(list), follow);
    bool found = false;
    ForEachListEntry(ByteView(entries), [&](const ListEntry& entry) {
        if (entry.type != kAttrFileName || entry.record == ownNumber) return true;
        found = ReadExtensionRecord(reader, follow.locate(entry.record), ownNumber, extension);
        return !found;
    });
    return found;
}

int LoadMftRuns(NtfsReader& reader) {
    NtfsVolumeGeometry& g = reader.geometry;
    g.mftRuns.clear();
    ListFollower follow{[&reader](uint64_t number) { return reader.RecordSector(number); }, g.partitionStart,
                        g.sectorsPerCluster};
    DataAttribute mft;
    // The first pieces place the extension records that hold the later ones.
    const int rc = ReadDataAttribute(reader, g.mftStartSector, kRecordReadBytes, &follow, mft,
                                     [&g](const DataAttribute& sofar) { g.mftRuns = ToFileRuns(sofar.runs); });
    if (rc != kOk) return rc;
    if (mft.resident) return kErrAttributeNotFound;
    g.mftRuns = ToFileRuns(mft.runs);
    return kOk;
}

}  // namespace kestrune
