#pragma once

#include "seal/SealedVault.h"
#include "vault/EntryStore.h"

#include <QByteArray>
#include <QStringView>

// A sealed vault's entries, read while it opens: each chunk's lines are taken
// on this thread as soon as the chunk is decrypted, while the other cores
// decrypt the chunks after it, so that the reading costs little beyond the
// decryption. The result is the same as unsealing the file and reading the
// plain bytes with EntryStore::fromFile().
namespace sealedentries {

struct Opened {
    // The outcome, as unseal() gives it. When it is Ok, `plain` holds the
    // vault's plain bytes, which the entries share: wipe them only once the
    // entries are gone.
    sealedvault::Unsealed unsealed;
    EntryStore entries; // empty unless the outcome is Ok; wipes what it frees
    bool ok() const { return unsealed.ok(); }
};

// Both take the file's bytes and open them in place, as unseal() does.
Opened open(QByteArray&& file, QStringView password);
Opened openWithKey(QByteArray&& file, const sealedvault::SealKey& key);

} // namespace sealedentries
