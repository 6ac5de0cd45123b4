// Writing below a destination folder without ever following a symbolic link.
//
// A recovery usually runs as root, and its destination may be a folder that other users
// can write to. A link planted there (a "photo" folder that points at /etc, a file named
// like the next recovered file that points at a system file) must not redirect a write.
// These calls take a path whose folders hold no link the user chose (callers resolve the
// destination once with ResolveDestination) and refuse every link on it; a relative path
// is taken from the working folder, which is trusted.
#pragma once

#include <sys/types.h>

#include <filesystem>

namespace kestrune {

// The destination folder the user named, created when missing, with every link in it
// resolved once: the user may name a folder through a link; nothing below it may be one.
int ResolveDestination(const std::filesystem::path& folder, std::filesystem::path& resolved);

// open(path, flags | O_NOFOLLOW | O_CLOEXEC, mode), refusing a link anywhere in path
// (kErrLinkRefused).
int OpenWithoutLinks(const std::filesystem::path& path, int flags, mode_t mode, int& fd);

// A descriptor (O_PATH) of folder, refusing a link anywhere on the way: names opened,
// renamed or removed relative to it stay in that very folder, whatever its path leads to
// later.
int OpenFolderWithoutLinks(const std::filesystem::path& folder, int& fd);

// Creates folder and every missing folder above it, refusing a link anywhere on the way.
int CreateFoldersWithoutLinks(const std::filesystem::path& folder);

// Removes a plain file, or renames it inside its own folder; a link is refused.
int RemoveFileWithoutLinks(const std::filesystem::path& path);
int RenameFileWithoutLinks(const std::filesystem::path& from, const std::filesystem::path& to);

// Writes bytes as the file path, whole or not at all: into a new file beside it that this
// call creates (".NAME.XXXXXX", exclusively, never through a link), synced to disk, then
// renamed over path. A link or file already at path is replaced, never written through;
// the folder is the caller's (a path the user named may pass through links).
int WriteFileWhole(const std::filesystem::path& path, const void* bytes, size_t length);

// Creates path as a new file, exclusively (O_CREAT | O_EXCL), refusing a link anywhere on
// it; kErrAlreadyExists when the name is taken.
int CreateNewFileWithoutLinks(const std::filesystem::path& path, mode_t mode, int& fd);

// True when path itself is a symbolic link (a dangling one too).
bool IsSymbolicLink(const std::filesystem::path& path);

// path made absolute, or the nearest folder above it that exists (a destination not made
// yet lies on the file system of its first existing ancestor); empty when none does.
std::filesystem::path NearestExistingPath(const std::filesystem::path& path);

}  // namespace kestrune
