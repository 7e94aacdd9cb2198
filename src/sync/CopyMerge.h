#pragma once

#include "sync/RecordKeeper.h"
#include "sync/VaultMerge.h"
#include "vault/VaultHistory.h"
#include "vault/VaultSession.h"

#include <QString>
#include <QStringView>

#include <vector>

// Merging another copy of a vault into the vault in use, and the conflict
// copies that sync engines leave beside it, for the window and keynook-cli
// alike. It shows nothing: what came of each copy comes back, for the caller
// to word.
namespace copymerge {

// One copy merged into ours. Sealed copies carry what they have seen and
// merge exactly (recordmerge); a plain vault has no room for that, so plain
// copies keep the union of both, less `removedHere` (the record::runDigest()
// of each line this run of the window removed itself): nothing is lost, and an entry removed or
// edited on one computer may come back from another.
struct Merged {
    vaultmerge::Outcome outcome = vaultmerge::Outcome::Merged;
    QByteArray file;   // plain; wipe it when done
    QByteArray record; // for a sealed vault
    vaultmerge::Report report;
    bool changed = false; // the file or what it has seen differs from ours
    bool exact = false;   // both sides carried what they have seen
};
// `oursRecord` is null for a plain vault.
Merged mergeCopy(QByteArrayView ours, const record::Record* oursRecord, QByteArrayView theirs,
                 QByteArrayView theirsRecord, const std::vector<quint64>* removedHere = nullptr);
// Two sealed copies, each with its record's bytes (empty when it has none).
Merged mergeSealed(QByteArrayView ours, QByteArrayView oursRecord, QByteArrayView theirs,
                   QByteArrayView theirsRecord);

struct Taken {
    QString path;
    QString engine;
    vaultmerge::Report report;
};
struct Left {
    QString path;
    QString engine;
    QString why;
};
struct Outcome {
    std::vector<Taken> merged;   // kept among the backups and removed
    std::vector<Left> left;      // not merged, and where they were
    VaultSession::Status status; // a failure to read or save the vault
    bool changed = false;        // the vault was saved with what they brought
};

// Merges every conflict copy beside the file the session's vault is, in one
// save, after keeping the vault as it was among the history's backups
// (without a backup nothing is saved); then keeps each merged copy among the
// backups too and removes it, so that the engine removes it on the other
// computers too. Only copies that open as this vault does are taken: beside
// a sealed vault, sealed under its key (no password is tried, so a copy
// cannot bring entries in without it, nor cost a key derivation); beside a
// plain one, plain with `master` as their master password. A copy whose
// master password the merge would take is left unless `takeMasterChange`.
// Nothing is saved when the vault changed outside since the session read it.
// A plain vault's copies come in without `removedHere` (see mergeCopy), so
// that a copy made before the window removed an entry does not bring it back.
Outcome mergeConflictCopies(VaultSession& session, VaultHistory& history, RecordKeeper& keeper,
                            QStringView master, bool takeMasterChange,
                            const std::vector<quint64>* removedHere = nullptr);

} // namespace copymerge
