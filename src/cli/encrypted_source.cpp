#include "cli/encrypted_source.h"

#include <termios.h>
#include <unistd.h>

#include <fstream>
#include <iostream>
#include <iterator>

#include "base/result_codes.h"
#include "cli/exit_codes.h"
#include "disk/encrypted_volumes.h"

namespace kestrune::cli {

namespace {

// The passphrase from keyFile (its whole content, as cryptsetup takes a key file), else
// from the terminal with echo off; false when there is neither.
bool ReadPassphrase(const std::string& keyFile, const std::string& prompt, std::string& out, std::string& error) {
    WipeSecret(out);
    if (!keyFile.empty()) {
        std::ifstream in(keyFile, std::ios::binary);
        if (!in) {
            error = "cannot read the key file " + keyFile;
            return false;
        }
        out.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
        return true;
    }
    if (!::isatty(STDIN_FILENO)) {
        error = "give its passphrase with --key-file FILE (or run kestrune on a terminal to be asked for it)";
        return false;
    }
    std::cerr << prompt << std::flush;
    termios saved{};
    const bool quiet = ::tcgetattr(STDIN_FILENO, &saved) == 0;
    if (quiet) {
        termios hidden = saved;
        hidden.c_lflag &= ~static_cast<tcflag_t>(ECHO);
        ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &hidden);
    }
    std::getline(std::cin, out);
    if (quiet) ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &saved);
    std::cerr << "\n";
    return true;
}

}  // namespace

int UnlockIfEncrypted(ScanSource& target, const std::string& keyFile, std::ostream& err) {
    const std::string encryption = EncryptionOfSource(target);
    if (encryption.empty()) return kExitOk;
    const std::string name = target.text + (target.partition ? " partition " + std::to_string(target.partition) : "");
    if (encryption == "BitLocker") {
        err << "kestrune: " << name
            << " is a BitLocker encrypted volume: unlock it first (in Windows, or with dislocker), then scan the "
               "unlocked volume\n";
        return kExitSourceError;
    }
    std::string passphrase, error;
    if (!ReadPassphrase(keyFile, "Passphrase for the " + encryption + " volume " + name + ": ", passphrase, error)) {
        err << "kestrune: " << name << " is a " << encryption << " encrypted volume: " << error << "\n";
        return kExitSourceError;
    }
    const int rc = UnlockSource(target, passphrase, error);
    WipeSecret(passphrase);
    if (rc != kOk) {
        err << "kestrune: cannot open the " << encryption << " volume " << name << ": " << error << "\n";
        return kExitSourceError;
    }
    return kExitOk;
}

}  // namespace kestrune::cli
