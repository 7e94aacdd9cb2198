#pragma once

// Sealed files changed as a hostile writer would change them, for the vault
// tests and the command line's: the header's unkeyed checksum made right, so
// that only the key can tell.
#include "seal/SealedVault.h"

#include <QByteArray>

#include <sodium.h>

namespace testsupport {

// The header's checksum made right, as a hostile writer would.
inline QByteArray checksummed(QByteArray file) {
    using namespace sealedvault::layout;
    crypto_generichash(reinterpret_cast<unsigned char*>(file.data()) + kChecksumAt, kChecksumSize,
                       reinterpret_cast<const unsigned char*>(file.data()), kChecksumAt, nullptr,
                       0);
    return file;
}

// The file changed as a hostile writer would: with its checksum made right.
inline QByteArray forged(QByteArray file, qsizetype at, const QByteArray& bytes) {
    file.replace(at, bytes.size(), bytes);
    return checksummed(file);
}

} // namespace testsupport
