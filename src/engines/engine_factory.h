// EngineFactory: picks and opens the engine that fits an area's file system.
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <vector>

#include "engines/engine_base.h"
#include "engines/stored_pass.h"

namespace kestrune {

class ScanCatalogue;

class EngineFactory {
public:
    // Reads the first 16 KiB of disk N's area at startSector (in the disk's own sectors),
    // after writing out what the system caches for the volume there. 0 or a result code;
    // an area shorter than 16 KiB is a read fault.
    static int ReadBootAreaOfDisk(int disk, uint64_t startSector, std::vector<uint8_t>& out);
    static int ReadBootAreaOfImage(const std::filesystem::path& image, std::vector<uint8_t>& out);

    // The engine for the area, opened on it, or null when the area cannot be read or, in
    // quick mode, holds no file system an engine knows. The engine is returned even when
    // its own open failed; its later operations then report that failure. A formatted or
    // deep pass made here keeps its place in the program's catalogue.
    static std::unique_ptr<IFileRecoveryParse> CreateEngineForDisk(int disk, uint64_t startSector,
                                                                   uint64_t sectorCount,
                                                                   uint16_t driveLetter,
                                                                   int formatted);
    static std::unique_ptr<IFileRecoveryParse> CreateEngineForImage(
        const std::filesystem::path& image, uint16_t driveLetter, int formatted);

    // The quick engine for the area's file system, opened on it; null as above. chosen,
    // when not Other, is the file system to read where the area holds the marks of two.
    static std::unique_ptr<RecoveryEngineBase> OpenQuickEngineForDisk(int disk, uint64_t startSector,
                                                                      uint64_t sectorCount, uint16_t driveLetter,
                                                                      FsKind chosen = FsKind::Other);
    static std::unique_ptr<RecoveryEngineBase> OpenQuickEngineForImage(const std::filesystem::path& image,
                                                                       uint16_t driveLetter,
                                                                       FsKind chosen = FsKind::Other);
    // The same on an area of a source already open (which the engine goes on reading).
    static std::unique_ptr<RecoveryEngineBase> OpenQuickEngine(SectorSource source, const EngineArea& area,
                                                               uint16_t driveLetter, FsKind chosen = FsKind::Other);

    // A formatted or deep pass over the area, opened on it, that finds a stored pass of the
    // area in catalogue and stores itself there; null when the area cannot be read.
    static std::unique_ptr<IStoredPass> CreatePassForDisk(int disk, uint64_t startSector, uint64_t sectorCount,
                                                          uint16_t driveLetter, ScanCatalogue& catalogue);
    static std::unique_ptr<IStoredPass> CreatePassForImage(const std::filesystem::path& image, uint16_t driveLetter,
                                                           ScanCatalogue& catalogue);

    // A new, unopened quick engine for a classified area; null when there is none.
    static std::unique_ptr<RecoveryEngineBase> CreateQuickEngine(FsKind kind);
};

}  // namespace kestrune
