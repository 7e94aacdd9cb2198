#pragma once

#include "sync/VaultHistory.h"
#include "sync/VaultMerge.h"
#include "vault/VaultSession.h"

#include <QString>
#include <QStringView>

#include <vector>

// Merging into a vault in use the conflict copies that sync engines left
// beside it, for the window and keynook-cli alike. It shows nothing: what
// came of each copy comes back, for the caller to word.
namespace copymerge {

// The states of `history` that open with `key` (null for a plain vault), in
// the plain form, oldest first, and whether this computer wrote each. One
// sealed under an earlier password is left out rather than costing a
// derivation.
struct States {
    std::vector<QByteArray> plain; // wipe them when done
    std::vector<vaultmerge::Seen> seen;
    ~States();
};
void openStates(const VaultHistory& history, const sealedvault::SealKey* key, States& out);

struct Merged {
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
    std::vector<Merged> merged;  // kept among the backups and removed
    std::vector<Left> left;      // not merged, and where they were
    VaultSession::Status status; // a failure to read or save the vault
    bool changed = false;        // the vault was saved with what they brought
};

// Merges every conflict copy beside the file the session's vault is, each
// with the base its lineage calls for (vaultmerge::chooseConflictBase), in
// one save, after keeping the vault as it was among the history's backups
// (without a backup nothing is saved); then keeps each merged copy among the
// backups too and removes it, so that the engine removes it on the other
// computers too.
// `master` opens sealed copies under another salt. A copy whose master
// password the merge would take is left unless `takeMasterChange` (the
// window keeps the password it was opened with for its whole run). Nothing
// is saved when the vault changed outside since the session read it.
Outcome mergeConflictCopies(VaultSession& session, VaultHistory& history, QStringView master,
                            bool takeMasterChange);

} // namespace copymerge
