// Reading a found NTFS file's data through its MFT record.
#pragma once

#include <string>

#include "engines/found_data.h"
#include "engines/ntfs/data_attribute.h"
#include "engines/ntfs/ntfs_structures.h"

namespace kestrune {

// Gives back a file's content as the file: resident data in one piece; otherwise the
// runs of its unnamed $DATA (through an attribute list) 64 KiB at a time, sparse runs as
// zeros without reading the volume, bytes past the initialized size as zeros, and a
// compressed file decompressed one compression unit at a time. When the content cannot
// be given back as the file, a read answers an error instead of wrong bytes: an
// encrypted file (kErrFileEncrypted), an unknown compression (kErrUnsupportedCompression),
// runs that end before the data does or a damaged compressed unit (kErrFileCorrupt).
class NtfsDataReader final : public PieceReader {
public:
    // stream: "" for the file's own data, else the name of an alternate data stream.
    NtfsDataReader(const NtfsReader& reader, uint64_t entrySector, std::string stream = {});
    // A record of a former volume: the walk stays within the record, clusters are placed
    // with the record's own volume start and cluster size, and an attribute list is
    // followed only through follow (which places that volume's records).
    static NtfsDataReader ForFormerVolume(const NtfsReader& reader, uint64_t entrySector, uint64_t volumeStart,
                                          uint32_t clusterBytes, ListFollower follow = {}, std::string stream = {});

    // Reads the record and its data attribute (the first ReadPiece does it otherwise).
    int Prepare();
    bool Encrypted() const { return data_.Encrypted(); }
    // The data attribute as Prepare read it.
    const DataAttribute& Attribute() const { return data_; }
    // Whether the stored clusters differ from the content: compressed, or starting with a hole.
    bool NeedsTranslation() const {
        return !data_.resident && (data_.Compressed() || (!data_.runs.empty() && data_.runs[0].sparse));
    }
    // From now on the encrypted file's stored bytes are given back as they lie, StoredSize
    // bytes of them: what can be saved of a file that cannot be read without its keys.
    void DeliverStoredBytes() { storedBytes_ = true; }
    uint64_t StoredSize() const;

    int ReadPiece(std::vector<uint8_t>& piece) override;
    // The runs of the data attribute; resident, compressed and encrypted data are not
    // stored as the file reads.
    int Map(uint64_t fileSize, DataMap& map) override;

private:
    int ReadRuns(std::vector<uint8_t>& piece);
    int ReadCompressionUnit(std::vector<uint8_t>& piece);
    // Reads clusters [lcn, lcn + count) of the volume into out.
    int ReadClusters(uint64_t lcn, uint64_t count, uint8_t* out) const;
    // The run holding cluster vcn of the file, or runs.size().
    size_t RunAt(uint64_t vcn) const;
    uint64_t ClusterBytes() const;
    // The runs ended: fine once the whole file was given back, damage before.
    int EndOfRuns() const;

    const NtfsReader& reader_;
    uint64_t entrySector_;
    std::string stream_;
    bool formerVolume_ = false;
    uint64_t volumeStart_ = 0;
    uint32_t clusterBytes_ = 0;
    ListFollower formerFollow_;
    bool prepared_ = false;
    int prepareResult_ = 0;
    bool storedBytes_ = false;
    bool residentDelivered_ = false;
    DataAttribute data_;
    uint64_t nextVcn_ = 0;    // the next cluster of the file to give back
    uint64_t produced_ = 0;   // bytes given back so far
};

// Writes a found file into target with WriteFoundFile. An encrypted file cannot be given
// back as the file: its stored bytes go to target + ".efs-encrypted" and the answer is
// kErrFileEncrypted, so that it counts as not recovered. around: as WriteFoundFile's, for
// the file's content only.
int WriteNtfsFile(NtfsDataReader& data, uint64_t fileSize, const std::filesystem::path& target,
                  const CopyProgress& progress, const ReadAround* around = nullptr);

// The first bytes of a compressed or sparse file's content as the file holds them (its
// first piece), for the content check; empty when the data is stored as it reads or
// cannot be read.
std::vector<uint8_t> FirstContentBytes(NtfsDataReader& data);

}  // namespace kestrune
