// IStoredPass: a formatted or deep pass, as its owner drives it.
//
// A pass reads a whole area and takes long; it stores where it stands as it goes, so that
// a pass stopped by the user, or killed, goes on later from there. Its owner asks whether
// one is stored, lets the user continue or discard it, and reads how far it got.
#pragma once

#include <cstdint>
#include <string>

#include "engines/recovery_engine.h"

namespace kestrune {

class IStoredPass : public IFileRecoveryParse {
public:
    // What a stored pass of the area had done when it stopped.
    struct Progress {
        uint64_t sectorsDone = 0;
        uint64_t filesFound = 0;
        std::string runFolder;
        bool finished = false;  // the pass reached its end: only its findings are left to show
    };

    // A pass of this area stored earlier (found when the pass was opened).
    virtual bool HasStoredPass() const = 0;
    virtual Progress StoredProgress() const = 0;
    // The user chose to start afresh: the stored pass is discarded with its run folder.
    virtual void DeclineStoredPass() = 0;
    // Opens the stored pass's logs to read its findings, without scanning.
    virtual int OpenStoredLogs() = 0;
    // How often a running pass puts its position (and its logs) on disk.
    virtual void SetCheckpointInterval(uint64_t milliseconds) = 0;

    // How far the last pass got, and the run folder it wrote.
    virtual uint64_t SectorsDone() const = 0;
    virtual uint64_t SectorsTotal() const = 0;
    virtual const std::string& RunFolder() const = 0;
    // What the quick scan before the pass answered: not 0 when the file system could not
    // be read whole, and the pass then read every sector.
    virtual int QuickScanResult() const = 0;
    // The quick engine of the area's file system, which knows its free space; null when
    // no file system was recognised.
    virtual IFileRecoveryParse* QuickEngine() const = 0;
};

}  // namespace kestrune
