// Outcomes of importing a key brought from elsewhere, and their exit codes.
#pragma once

#include <string>

enum class ImportResult {
    Ok,
    InputUnreadable,   // the file cannot be read
    InputRefused,      // malformed, not a private key, not RSA, encrypted PEM or PKCS#8, inconsistent key
    KeyTooSmall,       // under 2048 bits
    PasswordNeeded,    // a PFX and no way to get its password
    PasswordWrong,     // the PFX does not open with the password given
    CertOutNeedsPfx,   // --cert-out, but the input carries no certificate
    Exists,            // a key of that name is there already (damaged or not)
    Failed,            // platform failure: BCrypt, DPAPI, file system
};

struct ImportOutcome {
    ImportResult result = ImportResult::Ok;
    std::string detail;  // what was wrong, for the message
};

inline ImportOutcome Refuse(ImportResult result, std::string detail)
{
    return ImportOutcome{result, std::move(detail)};
}
