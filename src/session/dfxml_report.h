// The report of a scan, and of a recovery, in Digital Forensics XML: the format The Sleuth
// Kit's fiwalk and PhotoRec's report.xml write, which forensic tools read. One
// <fileobject> per found file: its name with its folder, size, times, how it was found,
// where its data lies on the source (byte runs, read back they give the file) and how
// much of it no live file holds; after a recovery, where it was written and its SHA-256.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <iosfwd>
#include <string>
#include <vector>

#include "scanlog/data_map.h"
#include "scanlog/recovered_file.h"
#include "scanlog/scan_record.h"

namespace kestrune {

class ScanRun;
struct ScanSource;

struct ReportedFile {
    ScanRecord record{};
    std::string folder;     // "A/B/", as ScanRun::RecordPath gives it
    bool mapped = false;    // map holds where the data lies
    DataMap map;
    int recoverable = -1;   // percent, -1 unknown
    std::string writtenTo;  // after a recovery: the file written, or empty
    std::string sha256;     // of the file written
    std::string problem;    // why it was not written
    std::string partialTo;  // where what could be read of it was kept
    std::vector<UnreadableRange> unreadable;  // its bytes the source could not give
};

// Writes the report as it goes, so that a scan of millions of files needs no memory for it.
class DfxmlWriter {
public:
    explicit DfxmlWriter(std::ostream& out) : out_(out) {}
    // The header: the program and its version, the command and the source scanned.
    void Begin(const ScanSource& source, const std::string& version, const std::string& commandLine);
    // The volume (or area) one run scanned, with its files in between.
    void BeginVolume(const ScanRun& run);
    void File(const ReportedFile& file);
    void EndVolume();
    void End();

private:
    std::ostream& out_;
};

// What a recovery or a listing reports on one found file, worked out through the run.
ReportedFile DescribeFile(ScanRun& run, const ScanRecord& record);

// Writes the volume one run scanned with the files found there, in order: where each was
// written and its digest (written[i] for found[i], when given), or why it was not. keep,
// when given, chooses files by themselves and their recoverable share. Returns the files
// reported.
uint64_t ReportVolume(DfxmlWriter& writer, ScanRun& run, const std::vector<ScanRecord>& found,
                      const std::vector<RecoveredFile>& written = {},
                      const std::function<bool(const ScanRecord&, int recoverable)>& keep = {});

// Notes where a recovery wrote the file and its digest, read back from the destination,
// or why it was not written.
void NoteWritten(ReportedFile& file, const RecoveredFile& written);

// Writes a report into file through write; the file appears only once it is written
// whole and on disk, so that a full disk never leaves a cut report that looks complete.
// Returns 0 or why it could not be written.
int WriteReportFile(const std::filesystem::path& file, const std::function<void(std::ostream&)>& write);

// Text as XML character data: & < > " escaped; bytes that are not UTF-8, and characters
// XML does not allow, replaced by U+FFFD.
std::string XmlText(std::string_view text);

}  // namespace kestrune
