// Copying a found file's data out: into a recovered file, or for the preview into a
// temporary file or a memory buffer. Each engine supplies how its data is read, piece
// by piece; the writing, progress and failure reporting are common.
#pragma once

#include <cstdint>
#include <filesystem>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "disk/sector_source.h"
#include "engines/recovery_engine.h"

namespace kestrune {

// Delivers a file's data in order. An empty piece with result 0 is not allowed: a read
// that delivers nothing is a read fault.
class PieceReader {
public:
    virtual ~PieceReader() = default;
    virtual int ReadPiece(std::vector<uint8_t>& piece) = 0;
};

// A file lying in one run of sectors from firstSector: fileSize rounded up to whole
// sectors, read 64 KiB at a time.
class ContiguousReader final : public PieceReader {
public:
    ContiguousReader(SectorSource& source, uint32_t sectorSize, uint64_t firstSector, uint64_t fileSize);
    int ReadPiece(std::vector<uint8_t>& piece) override;

private:
    SectorSource& source_;
    uint32_t sectorSize_;
    uint64_t nextSector_;
    uint64_t sectorsLeft_;
};

// Creates the folder a target file goes into (an existing one is fine).
int CreateParentFolder(const std::filesystem::path& target);

// Writes fileSize bytes from reader into target (created, or cut to nothing first),
// reporting (percent, 100, 0, target) after each piece and (100, 100, error, target) on a
// failure. A non-zero callback answer stops the copy and is returned.
int WriteFoundFile(PieceReader& reader, uint64_t fileSize, const std::filesystem::path& target,
                   RecoverProgressFn progress, void* userData);

// Where the preview wants a file's data: documents and archives as a copy named like the
// file, pictures as "tmp.jpg", sound and video as "tmp.avi", all in the store folder;
// anything else in the caller's buffer (toFile false).
struct PreviewDestination {
    bool toFile = false;
    std::filesystem::path path;
};
PreviewDestination ChoosePreviewDestination(std::string_view name);

// Delivers a file's data for the preview: into the file ChoosePreviewDestination names
// (its path written to tempPath; the file is removed again when the extraction fails),
// or the first bytes into buffer (delivered tells how many).
int ExtractFoundData(PieceReader& reader, uint64_t fileSize, std::string_view name, std::string& tempPath,
                     std::span<uint8_t> buffer, uint32_t& delivered, PreviewProgressFn progress,
                     void* userData);

}  // namespace kestrune
