// Result codes of the whole program.
//
// Every operation answers an int: 0 for success, otherwise a Windows-numbered
// error code (the numbers stored logs and callers already know), one of the
// engines' own negative codes, or CancelCode. errno values are translated at the
// device boundary by FromErrno, so nothing above this layer sees an errno.
#pragma once

#include <string>

namespace kestrune {

inline constexpr int kOk = 0;
inline constexpr int kErrFileNotFound = 2;
inline constexpr int kErrPathNotFound = 3;
inline constexpr int kErrTooManyOpenFiles = 4;
inline constexpr int kErrAccessDenied = 5;
inline constexpr int kErrInvalidHandle = 6;
inline constexpr int kErrNotEnoughMemory = 8;
inline constexpr int kErrInvalidData = 13;
inline constexpr int kErrWriteProtect = 19;
inline constexpr int kErrNotReady = 21;
inline constexpr int kErrClusterTooLarge = 29;  // a cluster above 100 MiB
inline constexpr int kErrReadFault = 30;        // a failed or empty read
inline constexpr int kErrSharingViolation = 32;
inline constexpr int kErrHandleEof = 38;
inline constexpr int kErrNotSupported = 50;
inline constexpr int kErrFileExists = 80;
inline constexpr int kErrInvalidParameter = 87;  // also: a read past the end of the source
inline constexpr int kErrBrokenPipe = 109;
inline constexpr int kErrDiskFull = 112;
inline constexpr int kErrInsufficientBuffer = 122;
inline constexpr int kErrDirNotEmpty = 145;
inline constexpr int kErrBusy = 170;
inline constexpr int kErrAlreadyExists = 183;
inline constexpr int kErrFileTooLarge = 223;   // past the destination's file-size limit
inline constexpr int kErrFilenameTooLong = 206;
inline constexpr int kErrUnsupportedCompression = 618;  // a compression method we cannot read
inline constexpr int kErrDirectory = 267;  // the path names a folder, not a file
inline constexpr int kErrIoDevice = 1117;
inline constexpr int kErrNoMediaInDrive = 1112;
inline constexpr int kErrLinkRefused = 1921;  // a symbolic link where a write would go
// The file's data cannot be given back as the file: a run list that ends before the
// file does, or a compressed unit that does not decompress.
inline constexpr int kErrFileCorrupt = 1392;
inline constexpr int kErrTimeout = 1460;
// An EFS-encrypted file: only its encrypted bytes could be saved.
inline constexpr int kErrFileEncrypted = 6002;

// The engines' own codes.
inline constexpr int kErrNotMftRecord = -1;
inline constexpr int kErrAttributeNotFound = -100;
inline constexpr int kErrDataNotResident = -101;

// The value a progress callback returns after the user cancelled; operations pass
// it back unchanged so callers can tell a cancel from a failure.
inline constexpr int CancelCode = -9527;

// errno values with no Windows counterpart keep their number under this flag.
inline constexpr int kErrnoFlag = 0x20000000;

// Translates an errno value into the program's result code.
int FromErrno(int errnoValue);

// The English text of a result code; every code the program produces has one.
std::string ResultText(int code);

}  // namespace kestrune
