#include "sync/VaultCopy.h"

namespace vaultcopy {

Opened open(QByteArray file, QStringView password, const sealedvault::SealKey* known) {
    Opened o;
    if (!sealedvault::isSealed(file)) {
        if (sealedvault::isSealedButForItsMagic(file)) {
            o.outcome = Outcome::Damaged;
            o.why = QStringLiteral("its first bytes were changed");
            return o;
        }
        o.plain = std::move(file);
        return o;
    }
    o.sealed = true;
    sealedvault::Unsealed u;
    // Sealed under the key in hand (the same vault, saved elsewhere since):
    // no derivation. Anything else, a new salt after a password change
    // included, is opened with the password.
    if (known && !known->isNull()) {
        u = sealedvault::unsealWithKey(file, *known);
        if (u.outcome != sealedvault::Outcome::WrongPassword) {
            o.plain = std::move(u.plain);
            o.record = std::move(u.record);
            if (!u.ok()) {
                o.outcome = Outcome::Damaged;
                o.why = u.reason;
            }
            return o;
        }
    }
    if (password.isEmpty()) {
        o.outcome = Outcome::WrongPassword;
        return o;
    }
    u = sealedvault::unseal(std::move(file), password);
    switch (u.outcome) {
    case sealedvault::Outcome::Ok:
        o.plain = std::move(u.plain);
        o.record = std::move(u.record);
        o.key = std::move(u.key);
        break;
    case sealedvault::Outcome::WrongPassword:
        o.outcome = Outcome::WrongPassword;
        break;
    case sealedvault::Outcome::NotSealed:
    case sealedvault::Outcome::Damaged:
        o.outcome = Outcome::Damaged;
        o.why = u.reason;
        break;
    case sealedvault::Outcome::ParametersRefused:
    case sealedvault::Outcome::CannotDerive:
        o.outcome = Outcome::Refused;
        o.why = u.reason;
        break;
    }
    return o;
}

} // namespace vaultcopy
