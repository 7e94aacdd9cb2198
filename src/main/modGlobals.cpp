#include "main/modGlobals.h"

#include "dialogs/frmPass.h"
#include "main/EntryModel.h"
#include "main/Form1.h"
#include "secrets/Wipe.h"
#include "startup/Program.h"
#include "sync/ConflictCopies.h"
#include "sync/CopyMerge.h"
#include "vault/RestoreNote.h"
#include "vault/VaultFile.h"
#include "vault/VaultLocation.h"
#include "vault/VaultSession.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QPointer>
#include <QStandardPaths>

#include <algorithm>
#include <utility>

namespace {

using Failure = VaultSession::Failure;

void failAndEnd(Program& program, const QString& what, const QString& why, QWidget* over) {
    program.boxes().show(over,
                         what + QStringLiteral("\n\n") +
                             QDir::toNativeSeparators(program.vaultPath()) + QStringLiteral("\n") +
                             why,
                         program.applicationTitle(), BoxButtons::Ok, BoxAnswer::Ok);
    program.end();
}

// Tells the user why the vault cannot be used, in this window's words, and
// ends the program; nothing has been written. The message is shown over
// `over` when given: the password dialog stays on top of every other window,
// and a box of its own is kept above it.
void failAndEnd(Program& program, const VaultSession::Status& status, QWidget* over = nullptr) {
    const QString kept = QStringLiteral(" Keynook will close and leave the file as it is.");
    const auto tell = [&](const QString& what, const QString& why) {
        failAndEnd(program, what, why, over);
    };
    switch (status.failure) {
    case Failure::None:
        return;
    case Failure::NotOwned:
        return tell(QStringLiteral("Keynook will not open this vault: another user could "
                                   "read or replace it.") +
                        kept,
                    status.why);
    case Failure::LockNotPlain:
        return tell(QStringLiteral("The vault's lock file is not one Keynook made, so "
                                   "Keynook will close without touching the vault."),
                    status.why);
    case Failure::Locked:
    case Failure::LockFailed: {
        const QString why =
            status.failure == Failure::Locked
                ? QStringLiteral("The vault is already open in %1. Use that one, or close it "
                                 "and start Keynook again.")
                      .arg(status.why.isEmpty()
                               ? QStringLiteral("another Keynook window or keynook-cli command")
                               : QStringLiteral("another Keynook (%1)").arg(status.why))
                : QStringLiteral("The vault could not be locked for this window, so "
                                 "Keynook will close without touching it.");
        program.boxes().show(
            over, why + QStringLiteral("\n\n") + QDir::toNativeSeparators(program.vaultPath()),
            program.applicationTitle(), BoxButtons::Ok, BoxAnswer::Ok);
        program.end();
        return;
    }
    case Failure::NewOnReadOnly:
        // A vault still to be set up needs its master password written.
        return tell(
            QStringLiteral("A new vault cannot be set up here: its folder is on a medium that "
                           "cannot be written to (a CD or a write-protected stick, say). "
                           "Keynook will close."),
            QStringLiteral("Make the medium writable, or start Keynook from a folder you can "
                           "write to."));
    case Failure::CannotCreate:
        return tell(QStringLiteral("The vault file could not be created."), status.why);
    case Failure::LinkToNothing:
        return tell(QStringLiteral("The vault is a link to a file that is not there: a sync tool "
                                   "may not have brought it yet. Keynook will close and leave "
                                   "the link as it is."),
                    QStringLiteral("The link leads to %1. Start Keynook again once that file is "
                                   "there; to make a new vault there instead, start it once as\n\n"
                                   "    keynook --vault %2")
                        .arg(QDir::toNativeSeparators(status.why),
                             vaultlocation::shellWord(QDir::toNativeSeparators(status.why))));
    case Failure::TooLarge:
        return tell(QStringLiteral("The vault file is too large to open.") + kept, status.why);
    case Failure::Unreadable:
        return tell(QStringLiteral("The vault file could not be read.") + kept, status.why);
    case Failure::OutOfMemory:
        return tell(QStringLiteral("There is not enough memory to open the vault.") + kept,
                    QStringLiteral("Close other programs and start Keynook again."));
    case Failure::Damaged:
        return tell(QStringLiteral("The sealed vault is damaged, or was changed outside "
                                   "Keynook, so it cannot be opened.") +
                        kept,
                    status.why);
    case Failure::SealRefused:
        return tell(QStringLiteral("The sealed vault cannot be opened on this computer.") + kept,
                    status.why);
    case Failure::WrongPassword:
    case Failure::ReadOnly:
    case Failure::CannotSave:
        return tell(QStringLiteral("The master password could not be saved, so nothing "
                                   "was stored. Keynook will close."),
                    status.why);
    }
}

enum class Merge { Saved, NotSaved, CannotMerge };

// Another copy's change is in the file since this run read or wrote it: the
// list and that file are merged, saved, and shown. A sealed vault's copies
// carry what they have seen and merge exactly; a plain vault keeps both
// sides' entries, less what the person removed or replaced in this run.
// CannotMerge when they cannot be: the file is gone or opens with no key of
// this run, a master password changed there (unless `keepOurMaster`: the
// user chose to keep this run's), or it changed again meanwhile.
Merge mergeOutsideChange(Program& program, Form1* main, vaultmerge::Report& report,
                         bool keepOurMaster) {
    VaultSession& vault = *program.vault;
    const vaultfile::Stamp stamp = vaultfile::stampOf(vault.path());
    vaultfile::ReadResult read = vaultfile::readAll(vault.path());
    QByteArray theirs;
    QByteArray theirsRecord;
    if (!read.ok || !vault.plainOf(read.data, theirs, &theirsRecord).ok())
        return Merge::CannotMerge;
    QByteArray ours =
        main->entries().savedFile(program.MasterPassword, vault.masterLineAsRead()).joined();
    if (keepOurMaster) {
        // Every side under this run's master password: only the entries merge.
        QByteArray mine = vaultformat::withMasterLine(program.MasterPassword, theirs);
        secrets::wipe(theirs);
        theirs = std::move(mine);
    }
    // The list's own changes since the last save get their marks now.
    record::Record oursRecord;
    if (vault.sealed() && program.keeper) {
        oursRecord = program.keeper->recordOf(ours);
        if (keepOurMaster) {
            // Our master line stands, as a change made after theirs.
            record::Record t = RecordKeeper::read(theirs, theirsRecord);
            t.master = oursRecord.master;
            theirsRecord = record::encode(t);
        }
    }
    copymerge::Merged r =
        copymerge::mergeCopy(ours, vault.sealed() && program.keeper ? &oursRecord : nullptr, theirs,
                             theirsRecord, &main->entries().removedHere());
    secrets::wipe(ours);
    secrets::wipe(theirs);
    // The master password this run was opened with stays for the run.
    if (r.outcome != vaultmerge::Outcome::Merged || r.report.masterFromTheirs ||
        vaultfile::stampOf(vault.path()) != stamp) {
        secrets::wipe(r.file);
        return Merge::CannotMerge;
    }
    if (program.history) {
        program.history->record({read.data}, false);
        // The other copy's file as it is, before the merge replaces it. The
        // save goes ahead without it: the list's change comes first, and the
        // merge keeps that copy's entries anyway.
        program.history->keepVaultBackup(vault.path(), VaultHistory::Why::Merge);
    }
    const VaultSession::Status saved = vault.saveWithRecord(r.file, r.record);
    if (!saved.ok()) {
        secrets::wipe(r.file);
        return Merge::NotSaved;
    }
    EntryStore merged = EntryStore::fromFile(std::move(r.file));
    if (vault.sealed())
        merged.wipeWhenFreed();
    main->entries().replaceAll(std::move(merged));
    report = std::move(r.report);
    return Merge::Saved;
}

// What a merge on saving took in, after the status of the command, in words
// that fit the status line beside it. That a plain vault's merge keeps what
// the other computer removed does not fit there: keynook-cli merge and the
// README say it.
QString mergedNote(const vaultmerge::Report& r) {
    return QStringLiteral(" Merged another copy: %1 added, %2 removed.")
        .arg(r.fromTheirs.size())
        .arg(r.removedByTheirs.size());
}

// Before a save overwrites the file: if another program changed it since
// this run read or wrote it and the two cannot be merged, the user decides.
bool mayOverwrite(Program& program, QWidget* parent) {
    if (!program.vault->changedOutside())
        return true;
    const BoxAnswer answer = program.boxes().show(
        parent,
        QStringLiteral("The vault file was changed by another program after Keynook opened it, "
                       "in a way that cannot be merged with the entries shown here: its master "
                       "password was changed, or it does not open with this one.\n\n"
                       "Save anyway? The entries that can be read are merged, the master "
                       "password stays the one you opened the vault with, and the other "
                       "version is kept among the backups in your data folder."),
        program.applicationTitle(), BoxButtons::OkCancel, BoxAnswer::Cancel);
    return answer == BoxAnswer::Ok;
}

void showDialog(Program& program, qint16 mode) {
    program.PasswordMode = mode;
    frmPass* dialog = program.form<frmPass>();
    if (!dialog)
        return;
    dialog->show();
    dialog->activateWindow();
    if (QWidget* box = dialog->findChild<QWidget*>(QStringLiteral("txtPass")))
        box->setFocus();
}

} // namespace

void SetStatus(Program& program, const QString& text) {
    if (Form1* main = program.loaded<Form1>())
        main->setStatusText(text + std::exchange(program.statusNote, QString()));
}

bool RefuseChangeToReadOnlyVault(Program& program, QWidget* parent) {
    if (!program.vault || !program.vault->readOnly())
        return false;
    SetStatus(program, QStringLiteral("Not changed: this vault is read-only, so entries cannot be "
                                      "added, changed or deleted."));
    if (parent)
        program.boxes().show(
            parent,
            QStringLiteral("The vault is on a medium that cannot be written to (a CD or a "
                           "write-protected stick, say), so this change cannot be saved. Your "
                           "text is still here: copy what you need, or close this window.\n\n") +
                QDir::toNativeSeparators(program.vaultPath()),
            program.applicationTitle(), BoxButtons::Ok, BoxAnswer::Ok);
    return true;
}

void OpenData(Program& program) {
    program.vault = std::make_unique<VaultSession>(program.vaultPath());
    program.history = std::make_unique<VaultHistory>(
        QStandardPaths::writableLocation(QStandardPaths::AppDataLocation),
        vaultfile::realFilePath(program.vaultPath()));
    program.history->follow(*program.vault);
    program.keeper = std::make_unique<RecordKeeper>();
    program.vault->keepRecordWith(program.keeper.get());
    if (const VaultSession::Status opened = program.vault->open(); !opened.ok())
        return failAndEnd(program, opened);
    // A vault file emptied by a sync tool or a disk fault is no vault never
    // used: the create mode would write a new master password over it.
    if (const std::optional<VaultHistory::Lost>& lost = program.history->lost())
        return failAndEnd(
            program,
            lost->found(QFileInfo(program.vaultPath()).fileName()) +
                QStringLiteral(". A sync tool or a disk fault may have emptied it, so Keynook "
                               "does not take it for a new vault, and will close without "
                               "changing it."),
            (lost->restoreNumber > 0
                 ? QStringLiteral("To put back the vault as this computer last saw it, run\n\n"
                                  "    keynook-cli restore %1\n\n")
                       .arg(lost->restoreNumber)
                 : QString()) +
                QStringLiteral("keynook-cli backups lists everything that can be restored."),
            nullptr);
    // A sealed vault has a master password, though nothing of it can be read
    // before the password opens it.
    if (program.vault->sealed() || !program.vault->storedPassword().isEmpty()) {
        program.StoredPassword = program.vault->storedPassword();
        PromptPassword(program);
    } else {
        PromptCreatePassword(program);
    }
}

namespace {

// Opening a sealed vault takes about half a second of key derivation.
// Meanwhile the dialog is busy and takes no input: clicks and keys made then
// reach it disabled and are dropped. Disabling takes the focus from the
// password box; it gets it back, so that after a wrong password the next one
// is typed where the first was, as with a plain vault.
template <class Work> VaultSession::Status whileBusy(QWidget* dialog, Work&& work) {
    QApplication::setOverrideCursor(Qt::WaitCursor);
    QPointer<QWidget> focus = dialog ? dialog->focusWidget() : nullptr;
    if (dialog) {
        dialog->setEnabled(false);
        dialog->repaint();
    }
    const VaultSession::Status status = work();
    QCoreApplication::processEvents();
    if (dialog)
        dialog->setEnabled(true);
    if (focus)
        focus->setFocus(Qt::OtherFocusReason);
    QApplication::restoreOverrideCursor();
    return status;
}

} // namespace

bool CheckMasterPassword(Program& program, const QString& typed, QWidget* dialog) {
    VaultSession* vault = program.vault.get();
    if (vault && program.away.on) {
        // Put away: the password opens the sealed copy of what the window
        // held, whichever form the vault has.
        QByteArray plain;
        const VaultSession::Status opened =
            whileBusy(dialog, [&] { return vault->takeBack(program.away.copy, typed, plain); });
        if (opened.ok()) {
            program.away.copy = std::move(plain);
            program.StoredPassword = vault->storedPassword();
            return true;
        }
        if (opened.failure != Failure::WrongPassword)
            failAndEnd(program, opened, dialog);
        return false;
    }
    if (!vault || !vault->sealed())
        return typed == program.StoredPassword;
    const VaultSession::Status opened = whileBusy(dialog, [&] { return vault->unlock(typed); });
    if (opened.ok()) {
        program.StoredPassword = vault->storedPassword();
        return true;
    }
    if (opened.failure != Failure::WrongPassword)
        failAndEnd(program, opened, dialog);
    return false;
}

void PromptCreatePassword(Program& program) {
    showDialog(program, -1);
}

void PromptPassword(Program& program) {
    showDialog(program, 0);
}

namespace {

// What merging the conflict copies came to, in words short enough for the
// status line at the window's width: the counts only. Why a copy was left
// is for keynook-cli, which names each copy and its reason when it opens the
// vault; that a plain vault's merge may bring back removals made elsewhere,
// for the README.
QString conflictCopiesText(const copymerge::Outcome& o) {
    const auto copies = [](size_t n) {
        return n == 1 ? QStringLiteral("a conflict copy")
                      : QStringLiteral("%1 conflict copies").arg(n);
    };
    if (o.merged.empty())
        return o.left.empty() ? QString()
                              : QStringLiteral("Not merged: %1 (keynook-cli check says why).")
                                    .arg(copies(o.left.size()));
    size_t added = 0;
    size_t removed = 0;
    for (const copymerge::Taken& m : o.merged) {
        added += m.report.fromTheirs.size();
        removed += m.report.removedByTheirs.size();
    }
    return QStringLiteral("Merged %1: %2 added, %3 removed")
               .arg(copies(o.merged.size()))
               .arg(added)
               .arg(removed) +
           (o.left.empty() ? QString() : QStringLiteral("; %1 not merged").arg(o.left.size())) +
           QLatin1Char('.');
}

// The copies a merge left, as they are now: what later notices compare with.
void rememberLeft(Program& program, const copymerge::Outcome& o) {
    program.copiesLeft.clear();
    for (const copymerge::Left& l : o.left)
        program.copiesLeft[l.path] = vaultfile::stampOf(l.path);
}

} // namespace

void LoadEntries(Program& program) {
    Form1* main = program.loaded<Form1>();
    if (!main)
        return;
    // What a sync engine left beside the vault, two computers having
    // changed it apart, is merged into it first.
    copymerge::Outcome copies;
    // A sealed vault put back by keynook-cli restore is a change made now.
    if (program.history && program.vault->sealed() &&
        restorenote::pending(program.history->folder(), program.vault->path()))
        program.keeper->markAllAnew();
    if (program.history)
        copies = copymerge::mergeConflictCopies(*program.vault, *program.history, *program.keeper,
                                                program.MasterPassword, false);
    EntryStore entries;
    if (const VaultSession::Status loaded = program.vault->loadEntries(entries); !loaded.ok())
        return failAndEnd(program, loaded);
    const qsizetype count = static_cast<qsizetype>(entries.size());
    main->entries().append(std::move(entries));
    rememberLeft(program, copies);
    const QString copiesText = conflictCopiesText(copies);
    SetStatus(program,
              QStringLiteral("Loaded %1 entries").arg(count) +
                  (program.vault->readOnly() ? QStringLiteral(" (read-only vault)") : QString()) +
                  (copiesText.isEmpty() ? QString() : QStringLiteral(". ") + copiesText));
    main->afterFormLoad();
}

namespace {

// The vault file's bytes up to its first CR (the master line and its end),
// or all of them when it has none, as they are on disk now. False when the
// file cannot be read as a vault is (vaultfile::readAll): a folder, one that
// does not open, or one too large.
bool firstLineNow(const QString& path, QByteArray& head) {
    if (QFileInfo(path).isDir())
        return false;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly) || file.size() > vaultfile::kMaxVaultBytes)
        return false;
    constexpr qint64 kStep = 4096;
    head.reserve(kStep);
    while (!head.contains('\r') && head.size() <= vaultfile::kMaxVaultBytes) {
        const qsizetype had = head.size();
        head.resize(had + kStep);
        const qint64 got = file.read(head.data() + had, kStep);
        head.resize(had + std::max<qint64>(got, 0));
        if (got < 0) {
            secrets::wipe(head);
            return false;
        }
        if (got == 0)
            break;
    }
    return head.size() <= vaultfile::kMaxVaultBytes;
}

// Whether the vault file as it is on disk now holds this run's master
// password, read without taking the file as read: a file under any other
// stays a change from outside, which the next save asks about. Only a plain
// vault's first line is read (the load that follows reads the file once); a
// sealed vault is opened whole.
bool sameMasterNow(const Program& program) {
    const VaultSession& vault = *program.vault;
    QByteArray head;
    const bool read = vault.sealed() ? vault.plainNow(head).ok() : firstLineNow(vault.path(), head);
    QString master = read ? vaultformat::readMasterPassword(head) : QString();
    const bool same = read && master == program.MasterPassword;
    secrets::wipe(master);
    secrets::wipe(head);
    return same;
}

} // namespace

void FollowOutsideChange(Program& program) {
    Form1* main = program.loaded<Form1>();
    if (!main || program.ended() || program.away.on || !program.vault || program.unsavedChanges ||
        !program.vault->changedOutside() || !sameMasterNow(program))
        return;
    EntryStore entries;
    if (!program.vault->loadEntries(entries).ok())
        return;
    // What came in, as a merge of the list with the new file counts it. A
    // notice that brought the list's own lines again (an engine setting the
    // file's time after its rename, say) is no update: the status keeps what
    // the change before it said.
    const EntryModel::Change came = main->entries().replaceAll(std::move(entries));
    if (!came.sameLines)
        SetStatus(program, QStringLiteral("Updated from another copy: %1 added, %2 removed.")
                               .arg(came.added)
                               .arg(came.removed));
}

void ConflictCopyArrived(Program& program) {
    program.copiesWaiting = true;
    // The engine may have put another computer's version in the vault's
    // place as it made the copy: the list takes that first.
    FollowOutsideChange(program);
    MergeWaitingCopies(program);
}

void MergeWaitingCopies(Program& program) {
    Form1* main = program.loaded<Form1>();
    // The merge is of the file on disk, which it then saves: the list must
    // be that file, or its next save would write the copies' entries away.
    // A change the list holds (one whose save failed, or a command asking
    // a question before it saves) or a change from outside the list has not
    // taken waits for the next save, whose rename over the vault the
    // watcher tells of; the person being away, for the return.
    if (!program.copiesWaiting || !main || program.ended() || program.away.on || !program.vault ||
        !program.history || !program.keeper || program.vault->readOnly() ||
        program.unsavedChanges || program.boxesOpen() > 0 || program.vault->changedOutside())
        return;
    program.copiesWaiting = false;
    bool fresh = false;
    for (const conflictcopies::Found& found :
         conflictcopies::find(QFile::decodeName(program.vault->realFile()))) {
        const auto left = program.copiesLeft.find(found.path);
        fresh = fresh || left == program.copiesLeft.end() ||
                left->second != vaultfile::stampOf(found.path);
    }
    if (!fresh)
        return;
    // As at load: the master password this run was opened with stays.
    const copymerge::Outcome copies = copymerge::mergeConflictCopies(
        *program.vault, *program.history, *program.keeper, program.MasterPassword, false,
        &main->entries().removedHere());
    // A merge that could not be saved (the vault changed meanwhile, as an
    // engine delivers the other version beside its copy) is tried again at
    // the next change; a copy left for what it is waits for a change of its
    // own.
    if (!copies.status.ok()) {
        program.copiesWaiting = true;
        program.copiesLeft.clear();
    } else {
        rememberLeft(program, copies);
    }
    if (copies.changed && copies.status.ok()) {
        EntryStore entries;
        if (program.vault->loadEntries(entries).ok())
            main->entries().replaceAll(std::move(entries));
    }
    if (const QString text = conflictCopiesText(copies); !text.isEmpty())
        SetStatus(program, text);
}

bool SaveData(Program& program) {
    Form1* main = program.loaded<Form1>();
    if (!main || program.ended() || program.away.on)
        return false;
    vaultmerge::Report merged;
    const auto savedMerge = [&] {
        program.unsavedChanges = false;
        SetStatus(program, QStringLiteral("Saved ") + formatDateTime(program.clock().now()) +
                               mergedNote(merged));
        program.statusNote = mergedNote(merged);
        return true;
    };
    if (program.vault->changedOutside() &&
        mergeOutsideChange(program, main, merged, false) == Merge::Saved)
        return savedMerge();
    if (!mayOverwrite(program, main)) {
        program.unsavedChanges = true;
        SetStatus(program,
                  QStringLiteral("Not saved: the vault file was changed by another program."));
        return false;
    }
    if (program.vault->changedOutside()) {
        if (mergeOutsideChange(program, main, merged, true) == Merge::Saved)
            return savedMerge();
        // Not to be read with this run's key: kept, then replaced.
        if (program.history)
            program.history->keepVaultBackup(program.vaultPath(), VaultHistory::Why::Overwritten);
    }
    // Made right before the save: its pieces point into the entries.
    const vaultformat::FilePieces file =
        main->entries().savedFile(program.MasterPassword, program.vault->masterLineAsRead());
    const VaultSession::Status saved = program.vault->save(file);
    program.unsavedChanges = !saved.ok();
    if (!saved.ok()) {
        SetStatus(program, QStringLiteral("Not saved: ") + saved.why);
        program.boxes().show(
            main,
            QStringLiteral("Your change could not be saved. The vault file on disk was left as it "
                           "was; the change is still in the list and is saved with the next "
                           "change that can be written.\n\n") +
                QDir::toNativeSeparators(program.vaultPath()) + QStringLiteral("\n") + saved.why,
            program.applicationTitle(), BoxButtons::Ok, BoxAnswer::Ok);
        return false;
    }
    SetStatus(program, QStringLiteral("Saved ") + formatDateTime(program.clock().now()));
    return true;
}

void CreateMasterPassword(Program& program) {
    program.unload<frmPass>();
    QCoreApplication::processEvents();
    // Entry lines behind an empty first line are kept, in the file and in the
    // list, or the next save would drop them.
    EntryStore kept;
    if (const VaultSession::Status created =
            program.vault->createMaster(program.MasterPassword, kept);
        !created.ok())
        return failAndEnd(program, created);
    Form1* main = program.loaded<Form1>();
    if (main)
        main->entries().append(std::move(kept));
    SetStatus(program, QStringLiteral("Password created successfully"));
    if (main)
        main->afterFormLoad();
}
