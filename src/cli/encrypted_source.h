// Encrypted sources on the command line: a LUKS volume is opened with the passphrase in
// --key-file (or asked for on a terminal, without echo) and read decrypted; one that
// cannot be opened, and a BitLocker volume, are refused with why, never read as random
// bytes.
#pragma once

#include <iosfwd>
#include <string>

#include "session/scan_source.h"

namespace kestrune::cli {

// Leaves an unencrypted target as it is; unlocks an encrypted one in place. The exit code:
// 0, or 3 for a volume that cannot be opened (a wrong passphrase, none given, BitLocker).
int UnlockIfEncrypted(ScanSource& target, const std::string& keyFile, std::ostream& err);

}  // namespace kestrune::cli
