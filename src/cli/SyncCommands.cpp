// The commands that merge copies of the vault: merge, into the vault in
// use, and git-merge, git's merge driver for vault files in a repository.
#include "cli/Commands.h"
#include "cli/Context.h"
#include "secrets/Wipe.h"
#include "sync/CopyMerge.h"
#include "sync/Record.h"
#include "sync/RecordKeeper.h"
#include "sync/VaultCopy.h"
#include "sync/VaultMerge.h"
#include "vault/VaultFile.h"

#include <QDir>

#include <optional>
#include <utility>

namespace cli {

namespace {

// A file to merge, as read; refused when it is no vault Keynook wrote.
// An empty file is no vault, but git gives one as the base of a file
// that both branches added (`mayBeEmpty`).
QByteArray readCopy(const QString& path, bool mayBeEmpty = false) {
    const QString shown = QDir::toNativeSeparators(path);
    vaultfile::ReadResult read = vaultfile::readAll(path);
    if (read.tooLarge)
        fail(UserError, QStringLiteral("%1 is larger than any vault Keynook writes; nothing "
                                       "was merged")
                            .arg(shown));
    if (!read.ok)
        fail(UserError,
             QStringLiteral("%1 could not be read: %2; nothing was merged").arg(shown, read.error));
    if (!(mayBeEmpty && read.data.isEmpty()))
        if (const QString why = VaultHistory::notRestorable(read.data); !why.isEmpty()) {
            secrets::wipe(read.data);
            fail(UserError, QStringLiteral("%1 is not a vault Keynook wrote (%2); nothing was "
                                           "merged")
                                .arg(shown, why));
        }
    return std::move(read.data);
}

// Another copy in the plain form. One the password does not open is
// not merged, and nothing is written.
vaultcopy::Opened openCopy(const QString& shown, QByteArray bytes, QStringView password,
                           const sealedvault::SealKey* known) {
    vaultcopy::Opened o = vaultcopy::open(std::move(bytes), password, known);
    switch (o.outcome) {
    case vaultcopy::Outcome::Ok:
        return o;
    case vaultcopy::Outcome::WrongPassword:
        fail(UserError, QStringLiteral("%1 is sealed, and the master password does not open "
                                       "it (it was sealed under another password, or its key "
                                       "header was changed); it was left as it is, and "
                                       "nothing was merged")
                            .arg(shown));
    case vaultcopy::Outcome::Damaged:
        fail(VaultError, QStringLiteral("%1 is a sealed vault that is damaged, or was changed "
                                        "outside Keynook (%2); it was left as it is, and "
                                        "nothing was merged")
                             .arg(shown, o.why));
    case vaultcopy::Outcome::Refused:
        fail(VaultError, QStringLiteral("%1 cannot be opened on this computer (%2); nothing "
                                        "was merged")
                             .arg(shown, o.why));
    }
    return o;
}

[[noreturn]] void masterConflict(const QString& shown, const QString& where) {
    fail(UserError, QStringLiteral("%1 and %2 each hold another master password, and the "
                                   "base does not tell which one is new; nothing was merged "
                                   "or written. Change one of them to the other's password "
                                   "and merge again.")
                        .arg(shown, where));
}

} // namespace

int mergeCopies(Context& c) {
    c.secrets().requireSource();
    c.openLocked(true);
    // Kept past the unlock: a sealed copy under another salt needs it.
    const SecretText master = c.secrets().master();
    if (const VaultSession::Status unlocked = c.session().unlock(master.text()); !unlocked.ok())
        c.failWith(unlocked);
    c.session().forgetStoredPassword();
    c.markRestoredAnew();
    QByteArray ours;
    if (const VaultSession::Status opened = c.session().plainNow(ours); !opened.ok())
        c.failWith(opened);
    const bool sealed = c.session().sealed();
    const sealedvault::SealKey* key = sealed ? &c.session().key() : nullptr;
    // A base is only for plain copies: sealed ones carry what they saw.
    std::optional<vaultcopy::Opened> given;
    if (const auto basePath = c.value(QStringLiteral("--base")); basePath && !sealed)
        given =
            openCopy(QDir::toNativeSeparators(*basePath), readCopy(*basePath), master.text(), key);
    record::Record oursRecord;
    if (sealed)
        oursRecord = c.keeper().last() ? *c.keeper().last() : RecordKeeper::read(ours, {});
    QStringList told;
    bool changed = false;
    for (const QString& path : c.arguments()) {
        const QString shown = QDir::toNativeSeparators(path);
        vaultcopy::Opened copy = openCopy(shown, readCopy(path), master.text(), key);
        if (copy.sealed && !sealed) {
            secrets::wipe(copy.plain);
            fail(UserError, QStringLiteral("%1 is sealed and the vault is not; nothing was "
                                           "merged. Seal the vault (%2 seal) and merge it "
                                           "then.")
                                .arg(shown, kProgram));
        }
        copymerge::Merged r;
        if (given) {
            vaultmerge::Result three = vaultmerge::merge(given->plain, ours, copy.plain);
            r.outcome = three.outcome;
            r.file = std::move(three.file);
            r.report = std::move(three.report);
            r.changed = !r.report.unchanged();
        } else {
            r = copymerge::mergeCopy(ours, sealed ? &oursRecord : nullptr, copy.plain, copy.record);
        }
        secrets::wipe(copy.plain);
        if (r.outcome == vaultmerge::Outcome::MasterConflict)
            masterConflict(shown, QStringLiteral("the vault"));
        changed = changed || r.changed;
        told << merged(shown, r.report);
        secrets::wipe(ours);
        ours = std::move(r.file);
        if (sealed)
            oursRecord = RecordKeeper::read(ours, r.record);
    }

    if (changed)
        c.saveMerged(ours, sealed ? record::encode(oursRecord) : QByteArray(),
                     VaultHistory::Why::Merge);
    for (const QString& line : told)
        tell(line);
    tell(
        QStringLiteral("The vault holds %1.").arg(entriesCount(EntryStore::fromFile(ours).size())));
    // The last holder of each opened state wipes it.
    secrets::wipe(ours);
    return Success;
}

// git's files, not a vault of ours: --vault is not used, and a password is
// asked only for sealed files.
int gitMerge(Context& c) {
    const QString basePath = c.arguments().at(0);
    const QString oursPath = c.arguments().at(1);
    const QString theirsPath = c.arguments().at(2);
    QByteArray base = readCopy(basePath, true);
    QByteArray ours = readCopy(oursPath);
    QByteArray theirs = readCopy(theirsPath);
    // A password only when a file needs one: plain files merge unasked.
    SecretText master;
    if (sealedvault::isSealed(base) || sealedvault::isSealed(ours) ||
        sealedvault::isSealed(theirs)) {
        c.secrets().requireSource();
        master = c.secrets().master();
    }
    // Ours first: the others were most likely sealed under its key.
    // git's files have names of its own making: they are named by role.
    vaultcopy::Opened o =
        openCopy(QStringLiteral("Our version"), std::move(ours), master.text(), nullptr);
    vaultcopy::Opened b =
        openCopy(QStringLiteral("The base version"), std::move(base), master.text(), &o.key);
    vaultcopy::Opened t =
        openCopy(QStringLiteral("Their version"), std::move(theirs), master.text(), &o.key);
    // The form is a change like any other: the side that sealed or
    // unsealed since the base is followed.
    const bool sealedResult = o.sealed == t.sealed   ? o.sealed
                              : b.sealed == o.sealed ? t.sealed
                                                     : o.sealed;
    const sealedvault::SealKey& key = !o.key.isNull() && o.sealed == sealedResult ? o.key : t.key;
    // Copies that both carry what they saw merge exactly, with no base;
    // others merge with git's base.
    copymerge::Merged r;
    if (o.sealed && t.sealed && !o.record.isEmpty() && !t.record.isEmpty()) {
        r = copymerge::mergeSealed(o.plain, o.record, t.plain, t.record);
    } else {
        vaultmerge::Result three = vaultmerge::merge(b.plain, o.plain, t.plain);
        r.outcome = three.outcome;
        r.file = std::move(three.file);
        r.report = std::move(three.report);
    }
    for (QByteArray* plain : {&o.plain, &b.plain, &t.plain})
        secrets::wipe(*plain);
    if (r.outcome == vaultmerge::Outcome::MasterConflict)
        masterConflict(QStringLiteral("Ours"), QStringLiteral("theirs"));
    if (sealedResult && r.record.isEmpty())
        r.record = record::encode(RecordKeeper::read(r.file, {}));
    QByteArray result = sealedResult ? sealedvault::sealWithRecord(r.file, r.record, key) : r.file;
    secrets::wipe(r.file);
    if (result.isEmpty())
        fail(VaultError, QStringLiteral("the merged vault could not be sealed; nothing was "
                                        "written"));
    if (const vaultfile::Result saved = vaultfile::saveAtomically(oursPath, result); !saved.ok)
        fail(VaultError, QStringLiteral("the merged vault could not be written to %1: %2")
                             .arg(QDir::toNativeSeparators(oursPath), saved.error));
    tell(merged(QStringLiteral("the other branch's vault"), r.report));
    return Success;
}

} // namespace cli
