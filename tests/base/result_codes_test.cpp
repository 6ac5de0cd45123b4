#include "base/result_codes.h"

#include <gtest/gtest.h>

#include <cerrno>

namespace kestrune {
namespace {

TEST(ResultCodes, ErrnoBecomesTheProgramsCodes) {
    EXPECT_EQ(FromErrno(0), kOk);
    EXPECT_EQ(FromErrno(ENOENT), kErrFileNotFound);
    EXPECT_EQ(FromErrno(EACCES), kErrAccessDenied);
    EXPECT_EQ(FromErrno(EPERM), kErrAccessDenied);
    EXPECT_EQ(FromErrno(ENOMEM), kErrNotEnoughMemory);
    EXPECT_EQ(FromErrno(EROFS), kErrWriteProtect);
    EXPECT_EQ(FromErrno(EINVAL), kErrInvalidParameter);
    EXPECT_EQ(FromErrno(ENOSPC), kErrDiskFull);
    EXPECT_EQ(FromErrno(EEXIST), kErrAlreadyExists);
    EXPECT_EQ(FromErrno(ENAMETOOLONG), kErrFilenameTooLong);
    EXPECT_EQ(FromErrno(ENOLINK), kErrnoFlag | ENOLINK) << "unknown values keep their number";
}

TEST(ResultCodes, EveryCodeHasAnEnglishText) {
    for (int code : {kOk, kErrFileNotFound, kErrPathNotFound, kErrTooManyOpenFiles, kErrAccessDenied,
                     kErrInvalidHandle, kErrNotEnoughMemory, kErrInvalidData, kErrWriteProtect,
                     kErrNotReady, kErrClusterTooLarge, kErrReadFault, kErrSharingViolation,
                     kErrHandleEof, kErrNotSupported, kErrFileExists, kErrInvalidParameter,
                     kErrBrokenPipe, kErrDiskFull, kErrInsufficientBuffer, kErrDirNotEmpty, kErrBusy,
                     kErrAlreadyExists, kErrFilenameTooLong, kErrDirectory, kErrIoDevice,
                     kErrNoMediaInDrive, kErrTimeout, kErrNotMftRecord, kErrAttributeNotFound,
                     kErrDataNotResident, kErrUnsupportedCompression, kErrFileCorrupt, kErrFileEncrypted,
                     CancelCode}) {
        EXPECT_EQ(ResultText(code).find("Unknown"), std::string::npos) << code;
    }
    EXPECT_NE(ResultText(FromErrno(ENOLINK)).find("System error"), std::string::npos);
    EXPECT_EQ(ResultText(123456), "Unknown error 123456.");
}

}  // namespace
}  // namespace kestrune
