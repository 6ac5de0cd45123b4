#include "session/image_run.h"

#include "base/result_codes.h"
#include "disk/block_devices.h"
#include "disk/disk_copy.h"
#include "disk/sector_source.h"

namespace kestrune {

namespace {

struct ImageReports {
    const ProgressSink* sink;
    const CancelToken* cancel;
    RescueProgress rescue;  // the last a rescuing copy told
};

int ImageReport(void* user, int percent, uint64_t done, uint64_t total, int secondsRemaining) {
    auto* reports = static_cast<ImageReports*>(user);
    if (reports->cancel && reports->cancel->Cancelled()) return CancelCode;
    if (*reports->sink) {
        RunProgress progress;
        progress.stage = RunStage::Imaging;
        progress.percent = percent;
        progress.secondsLeft = secondsRemaining;
        progress.done = done;
        progress.total = total;
        progress.rescuePhase = reports->rescue.phase;
        progress.unreadBytes = reports->rescue.failing;
        (*reports->sink)(progress);
    }
    return 0;
}

}  // namespace

int CreateImage(const ImageRequest& request, const ProgressSink& sink, const CancelToken* cancel,
                ImageOutcome& outcome) {
    outcome = ImageOutcome{};
    const ScanSource& source = request.source;
    SectorSource reader;
    std::filesystem::path sourcePath;
    int sectorBytes = static_cast<int>(source.bytesPerSector);
    uint64_t start = source.startSector, count = source.sectorCount;
    if (source.isImage) {
        sourcePath = source.image;
        if (int rc = OpenImageSource(source.image, reader); rc != kOk) return outcome.openResult = rc;
        sectorBytes = kImageSectorBytes;
        start = 0;
        count = reader.totalSectors;
    } else {
        DiskLocation location;
        ResolveDisk(source.disk, location);
        sourcePath = location.path;
        if (int rc = OpenDiskSource(reader, source.disk); rc != kOk) return outcome.openResult = rc;
        if (source.partitioned && source.partition == 0) count = reader.totalSectors;
    }
    outcome.sectorBytes = static_cast<uint32_t>(sectorBytes);
    outcome.sectorsTotal = count;
    outcome.problem = CheckImageDestination(request.destination, source, count * sectorBytes, request.skipBad);
    if (outcome.problem != DestinationProblem::None) return kErrInvalidParameter;

    DiskCopyJob job;
    job.skipBad = request.skipBad;
    job.resume = request.resume;
    job.retries = request.retries;
    job.minReadRate = request.minReadRate;
    job.commandLine = request.commandLine;
    ImageReports reports{&sink, cancel, {}};
    reports.rescue.phase = 0;
    job.onRescue = [&reports](const RescueProgress& p) { reports.rescue = p; };
    const int rc =
        job.Copy(reader, sectorBytes, start, count, request.destination, sourcePath, ImageReport, &reports);
    outcome.sectorsCopied = job.bytesWritten / static_cast<uint64_t>(sectorBytes);
    outcome.keptAs = job.keptAs;
    outcome.badRanges = job.badRanges.size();
    // The map goes beside whatever image is left, under that image's name.
    if (request.skipBad && !job.keptAs.empty()) {
        outcome.mapPath = job.keptAs.string() + ".map";
        outcome.mapResult = job.WriteBadSectorMap(outcome.mapPath);
    }
    return rc;
}

}  // namespace kestrune
