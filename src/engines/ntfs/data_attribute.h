// A file's unnamed $DATA attribute as a whole: every piece of its run list (the base
// record's and, through an attribute list, those of its extension records), its sizes
// and its flags (compressed, encrypted, sparse). What reading a file's content needs.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "disk/byte_view.h"
#include "engines/ntfs/ntfs_structures.h"

namespace kestrune {

// One run of a file's clusters at its place in the file. A sparse run has no clusters on
// the volume: it reads as zeros.
struct DataRun {
    uint64_t vcn = 0;       // first cluster of the run within the file
    uint64_t clusters = 0;
    uint64_t lcn = 0;       // first cluster on the volume (not used for a sparse run)
    bool sparse = false;
};

// Decodes the whole run list of one piece of a non-resident attribute, numbering its runs
// from the piece's lowest VCN. Unlike DecodeRuns it reads every run, whatever the
// attribute's length, and keeps cluster counts whole. False when the list is damaged (a
// field that does not fit, a zero count, a cluster before the volume's start, a count
// that overflows); the runs decoded before the damage are kept.
bool DecodeRunList(ByteView attribute, std::vector<DataRun>& runs);

struct DataAttribute {
    bool resident = false;
    std::vector<uint8_t> residentBytes;
    std::vector<DataRun> runs;  // in file order, from VCN 0 on
    uint64_t dataSize = 0;
    uint64_t initializedSize = 0;
    uint64_t allocatedSize = 0;
    uint16_t flags = 0;
    uint8_t compressionUnit = 0;  // log2 of the clusters per compression unit
    // False when a piece was damaged, missing, or did not follow the one before it.
    bool runsWhole = true;

    bool Compressed() const { return (flags & ntfs::kAttrCompressionMask) != 0; }
    bool Encrypted() const { return (flags & ntfs::kAttrEncrypted) != 0; }
    // Clusters the runs cover, sparse ones included.
    uint64_t ClustersCovered() const { return runs.empty() ? 0 : runs.back().vcn + runs.back().clusters; }
};

// How an attribute list is followed: where an extension record lies (its absolute
// sector, or UINT64_MAX when it cannot be placed), and where the volume holding a
// non-resident list starts with its cluster size.
struct ListFollower {
    std::function<uint64_t(uint64_t number)> locate;
    uint64_t volumeStart = 0;
    uint32_t sectorsPerCluster = 0;
};

// Reads the unnamed $DATA of the record at sector (or the named one of stream, an
// alternate data stream). The attribute walk is bounded by
// walkBound; an attribute list is followed through follow (when given), and onPiece is
// told of the runs gathered so far after each extension record (the MFT needs its own
// first pieces to find the records holding the later ones). 0; -1 when no record is
// there; -100 when the record has no unnamed $DATA, or only an attribute list that is not
// followed; or a read error.
int ReadDataAttribute(const NtfsReader& reader, uint64_t sector, size_t walkBound, const ListFollower* follow,
                      DataAttribute& out, const std::function<void(const DataAttribute&)>& onPiece = {},
                      std::string_view stream = {});

// An attribute's name, UTF-8; "" when it has none or it does not fit.
std::string AttributeName(const AttributeRef& a);

// The alternate data streams of a file record (its named $DATA attributes, in the base
// record and, through its attribute list when follow is given, in its extension records),
// each once, with its size.
struct DataStream {
    std::string name;
    uint64_t size = 0;
};
std::vector<DataStream> NamedDataStreams(const NtfsReader& reader, ByteView record, size_t bound,
                                         const ListFollower* follow);

// Whether a file record says its data is EFS-encrypted (its standard information's file
// attributes, or its unnamed $DATA's flags), walking up to bound.
bool RecordDataEncrypted(ByteView record, size_t bound);

// For a base record whose $FILE_NAME was moved into an extension record by its
// attribute list (a folder with many entries, a file with a long run list): that
// extension record, read and fixed up. False when there is none.
bool ReadNameExtension(const NtfsReader& reader, ByteView base, const ListFollower& follow,
                       std::vector<uint8_t>& extension);

// The runs as the MFT walk keeps them: counts and distances between first clusters.
// Stops at the first sparse run (an MFT has none).
std::vector<FileRun> ToFileRuns(const std::vector<DataRun>& runs);

// Reads every run of $MFT's own data from its record at the geometry's MFT start,
// through its attribute list when it has one, into reader.geometry.mftRuns.
int LoadMftRuns(NtfsReader& reader);

}  // namespace kestrune
