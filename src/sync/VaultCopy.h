#pragma once

#include "seal/SealedVault.h"

#include <QByteArray>
#include <QString>
#include <QStringView>

// Another copy of a vault (a conflict copy beside it, a version from git),
// opened in the plain form for a merge. A plain copy needs no password; a
// sealed one opens with the vault's master password whatever its salt, or
// at once with the vault's key when it was sealed under that key.
namespace vaultcopy {

enum class Outcome {
    Ok,
    WrongPassword, // sealed, and the master password does not open it
    Damaged,       // sealed and changed outside Keynook, or cut short
    Refused,       // sealed with a key derivation that cannot run here
};

struct Opened {
    Outcome outcome = Outcome::Ok;
    QString why;      // for a person; empty when Ok
    QByteArray plain; // the plain form's bytes, when Ok: wipe them when done
    bool sealed = false;
    QByteArray record; // what a sealed copy has seen (sync/Record.h); empty for none
    // A sealed copy's key, when opening it derived one: a merge written in
    // this copy's place is sealed under it.
    sealedvault::SealKey key;
    bool ok() const { return outcome == Outcome::Ok; }
};

// `known` may be null; `password` may be empty when no sealed copy is
// expected (it then does not open one).
Opened open(QByteArray file, QStringView password, const sealedvault::SealKey* known = nullptr);

} // namespace vaultcopy
