#pragma once

// What the sealed vault fuzzer and its replay hold the reader to.
#include "seal/SealedVault.h"
#include "vault/SealedEntries.h"
#include "vault/VaultFormat.h"

#include <QtEndian>

#include <sodium.h>

#include <string>

namespace sealedfuzzing {

// The password of tests/data/sealed-corpus, and bounds that keep a
// derivation to milliseconds (the stored files use one pass over 64 KiB).
inline const QString kPassword = QStringLiteral("fuzz");
inline const sealedvault::ParamBounds kBounds{sealedvault::ParamBounds::accepted().least,
                                              sealedvault::SealParams{2, 1024 * 1024}};

// Empty when the reader behaved: NotSealed exactly when the file is neither
// sealed nor sealed but for a damaged magic, refusals with nothing but a
// reason, and Ok only with bytes that the key from opening seals again and
// that open back the same, and whose entries are those read while opening.
inline std::string check(QByteArrayView file) {
    using namespace sealedvault;
    const Unsealed u = unseal(file, kPassword, kBounds);
    if ((u.outcome == Outcome::NotSealed) == (isSealed(file) || isSealedButForItsMagic(file)))
        return "NotSealed disagrees with isSealed() and isSealedButForItsMagic()";
    if (!u.ok())
        return u.plain.isEmpty() && u.key.isNull() &&
                       (u.outcome == Outcome::NotSealed || !u.reason.isEmpty())
                   ? std::string()
                   : "a refusal came with bytes or a key, or without a reason";
    const Unsealed again = unseal(seal(u.plain, u.key), kPassword, kBounds);
    if (unsealWithKey(file, u.key).plain != u.plain || again.plain != u.plain)
        return "the opened bytes do not seal and open again the same";
    const sealedentries::Opened read = sealedentries::openWithKey(file.toByteArray(), u.key);
    if (!read.ok() || vaultformat::savedFile(QString(), read.entries) !=
                          vaultformat::savedFile(QString(), EntryStore::fromFile(u.plain)))
        return "the entries read while opening are not those of the opened bytes";
    return {};
}

// check() of the file as it is and with its header's checksum made right, as
// a hostile writer would: random changes to a header otherwise stop at the
// checksum, and the rules after it would go unexercised. The checksum is
// where the version the file says puts it; with version 2 the plain size is
// made to fit the file's size as well where some size can, so that the
// chunks' tags are reached.
inline std::string checkBoth(QByteArrayView file) {
    using namespace sealedvault::layout;
    std::string failure = check(file);
    const bool version1 = file.size() > kVersionAt && quint8(file[kVersionAt]) == v1::kVersion;
    const qsizetype checksumAt = version1 ? v1::kChecksumAt : kChecksumAt;
    if (failure.empty() && file.size() >= checksumAt + kChecksumSize) {
        QByteArray fixed = file.toByteArray();
        auto* d = reinterpret_cast<unsigned char*>(fixed.data());
        const auto chunkSize = qFromLittleEndian<quint32>(d + kChunkSizeAt);
        if (!version1 && chunkSize > 0 && fixed.size() > kHeaderSize) {
            // The plain size P for which header, tags and P bytes are the file.
            const quint64 rest = quint64(fixed.size() - kHeaderSize);
            for (quint64 chunks = 1; chunks * kTagSize <= rest; ++chunks) {
                const quint64 plain = rest - chunks * kTagSize;
                if (sealedvault::layout::chunkCount(plain, chunkSize) == chunks) {
                    qToLittleEndian<quint64>(plain, d + kPlainSizeAt);
                    break;
                }
            }
        }
        crypto_generichash(d + checksumAt, kChecksumSize, d, static_cast<size_t>(checksumAt),
                           nullptr, 0);
        failure = check(fixed);
    }
    return failure;
}

} // namespace sealedfuzzing
