// The names recovered files and folders take on the destination: safe for its file
// system, never "", "." or "..", within 255 bytes, and never an existing name.
#pragma once

#include <cstddef>
#include <filesystem>
#include <string>
#include <string_view>

namespace kestrune {

// The longest file name, in bytes, the file systems a recovery writes into take.
inline constexpr size_t kNameMax = 255;

// Which names the destination's file system takes: Linux ones take any byte but "/" and
// NUL; FAT, exFAT and NTFS (through any driver) also refuse : * ? " < > | \ and controls.
enum class NameRules { Linux, Windows };
NameRules NameRulesFor(const std::filesystem::path& folder);

// A name from the medium as one safe file name: no "/" or NUL, no control characters (nor
// the characters rules refuse), never "", "." or "..", at most 255 bytes (cut at a
// character boundary, keeping the extension when it can).
std::string SafeFileName(std::string_view name, NameRules rules = NameRules::Linux);

// name with suffix put before its extension, cut at a character boundary so that the
// whole fits maxBytes: FitFileName("a.jpg", "(1)", 255) is "a(1).jpg".
std::string FitFileName(std::string_view name, std::string_view suffix, size_t maxBytes);

// path itself when nothing exists there (not even a dangling link), else "name(n).ext"
// with the first n = 1, 2, ... that is free, still within 255 bytes. Only for folders,
// which may be merged into: a file takes its name with PublishWholeFile.
std::filesystem::path UniqueTargetPath(const std::filesystem::path& path);

}  // namespace kestrune
