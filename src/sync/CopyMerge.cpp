#include "sync/CopyMerge.h"

#include "sync/ConflictCopies.h"
#include "sync/VaultCopy.h"
#include "vault/VaultFile.h"

#include <QFile>

namespace copymerge {

States::~States() {
    for (QByteArray& p : plain)
        sealedvault::wipe(p);
}

void openStates(const VaultHistory& history, const sealedvault::SealKey* key, States& out) {
    const std::vector<VaultHistory::State> states = history.states();
    out.plain.reserve(out.plain.size() + states.size());
    for (const VaultHistory::State& state : states) {
        vaultfile::ReadResult read = vaultfile::readAll(state.path);
        if (!read.ok)
            continue;
        vaultcopy::Opened o = vaultcopy::open(std::move(read.data), {}, key);
        if (!o.ok())
            continue;
        out.plain.push_back(std::move(o.plain));
        out.seen.push_back({out.plain.back(), state.written});
    }
}

Outcome mergeConflictCopies(VaultSession& session, VaultHistory& history, QStringView master,
                            bool takeMasterChange) {
    Outcome outcome;
    if (session.readOnly())
        return outcome;
    const std::vector<conflictcopies::Found> copies =
        conflictcopies::find(QFile::decodeName(session.realFile()));
    if (copies.empty())
        return outcome;
    States states;
    QByteArray ours;
    outcome.status = session.plainNow(ours);
    if (!outcome.status.ok())
        return outcome;
    const sealedvault::SealKey* key = session.sealed() ? &session.key() : nullptr;
    openStates(history, key, states);

    for (const conflictcopies::Found& found : copies) {
        vaultfile::ReadResult bytes = vaultfile::readAll(found.path);
        vaultcopy::Opened copy;
        if (bytes.ok)
            copy = vaultcopy::open(std::move(bytes.data), master, key);
        if (!bytes.ok || !copy.ok()) {
            outcome.left.push_back({found.path, found.engine,
                                    !bytes.ok ? bytes.error
                                    : copy.outcome == vaultcopy::Outcome::WrongPassword
                                        ? QStringLiteral("the master password does not open it")
                                        : copy.why});
            continue;
        }
        const std::optional<size_t> base =
            vaultmerge::chooseConflictBase(states.seen, ours, copy.plain);
        vaultmerge::Result r = vaultmerge::merge(
            base ? std::optional<QByteArrayView>(states.seen[*base].plain) : std::nullopt, ours,
            copy.plain);
        sealedvault::wipe(copy.plain);
        if (r.outcome == vaultmerge::Outcome::MasterConflict) {
            outcome.left.push_back({found.path, found.engine,
                                    QStringLiteral("it holds another master password, and so "
                                                   "does the vault")});
            continue;
        }
        if (r.report.masterFromTheirs && !takeMasterChange) {
            sealedvault::wipe(r.file);
            outcome.left.push_back({found.path, found.engine,
                                    QStringLiteral("its master password was changed on the other "
                                                   "computer; merge it with keynook-cli merge")});
            continue;
        }
        outcome.changed = outcome.changed || !r.report.unchanged();
        outcome.merged.push_back({found.path, found.engine, std::move(r.report)});
        // The merge is the next state of ours, for the next copy's base.
        sealedvault::wipe(ours);
        ours = r.file;
        states.plain.push_back(std::move(r.file));
        states.seen.push_back({states.plain.back(), true});
    }
    if (outcome.changed) {
        QString why;
        if (session.changedOutside())
            outcome.status = {VaultSession::Failure::CannotSave,
                              QStringLiteral("the vault file was changed by another program "
                                             "meanwhile")};
        // The vault as it was, before the merge rewrites it.
        else if (!history.keepVaultBackup(session.path(), VaultHistory::Why::CopiesMerge, &why))
            outcome.status = {VaultSession::Failure::CannotSave,
                              QStringLiteral("no backup of the vault could be kept (%1)").arg(why)};
        else
            outcome.status = session.save(ours);
    }
    sealedvault::wipe(ours);
    if (!outcome.status.ok()) {
        for (Merged& m : outcome.merged)
            outcome.left.push_back({m.path, m.engine, outcome.status.why});
        outcome.merged.clear();
        return outcome;
    }
    for (const Merged& m : outcome.merged)
        if (history.keepBackup(m.path))
            QFile::remove(m.path);
    return outcome;
}

} // namespace copymerge
