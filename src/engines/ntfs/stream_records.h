// A found file's alternate data streams (its named $DATA attributes), listed beside it as
// "file:stream" items of their own, so that data kept in a stream is not lost with it.
#pragma once

#include <cstdint>

#include "disk/byte_view.h"
#include "engines/ntfs/data_attribute.h"
#include "scanlog/scan_log_file.h"

namespace kestrune {

// Appends one record per named stream of the file record (fixed up, cut at its bytes in
// use; its extension records found through follow), copied from file's record (a file's
// or a folder's) and linked where it is.
void AppendStreamRecords(ScanLogFile& log, const NtfsReader& reader, ByteView record, const ListFollower& follow,
                         const ScanRecord& file, uint32_t parent, uint32_t level);

// Appends "LostFolder<number>" at the top level, standing for a folder whose record is gone
// or reused, so that the files found in it are kept together. folder gives the drive
// letter, engine kind and cluster size.
void AppendLostFolder(ScanLogFile& log, ScanRecord folder, uint32_t number);

}  // namespace kestrune
