#include "base/result_codes.h"

#include <cerrno>
#include <cstring>
#include <string_view>

namespace kestrune {

namespace {

struct ErrnoMapping {
    int errnoValue;
    int code;
};

constexpr ErrnoMapping kErrnoTable[] = {
    {ENOENT, kErrFileNotFound},     {ENOTDIR, kErrPathNotFound},
    {EMFILE, kErrTooManyOpenFiles}, {ENFILE, kErrTooManyOpenFiles},
    {EACCES, kErrAccessDenied},     {EPERM, kErrAccessDenied},
    {EBADF, kErrInvalidHandle},     {ENOMEM, kErrNotEnoughMemory},
    {EROFS, kErrWriteProtect},      {EIO, kErrReadFault},
    {ENXIO, kErrNotReady},          {ENODEV, kErrNotReady},
    {ENOMEDIUM, kErrNoMediaInDrive}, {ETXTBSY, kErrSharingViolation},
    {EOPNOTSUPP, kErrNotSupported}, {ENOTTY, kErrNotSupported},
    {EINVAL, kErrInvalidParameter}, {EFBIG, kErrFileTooLarge},
    {ESPIPE, kErrInvalidParameter}, {EOVERFLOW, kErrInvalidParameter},
    {EPIPE, kErrBrokenPipe},        {ENOSPC, kErrDiskFull},
    {EDQUOT, kErrDiskFull},         {ENOTEMPTY, kErrDirNotEmpty},
    {EBUSY, kErrBusy},              {EEXIST, kErrAlreadyExists},
    {ENAMETOOLONG, kErrFilenameTooLong}, {EISDIR, kErrDirectory},
    {ETIMEDOUT, kErrTimeout},       {ELOOP, kErrLinkRefused},
};

struct CodeText {
    int code;
    std::string_view text;
};

constexpr CodeText kTextTable[] = {
    {kOk, "The operation completed successfully."},
    {kErrFileNotFound, "The system cannot find the file specified."},
    {kErrPathNotFound, "The system cannot find the path specified."},
    {kErrTooManyOpenFiles, "The system cannot open the file: too many files are open."},
    {kErrAccessDenied, "Access is denied."},
    {kErrInvalidHandle, "The handle is invalid."},
    {kErrNotEnoughMemory, "Not enough memory resources are available to process this command."},
    {kErrInvalidData, "The data is invalid."},
    {kErrWriteProtect, "The media is write protected."},
    {kErrNotReady, "The device is not ready."},
    {kErrClusterTooLarge, "The cluster size of the volume is larger than 100 MiB."},
    {kErrReadFault, "The system cannot read from the specified device."},
    {kErrSharingViolation,
     "The process cannot access the file because it is being used by another process."},
    {kErrHandleEof, "Reached the end of the file."},
    {kErrNotSupported, "The request is not supported."},
    {kErrFileExists, "The file exists."},
    {kErrInvalidParameter, "The parameter is incorrect."},
    {kErrBrokenPipe, "The pipe has been ended."},
    {kErrDiskFull, "There is not enough space on the disk."},
    {kErrInsufficientBuffer, "The data area passed to a system call is too small."},
    {kErrDirNotEmpty, "The directory is not empty."},
    {kErrBusy, "The requested resource is in use."},
    {kErrAlreadyExists, "Cannot create a file when that file already exists."},
    {kErrFilenameTooLong, "The filename or extension is too long."},
    {kErrDirectory, "The directory name is invalid."},
    {kErrUnsupportedCompression, "The file is compressed with a method this program cannot read."},
    {kErrFileCorrupt, "The file's data is damaged on the medium and cannot be read back as the file."},
    {kErrFileEncrypted,
     "The file is encrypted (EFS) and cannot be read without its owner's keys; only its encrypted "
     "bytes were saved, under a name ending in .efs-encrypted."},
    {kErrNoMediaInDrive, "No media in drive."},
    {kErrIoDevice, "The request could not be performed because of an I/O device error."},
    {kErrTimeout, "This operation returned because the timeout period expired."},
    {kErrFileTooLarge, "The file is too large for the destination's file system."},
    {kErrLinkRefused,
     "A symbolic link stands where the file or folder was to be written; it was not followed."},
    {kErrNotMftRecord, "The data is not an NTFS file record."},
    {kErrAttributeNotFound, "The NTFS attribute was not found."},
    {kErrDataNotResident, "The NTFS data attribute is not resident."},
    {CancelCode, "The operation was cancelled by the user."},
};

}  // namespace

int FromErrno(int errnoValue) {
    if (errnoValue == 0) return kOk;
    for (const auto& m : kErrnoTable)
        if (m.errnoValue == errnoValue) return m.code;
    return kErrnoFlag | errnoValue;
}

std::string ResultText(int code) {
    for (const auto& t : kTextTable)
        if (t.code == code) return std::string(t.text);
    if (code > 0 && (code & kErrnoFlag) != 0) {
        const int errnoValue = code & ~kErrnoFlag;
        return std::string("System error: ") + std::strerror(errnoValue) + ".";
    }
    return "Unknown error " + std::to_string(code) + ".";
}

}  // namespace kestrune
