#pragma once

// What the sealed vault fuzzer and its replay hold the reader to, for any
// bytes opened with the password below.
#include "vault/SealedVault.h"

#include <QString>

#include <sodium.h>

#include <string>

namespace sealedfuzzing {

// The seeds in tests/data/sealed-corpus are sealed with this password.
inline const QString kPassword = QStringLiteral("fuzz");

// A few milliseconds per derivation at most; the seeds use one pass over
// 64 KiB. Headers asking for more are refused before any derivation.
inline sealedvault::ParamBounds bounds() {
    return {sealedvault::ParamBounds::accepted().least, sealedvault::SealParams{2, 1024 * 1024}};
}

// Empty when the reader behaved: NotSealed exactly for what isSealed()
// rejects, a reason and nothing else with every refusal, and Ok only with
// bytes that seal again under the key from opening and open back the same.
inline std::string check(QByteArrayView file) {
    using namespace sealedvault;
    const Unsealed u = unseal(file, kPassword, bounds());
    if ((u.outcome == Outcome::NotSealed) == isSealed(file))
        return "NotSealed disagrees with isSealed()";
    if (!u.ok()) {
        if (!u.plain.isEmpty() || !u.key.isNull())
            return "a refusal came with bytes or a key";
        if (u.outcome != Outcome::NotSealed && u.reason.isEmpty())
            return "a refusal came without a reason";
        return {};
    }
    if (u.key.isNull())
        return "opened without a key for the next save";
    if (unsealWithKey(file, u.key).plain != u.plain)
        return "the key from opening does not open the same file";
    const QByteArray again = seal(u.plain, u.key);
    const Unsealed reopened = unseal(again, kPassword, bounds());
    if (!reopened.ok() || reopened.plain != u.plain)
        return "the opened bytes do not seal and open again";
    return {};
}

// The file with its header's checksum made right, as a hostile writer would:
// random changes to a header otherwise stop at the checksum, and the reader's
// later rules (derivation, bounds, check value) would go unexercised. Files
// too short for a checksum come back as they are.
inline QByteArray checksummed(QByteArrayView file) {
    using namespace sealedvault::layout;
    QByteArray out = file.toByteArray();
    if (out.size() >= kChecksumAt + kChecksumSize)
        crypto_generichash(reinterpret_cast<unsigned char*>(out.data()) + kChecksumAt,
                           kChecksumSize, reinterpret_cast<const unsigned char*>(out.constData()),
                           kChecksumAt, nullptr, 0);
    return out;
}

// check() of the file as it is and with its checksum made right.
inline std::string checkBoth(QByteArrayView file) {
    std::string failure = check(file);
    if (failure.empty() && sealedvault::isSealed(file))
        failure = check(checksummed(file));
    return failure;
}

} // namespace sealedfuzzing
