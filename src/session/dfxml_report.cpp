#include "session/dfxml_report.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <ctime>
#include <ostream>
#include <sstream>

#include "base/display_text.h"
#include "base/file_time.h"
#include "base/result_codes.h"
#include "disk/link_free_paths.h"
#include "output/sha256.h"
#include "scanlog/file_types.h"
#include "session/finding_filter.h"
#include "session/scan_mode.h"
#include "session/scan_run.h"

namespace kestrune {

namespace {

constexpr const char* kReplacement = "\xEF\xBF\xBD";

// The length of the UTF-8 sequence at text[at] and its code point; 0 when it is not one.
size_t Utf8Sequence(std::string_view text, size_t at, uint32_t& point) {
    const auto byte = [&](size_t i) { return static_cast<uint8_t>(text[i]); };
    const uint8_t lead = byte(at);
    size_t length = lead < 0x80 ? 1 : (lead >> 5) == 0x6 ? 2 : (lead >> 4) == 0xE ? 3 : (lead >> 3) == 0x1E ? 4 : 0;
    if (length == 0 || at + length > text.size()) return 0;
    point = length == 1 ? lead : lead & (0x7F >> length);
    for (size_t i = 1; i < length; ++i) {
        if ((byte(at + i) & 0xC0) != 0x80) return 0;
        point = point << 6 | (byte(at + i) & 0x3F);
    }
    // Overlong forms, surrogates and points past Unicode are not UTF-8.
    static constexpr uint32_t kLeast[] = {0, 0, 0x80, 0x800, 0x10000};
    if (point < kLeast[length] || (point >= 0xD800 && point <= 0xDFFF) || point > 0x10FFFF) return 0;
    return length;
}

void Element(std::ostream& out, int depth, const char* name, const std::string& text) {
    out << std::string(2 * depth, ' ') << '<' << name << '>' << XmlText(text) << "</" << name << ">\n";
}

}  // namespace

std::string XmlText(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (size_t at = 0; at < text.size();) {
        uint32_t point = 0;
        const size_t length = Utf8Sequence(text, at, point);
        const bool allowed = length != 0 && (point >= 0x20 || point == '\t' || point == '\n' || point == '\r') &&
                             point != 0xFFFE && point != 0xFFFF;
        if (!allowed) {
            out += kReplacement;
            at += length ? length : 1;
            continue;
        }
        switch (point) {
            case '&': out += "&amp;"; break;
            case '<': out += "&lt;"; break;
            case '>': out += "&gt;"; break;
            case '"': out += "&quot;"; break;
            default: out.append(text.substr(at, length));
        }
        at += length;
    }
    return out;
}

void DfxmlWriter::Begin(const ScanSource& source, const std::string& version, const std::string& commandLine) {
    const uint64_t sectorBytes = source.bytesPerSector ? source.bytesPerSector : 512;
    out_ << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
         << "<dfxml xmlns=\"http://www.forensicswiki.org/wiki/Category:Digital_Forensics_XML\"\n"
         << "       xmlns:dc=\"http://purl.org/dc/elements/1.1/\"\n"
         << "       xmlns:kestrune=\"https://kestrune.org/dfxml\" version=\"1.2.0\">\n"
         << "  <metadata>\n    <dc:type>" << (source.isImage ? "Disk Image" : "Disk") << "</dc:type>\n  </metadata>\n"
         << "  <creator version=\"1.0\">\n";
    Element(out_, 2, "program", "kestrune");
    Element(out_, 2, "version", version);
    out_ << "    <execution_environment>\n";
    Element(out_, 3, "command_line", commandLine);
    Element(out_, 3, "start_time", IsoFileTime(FileTimeFromUnix(static_cast<int64_t>(std::time(nullptr)))));
    out_ << "    </execution_environment>\n  </creator>\n  <source>\n";
    Element(out_, 2, "image_filename", source.isImage ? source.image.string() : source.text);
    Element(out_, 2, "sectorsize", std::to_string(sectorBytes));
    std::error_code ec;
    if (const uintmax_t size = source.isImage ? std::filesystem::file_size(source.image, ec) : 0; size && !ec)
        Element(out_, 2, "image_size", std::to_string(size));
    out_ << "  </source>\n";
}

void DfxmlWriter::BeginVolume(const ScanRun& run) {
    const ScanSource& source = run.source();
    const uint64_t sectorBytes = source.bytesPerSector ? source.bytesPerSector : 512;
    out_ << "  <volume offset=\"" << source.startSector * sectorBytes << "\">\n";
    Element(out_, 2, "partition_offset", std::to_string(source.startSector * sectorBytes));
    Element(out_, 2, "sector_size", std::to_string(sectorBytes));
    if (!run.fileSystem().empty()) Element(out_, 2, "ftype_str", run.fileSystem());
    if (source.partition) Element(out_, 2, "kestrune:partition", std::to_string(source.partition));
    out_ << "    <kestrune:scan>\n";
    Element(out_, 3, "kestrune:mode", ScanModeName(run.mode()));
    if (run.startedAt()) Element(out_, 3, "kestrune:start_time", IsoFileTime(FileTimeFromUnix(run.startedAt())));
    Element(out_, 3, "kestrune:scan_folder", run.runFolder());
    out_ << "    </kestrune:scan>\n";
}

void DfxmlWriter::File(const ReportedFile& file) {
    const ScanRecord& r = file.record;
    out_ << "    <fileobject>\n";
    Element(out_, 3, "filename", file.folder + std::string(RecordName(r)));
    Element(out_, 3, "filesize", std::to_string(r.fileSize));
    // A file found was deleted or lost, its data allocated to no live file, unless it is
    // a file that exists, listed on request.
    if (ExistingFile(r)) Element(out_, 3, "alloc", "1");
    else Element(out_, 3, "unalloc", "1");
    if (r.fsId != 0 && FoundByOf(r) != FoundBy::Carved) Element(out_, 3, "inode", std::to_string(r.fsId));
    if (r.writeTime) Element(out_, 3, "mtime", IsoFileTime(r.writeTime));
    if (r.createTime) Element(out_, 3, "crtime", IsoFileTime(r.createTime));
    if (r.accessTime) Element(out_, 3, "atime", IsoFileTime(r.accessTime));
    Element(out_, 3, "kestrune:found_by", FoundByName(FoundByOf(r)));
    Element(out_, 3, "kestrune:content_ok", r.contentOk ? "1" : "0");
    if (file.recoverable >= 0) Element(out_, 3, "kestrune:recoverable", std::to_string(file.recoverable));
    if (r.engineKind == Signature) Element(out_, 3, "kestrune:end_confirmed", CarvedEndGuessed(r) ? "0" : "1");
    if (file.map.layoutGuessed) Element(out_, 3, "kestrune:layout_guessed", "1");
    if (file.mapped) {
        out_ << "      <byte_runs>\n";
        for (const ByteRun& run : file.map.runs)
            out_ << "        <byte_run file_offset=\"" << run.fileOffset << "\" img_offset=\"" << run.sourceOffset
                 << "\" len=\"" << run.length << "\"/>\n";
        out_ << "      </byte_runs>\n";
    }
    if (!file.writtenTo.empty()) Element(out_, 3, "kestrune:written_to", file.writtenTo);
    if (!file.sha256.empty()) out_ << "      <hashdigest type=\"sha256\">" << file.sha256 << "</hashdigest>\n";
    if (!file.problem.empty()) Element(out_, 3, "kestrune:problem", file.problem);
    if (!file.partialTo.empty()) Element(out_, 3, "kestrune:partial_written_to", file.partialTo);
    if (!file.unreadable.empty()) {
        out_ << "      <kestrune:unreadable>\n";
        for (const UnreadableRange& range : file.unreadable)
            out_ << "        <kestrune:byte_range file_offset=\"" << range.fileOffset << "\" len=\"" << range.length
                 << "\"/>\n";
        out_ << "      </kestrune:unreadable>\n";
    }
    out_ << "    </fileobject>\n";
}

void DfxmlWriter::EndVolume() { out_ << "  </volume>\n"; }

void DfxmlWriter::End() { out_ << "</dfxml>\n"; }

ReportedFile DescribeFile(ScanRun& run, const ScanRecord& record) {
    ReportedFile file;
    file.record = record;
    run.RecordPath(record, file.folder);
    const int mapped = run.MapData(record, file.map);
    file.mapped = mapped == kOk;
    file.recoverable = run.RecoverableShare(record, mapped, file.map);
    return file;
}

uint64_t ReportVolume(DfxmlWriter& writer, ScanRun& run, const std::vector<ScanRecord>& found,
                      const std::vector<RecoveredFile>& written,
                      const std::function<bool(const ScanRecord&, int recoverable)>& keep) {
    writer.BeginVolume(run);
    uint64_t reported = 0;
    for (size_t i = 0; i < found.size(); ++i) {
        ReportedFile file = DescribeFile(run, found[i]);
        if (keep && !keep(found[i], file.recoverable)) continue;
        if (i < written.size()) NoteWritten(file, written[i]);
        writer.File(file);
        ++reported;
    }
    writer.EndVolume();
    return reported;
}

void NoteWritten(ReportedFile& file, const RecoveredFile& written) {
    if (written.result != kOk) {
        file.problem = written.status;
        file.partialTo = written.partial.string();
        file.unreadable = written.unreadable;
        return;
    }
    file.writtenTo = written.target.string();
    if (int rc = Sha256OfFile(written.target, file.sha256); rc != kOk)
        file.problem = "written, but cannot be read back: " + ResultText(rc);
}

int WriteReportFile(const std::filesystem::path& file, const std::function<void(std::ostream&)>& write) {
    std::ostringstream text;
    write(text);
    const std::string bytes = std::move(text).str();
    return WriteFileWhole(file, bytes.data(), bytes.size());
}

}  // namespace kestrune
