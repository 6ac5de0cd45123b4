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

// Which names the destination's file system takes: Linux ones take any byte but "/" and
// NUL; FAT, exFAT and NTFS (through any driver) also refuse : * ? " < > | \ and controls.
enum class NameRules { Linux, Windows };
NameRules NameRulesFor(const std::filesystem::path& folder);

// A name from the medium as one safe file name: no "/" or NUL, no control characters (nor
// the characters rules refuse), never "", "." or "..", at most 255 bytes (cut at a
// character boundary, keeping the extension when it can).
std::string SafeFileName(std::string_view name, NameRules rules = NameRules::Linux);

// name with suffix put before its extension, cut at a character boundary so that the
// whole fits maxBytes: FitFileName("a.jpg", "(1)", 255) is "a(1).jpg".
std::string FitFileName(std::string_view name, std::string_view suffix, size_t maxBytes);

// path itself when nothing exists there (not even a dangling link), else "name(n).ext"
// with the first n = 1, 2, ... that is free, still within 255 bytes. Only for folders,
// which may be merged into: a file takes its name with PublishWholeFile.
std::filesystem::path UniqueTargetPath(const std::filesystem::path& path);

// What a write through a work file tells as it goes, so that a note of it can be kept that
// a kill cannot get ahead of: the work file's name just before it is made, and each name
// just before the whole file tries to take it.
struct WorkFileNotes {
    std::function<void(const std::filesystem::path&)> making, naming;
};

// What became of a file written through a work file: the name it took when whole, or where
// what could be written was kept (both empty when nothing was kept).
struct WrittenFile {
    std::filesystem::path published, partial;
};

// Writes a found file of fileSize bytes, through write (given a path), into a work file
// beside wanted named ".NAME.kestrune-XXXXXXXX.EXT" (so that a person who finds it after a
// crash sees whose it is), made exclusively in a folder held open, never through a link.
// Whole, it is synced and takes wanted's name, or the first free "NAME(1).EXT",
// "NAME(2).EXT"...: the free name is found and taken in one step (a rename that never
// replaces), so no file is ever overwritten. Otherwise what was written is kept as
// "NAME.partial.EXT" (or "NAME.partial(n).EXT"), or removed when empty, so that it cannot
// pass for the whole file. An encrypted file's stored bytes, which write leaves beside
// the work file, are published beside wanted. A work file left short of fileSize (its
// folder moved away while write wrote by path) fails. Only files made here are renamed
// or removed. Returns write's result, or why the file could not be made or published.
int WriteThroughWorkFile(const std::filesystem::path& wanted, uint64_t fileSize,
                         const std::function<int(const std::filesystem::path& work)>& write, WrittenFile& written,
                         const WorkFileNotes& notes = {});

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

// Creates the folder a target file goes into (an existing one is fine). Here and below,
// nothing is written through a symbolic link: targets are opened without following one.
int CreateParentFolder(const std::filesystem::path& target);

// Creates target empty (or cuts it to nothing).
int CreateEmptyFile(const std::filesystem::path& target);

// Writes fileSize bytes from reader into target (created, or cut to nothing first),
// reporting (percent, 100, 0, target) after each piece and (100, 100, error, target) on a
// failure. A non-zero callback answer stops the copy and is returned.
int WriteFoundFile(PieceReader& reader, uint64_t fileSize, const std::filesystem::path& target,
                   RecoverProgressFn progress, void* userData);

// Recover for any engine: a file is written by writeFile into target (its folder made
// first); a folder is recreated with everything found below it, breadth first, each
// child named safely inside its folder, written into a work file and published under a
// free name only when whole, a child that failed settled as SettleUnfinishedFile says. A
// cancel ends the walk; other failures do not.
using WriteFileFn = std::function<int(const ScanRecord& file, const std::filesystem::path& target)>;
using ChildrenFn = std::function<int(const ScanRecord& folder, std::vector<ScanRecord>& children)>;
int RecoverFoundItem(const ScanRecord& record, const std::filesystem::path& target, const WriteFileFn& writeFile,
                     const ChildrenFn& children);

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
                     std::span<uint8_t> buffer, uint32_t& delivered, PreviewProgressFn progress,
                     void* userData, PreviewFileRoute route = PreviewFileRoute::DocumentsAndArchives);

}  // namespace kestrune
