#include "engines/ntfs/stream_records.h"

#include <string>


namespace kestrune {

void AppendStreamRecords(ScanLogFile& log, const NtfsReader& reader, ByteView record, const ListFollower& follow,
                         const ScanRecord& file, uint32_t parent, uint32_t level) {
    for (const DataStream& stream : NamedDataStreams(reader, record, record.size(), &follow)) {
        ScanRecord item = file;
        item.isFolder = 0;
        item.folderDeleted = kDataStreamRecord | (file.folderDeleted & kExistingFile);
        item.fileSize = stream.size;
        if (item.contentOk != kContentEncrypted) item.contentOk = 1;
        SetRecordName(item, std::string(RecordName(file)) + ":" + stream.name);
        if (DataStreamOf(item) != stream.name) continue;  // the whole name does not fit a record
        const uint32_t id = log.AppendCopy(item);
        log.LinkRecord(parent, level, id, file.fsId, nullptr);
    }
}

void AppendLostFolder(ScanLogFile& log, ScanRecord folder, uint32_t number) {
    const std::string name = "LostFolder" + std::to_string(number);
    folder.isFolder = 1;
    folder.contentOk = 1;
    folder.fsId = number;
    SetRecordName(folder, name);
    const uint32_t recordId = log.AppendCopy(folder);
    log.LinkRecord(ntfs::kRootRecord, 0, recordId, number, &name);
}

}  // namespace kestrune
