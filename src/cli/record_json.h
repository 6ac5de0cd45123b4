// Found files as JSON objects, one per line.
#pragma once

#include <string>

#include "scanlog/recovered_file.h"
#include "scanlog/scan_record.h"

namespace kestrune::cli {

// {"recordId":..,"name":..,"folder":"A/B","size":..,"engine":"Signature",...}; times in
// ISO 8601 UTC or null when unknown, recoverable (percent) null when unknown. Bytes that
// are not UTF-8 are replaced.
// layoutGuessed: the file's clusters are one of several layouts its metadata allows.
std::string RecordJson(const ScanRecord& record, const std::string& folder, int recoverable = -1,
                       bool layoutGuessed = false);

const char* EngineKindName(uint32_t engineKind);

// {"name":..,"size":..,"outcome":"written"|"partial"|"failed"|"alreadyThere"|"cancelled",
// "target":..,"partial":..,"status":..,"unreadable":[{"fileOffset":..,"length":..}]}: what
// a recovery did with one file.
std::string RecoveredJson(const RecoveredFile& file);

}  // namespace kestrune::cli
