// NtfsEngine: what the quick and the formatted NTFS engines share.
//
// Both read the volume's structures through one NtfsReader over the engine's source, and
// both read a found file's data as its MFT record describes it (NtfsDataReader); they
// differ only in how a record's data is located, which DataOf says. A file is written with
// what NTFS adds to a plain copy: an encrypted file is kept as its stored bytes.
#pragma once

#include <filesystem>
#include <memory>

#include "engines/engine_base.h"
#include "engines/ntfs/ntfs_data.h"
#include "engines/ntfs/ntfs_structures.h"

namespace kestrune {

class NtfsEngine : public RecoveryEngineBase {
protected:
    NtfsEngine() {
        reader_.source = &source_;
        previewRoute_ = PreviewFileRoute::Convertible;
    }

    // The reader over a found file's data, as its record locates it.
    virtual NtfsDataReader DataOf(const ScanRecord& record) const = 0;

    int OpenData(const ScanRecord& record, std::unique_ptr<PieceReader>& data, bool*) final {
        data = std::make_unique<NtfsDataReader>(DataOf(record));
        return kOk;
    }
    int WriteFile(const ScanRecord& file, const std::filesystem::path& target) final {
        NtfsDataReader data = DataOf(file);
        const ReadAround around = AroundBadSectors(file);
        return WriteNtfsFile(data, file.fileSize, target, copyProgress_, &around);
    }

    NtfsReader reader_;  // its geometry holds the sector size, record size and area start
};

}  // namespace kestrune
