// Copying a found file's data out: into a recovered file, or for the preview into a
// temporary file or a memory buffer. Each engine supplies how its data is read, piece
// by piece; the writing, progress and failure reporting are common.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "disk/sector_source.h"
#include "engines/recovery_engine.h"
#include "scanlog/data_map.h"

namespace kestrune {

// What an encrypted file's stored bytes are written as, after its name: they are whole,
// but not the file's content.
inline constexpr const char* kEncryptedDataSuffix = ".efs-encrypted";

// Delivers a file's data in order. A read that delivers nothing is a read fault; an empty
// piece with result 0 means the data ended (the file's runs cover less than its size,
// which WriteFoundFile reports as kErrHandleEof).
class PieceReader {
public:
    virtual ~PieceReader() = default;
    virtual int ReadPiece(std::vector<uint8_t>& piece) = 0;
    // Where the data lies, worked out without reading it; holes of a sparse file are left
    // out. kErrNotSupported when it is not stored as it reads (kept in the file system's
    // records, compressed); a reader is used for one or the other, not both.
    virtual int Map(uint64_t fileSize, DataMap& map) {
        (void)fileSize;
        (void)map;
        return kErrNotSupported;
    }
};

// Adds length bytes at sourceOffset to map's runs, joined to the last run where they
// follow it; false once the file's size is reached (the run cut there).
bool AddMappedBytes(DataMap& map, uint64_t fileSize, uint64_t fileOffset, uint64_t sourceOffset, uint64_t length);

// A file lying in one run of sectors from firstSector: fileSize rounded up to whole
// sectors, read 64 KiB at a time.
class ContiguousReader final : public PieceReader {
public:
    ContiguousReader(SectorSource& source, uint32_t sectorSize, uint64_t firstSector, uint64_t fileSize);
    int ReadPiece(std::vector<uint8_t>& piece) override;
    int Map(uint64_t fileSize, DataMap& map) override;

private:
    SectorSource& source_;
    uint32_t sectorSize_;
    uint64_t nextSector_;
    uint64_t sectorsLeft_;
};

// Creates target empty (or cuts it to nothing).
int CreateEmptyFile(const std::filesystem::path& target);

// How a copy goes on past sectors its source cannot read, for data stored as it reads:
// from where the data lies it reads on around them, leaves them as zeros and tells which
// bytes they were. A dying disk often has one bad sector in a file whose rest is fine.
struct ReadAround {
    Medium* medium = nullptr;      // the source the map's offsets are in
    uint32_t sectorBytes = 512;    // the smallest unit the source fails in
    std::function<int(DataMap&)> map;  // where the file's data lies (from a fresh reader)
    UnreadableNotice unreadable;
};

// Writes fileSize bytes from reader into target (created, or cut to nothing first),
// telling progress its percent after each piece and (100, error) on a failure. A false
// answer stops the copy with CancelCode. Given around, a read fault does not end the copy
// when the data can be mapped: the file is written whole-size with zeros where its source
// could not be read, and kErrReadFault is returned.
int WriteFoundFile(PieceReader& reader, uint64_t fileSize, const std::filesystem::path& target,
                   const CopyProgress& progress, const ReadAround* around = nullptr);

// Where the preview wants a file's data: documents and archives as a copy named like the
// file, pictures as "tmp.jpg", sound and video as "tmp.avi", all in the store folder;
// anything else in the caller's buffer (toFile false).
struct PreviewDestination {
    bool toFile = false;
    std::filesystem::path path;
};
// fileRoute is the list whose extensions go to a named copy: the document and archive
// lists together, or the list of files the preview converts.
enum class PreviewFileRoute { DocumentsAndArchives, Convertible };
PreviewDestination ChoosePreviewDestination(std::string_view name,
                                            PreviewFileRoute route = PreviewFileRoute::DocumentsAndArchives);

// Delivers a file's data for the preview: into a file named as ChoosePreviewDestination
// says, inside a folder of its own in the store folder ("preview-XXXXXX"; its path written
// to tempPath; removed again when the extraction fails), or the first bytes into buffer
// (delivered tells how many).
// Removes a preview's file and the folder made for it.
void RemovePreviewFile(const std::filesystem::path& file);

int ExtractFoundData(PieceReader& reader, uint64_t fileSize, std::string_view name, std::string& tempPath,
                     std::span<uint8_t> buffer, uint32_t& delivered, const CopyProgress& progress,
                     PreviewFileRoute route = PreviewFileRoute::DocumentsAndArchives);

}  // namespace kestrune
