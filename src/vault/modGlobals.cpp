#include "vault/modGlobals.h"

#include "dialogs/frmPass.h"
#include "main/EntryModel.h"
#include "main/Form1.h"
#include "startup/Program.h"
#include "vault/VaultFile.h"
#include "vault/VaultFormat.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>

#include <new>

namespace {

void failAndEnd(Program& program, const QString& what, const QString& why) {
    program.boxes().show(nullptr,
                         what + QStringLiteral("\n\n") +
                             QDir::toNativeSeparators(program.vaultPath()) + QStringLiteral("\n") +
                             why,
                         program.applicationTitle(), BoxButtons::Ok, BoxAnswer::Ok);
    program.end();
}

// The vault's bytes, or (the user told, the program ended) nothing.
bool readVault(Program& program, QByteArray& data) {
    program.vaultStamp = vaultfile::stampOf(program.vaultPath());
    vaultfile::ReadResult r = vaultfile::readAll(program.vaultPath());
    if (!r.ok) {
        failAndEnd(program,
                   r.tooLarge ? QStringLiteral("The vault file is too large to open. Keynook will "
                                               "close and leave the file as it is.")
                              : QStringLiteral("The vault file could not be read. Keynook will "
                                               "close and leave the file as it is."),
                   r.error);
        return false;
    }
    data = std::move(r.data);
    return true;
}

// Runs `work`, which turns the vault's bytes into what the program holds. A
// vault too large for the memory left ends the program with a message instead
// of a crash; nothing has been written by then.
template <class Work> bool withinMemory(Program& program, Work&& work) {
    try {
        work();
        return true;
    } catch (const std::bad_alloc&) {
        failAndEnd(program,
                   QStringLiteral("There is not enough memory to open the vault. Keynook will "
                                  "close and leave the file as it is."),
                   QStringLiteral("Close other programs and start Keynook again."));
        return false;
    }
}

// Takes the vault for this run alone. A lock left by a copy that was killed
// is recognised by its dead process and taken over.
bool lockVault(Program& program) {
    const QFileInfo vault(program.vaultPath());
    const QString lockPath =
        vault.absoluteDir().filePath(QLatin1Char('.') + vault.fileName() + QStringLiteral(".lock"));
    const vaultfile::Result plain = vaultfile::checkLockFile(lockPath);
    if (!plain.ok) {
        failAndEnd(program,
                   QStringLiteral("The vault's lock file is not one Keynook made, so Keynook will "
                                  "close without touching the vault."),
                   plain.error);
        return false;
    }
    auto lock = std::make_unique<QLockFile>(lockPath);
    lock->setStaleLockTime(0);
    bool locked = lock->tryLock(0);
    if (!locked && lock->error() == QLockFile::LockFailedError) {
        // A lock whose process is gone, even if its number was reused since.
        qint64 pid = 0;
        QString host;
        QString app;
        if (lock->getLockInfo(&pid, &host, &app) && pid != QCoreApplication::applicationPid())
            locked = lock->removeStaleLockFile() && lock->tryLock(0);
    }
    if (locked) {
        program.vaultLock = std::move(lock);
        return true;
    }
    const QString why =
        lock->error() == QLockFile::LockFailedError
            ? QStringLiteral("The vault is already open in another Keynook window. "
                             "Use that window, or close it and start Keynook again.")
            : QStringLiteral("The vault could not be locked for this window, so "
                             "Keynook will close without touching it.");
    program.boxes().show(
        nullptr, why + QStringLiteral("\n\n") + QDir::toNativeSeparators(program.vaultPath()),
        program.applicationTitle(), BoxButtons::Ok, BoxAnswer::Ok);
    program.end();
    return false;
}

// A vault still to be set up (missing, or without a master password) needs
// its master password written, which a read-only medium cannot take.
void failNewVaultOnReadOnlyMedium(Program& program) {
    failAndEnd(program,
               QStringLiteral("A new vault cannot be set up here: its folder is on a medium that "
                              "cannot be written to (a CD or a write-protected stick, say). "
                              "Keynook will close."),
               QStringLiteral("Make the medium writable, or start Keynook from a folder you can "
                              "write to."));
}

// Before a save overwrites the file: if another program changed it since
// this run read or wrote it, the user decides.
bool mayOverwrite(Program& program, QWidget* parent) {
    const vaultfile::Stamp now = vaultfile::stampOf(program.vaultPath());
    if (!program.vaultStamp.exists || now == program.vaultStamp)
        return true;
    const BoxAnswer answer = program.boxes().show(
        parent,
        QStringLiteral("The vault file was changed by another program after Keynook opened it. "
                       "Saving now replaces those changes with the entries shown here.\n\n"
                       "Save anyway?"),
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
        main->setStatusText(text);
}

bool RefuseChangeToReadOnlyVault(Program& program, QWidget* parent) {
    if (!program.vaultReadOnly)
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

bool EnsureDataFile(Program& program, const QString& path) {
    // The vault is read, locked and saved by its exact name, so only a file
    // of that name is the vault: another spelling, which FileExists accepts,
    // is another file here.
    if (vaultfile::findFileIgnoringCase(path) == path)
        return true;
    const vaultfile::Result created = vaultfile::createFile(path, vaultformat::neverUsedFile());
    if (!created.ok)
        failAndEnd(program, QStringLiteral("The vault file could not be created."), created.error);
    return created.ok;
}

void OpenData(Program& program) {
    const QString path = program.vaultPath();
    // Checked before anything is written beside the vault, the lock included.
    const vaultfile::Result owned = vaultfile::checkOwnership(path);
    if (!owned.ok) {
        failAndEnd(program,
                   QStringLiteral("Keynook will not open this vault: another user could read or "
                                  "replace it. Keynook will close and leave the file as it is."),
                   owned.error);
        return;
    }
    // Nobody can write a vault on a read-only medium: it needs no lock (nor
    // could it take one), and no save can have left anything there.
    program.vaultReadOnly =
        vaultfile::onReadOnlyFileSystem(QFileInfo(path).absolutePath()) ||
        vaultfile::onReadOnlyFileSystem(QFileInfo(vaultfile::realPath(path)).absolutePath());
    if (!program.vaultReadOnly) {
        if (!lockVault(program))
            return;
        vaultfile::removeLeftovers(path);
    } else if (!vaultfile::FileExists(path)) {
        failNewVaultOnReadOnlyMedium(program);
        return;
    }
    if (!EnsureDataFile(program, path))
        return;
    QByteArray data;
    if (!readVault(program, data))
        return;
    // An empty file has no master line: like a first line that is empty, it
    // is a vault that was never used.
    QString master;
    if (!withinMemory(program, [&] { master = vaultformat::readMasterPassword(data); }))
        return;
    data.clear();
    if (!master.isEmpty()) {
        program.StoredPassword = master;
        PromptPassword(program);
    } else if (program.vaultReadOnly) {
        failNewVaultOnReadOnlyMedium(program);
    } else {
        PromptCreatePassword(program);
    }
}

void PromptCreatePassword(Program& program) {
    showDialog(program, -1);
}

void PromptPassword(Program& program) {
    showDialog(program, 0);
}

void LoadEntries(Program& program) {
    QByteArray data;
    if (!readVault(program, data))
        return;
    program.MasterLineAsRead = vaultformat::masterLineOf(data).toByteArray();
    Form1* main = program.loaded<Form1>();
    if (!main)
        return;
    // The entries keep the file's bytes: what the list shows is read from
    // them when it is shown.
    qsizetype count = 0;
    if (!withinMemory(program, [&] {
            EntryStore entries = EntryStore::fromFile(std::move(data));
            count = static_cast<qsizetype>(entries.size());
            main->entries().append(std::move(entries));
        }))
        return;
    SetStatus(program,
              QStringLiteral("Loaded %1 entries").arg(count) +
                  (program.vaultReadOnly ? QStringLiteral(" (read-only vault)") : QString()));
    main->afterFormLoad();
}

bool SaveData(Program& program) {
    Form1* main = program.loaded<Form1>();
    if (!main || program.ended())
        return false;
    const QByteArray file =
        main->entries().savedFile(program.MasterPassword, program.MasterLineAsRead);
    if (!mayOverwrite(program, main)) {
        program.unsavedChanges = true;
        SetStatus(program,
                  QStringLiteral("Not saved: the vault file was changed by another program."));
        return false;
    }
    const vaultfile::Result saved = vaultfile::saveAtomically(program.vaultPath(), file);
    program.unsavedChanges = !saved.ok;
    if (saved.ok)
        program.vaultStamp = vaultfile::stampOf(program.vaultPath());
    if (!saved.ok) {
        SetStatus(program, QStringLiteral("Not saved: ") + saved.error);
        program.boxes().show(
            main,
            QStringLiteral("Your change could not be saved. The vault file on disk was left as it "
                           "was; the change is still in the list and is saved with the next "
                           "change that can be written.\n\n") +
                QDir::toNativeSeparators(program.vaultPath()) + QStringLiteral("\n") + saved.error,
            program.applicationTitle(), BoxButtons::Ok, BoxAnswer::Ok);
        return false;
    }
    SetStatus(program, QStringLiteral("Saved ") + formatDateTime(program.clock().now()));
    return true;
}

void CreateMasterPassword(Program& program) {
    program.unload<frmPass>();
    QCoreApplication::processEvents();
    // A vault without a master line may still hold entries (its first line
    // lost in an editor, say). The new password takes the first line's place
    // and every byte after it stays; the file is read again here, under the
    // lock, so that what is kept is what is there now.
    QByteArray current;
    if (!readVault(program, current))
        return;
    EntryStore entries;
    QByteArray file;
    if (!withinMemory(program, [&] {
            entries = EntryStore::fromFile(current);
            file = entries.empty() ? vaultformat::masterOnlyFile(program.MasterPassword)
                                   : vaultformat::withMasterLine(program.MasterPassword, current);
        }))
        return;
    current.clear();
    const vaultfile::Result saved = vaultfile::saveAtomically(program.vaultPath(), file);
    program.vaultStamp = vaultfile::stampOf(program.vaultPath());
    if (!saved.ok) {
        failAndEnd(program,
                   QStringLiteral("The master password could not be saved, so nothing was stored. "
                                  "Keynook will close."),
                   saved.error);
        return;
    }
    Form1* main = program.loaded<Form1>();
    // The kept entries go into the list, or the next save would drop them.
    // They are the same lines the new file holds after its first line.
    if (main)
        main->entries().append(std::move(entries));
    SetStatus(program, QStringLiteral("Password created successfully"));
    if (main)
        main->afterFormLoad();
}
