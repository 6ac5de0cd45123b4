// Names of scan logs and how a stored one is found again.
#pragma once

#include <cstdint>
#include <ctime>
#include <filesystem>
#include <string>

namespace kestrune {

inline constexpr const char* kQuickLogPrefix = "Fast_";
inline constexpr const char* kNtfsFormattedLogPrefix = "Pro_Ntfs_";
inline constexpr const char* kFatFormattedLogPrefix = "Pro_Fat_";
inline constexpr const char* kExfatFormattedLogPrefix = "Pro_Exfat_";
inline constexpr const char* kExtFormattedLogPrefix = "Pro_Ext_";
inline constexpr const char* kSignatureLogPrefix = "File_Type_";

// prefix + "%lld_%d%d%d%d%2d" with the start sector and the local year, month, day, hour
// and minute: no padding except a blank before a one-digit minute.
std::string MakeLogName(const char* prefix, uint64_t startSector, const std::tm& localTime);
// The same at the current local time.
std::string MakeLogName(const char* prefix, uint64_t startSector);

// The first file in folder, in listing order and skipping names that begin with ".",
// whose name contains prefix. name is left alone when there is none; returns the
// listing's error when the folder cannot be listed.
int FindLogByPrefix(const std::string& prefix, const std::filesystem::path& folder, std::string& name);

}  // namespace kestrune
