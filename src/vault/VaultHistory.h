#pragma once

#include "vault/VaultFile.h"

#include <QByteArray>
#include <QByteArrayView>
#include <QDateTime>
#include <QString>
#include <QStringList>
#include <QStringView>

#include <optional>
#include <vector>

class VaultSession;
namespace sealedvault {
class SealKey;
}

// The states of one vault that this computer read or wrote, the last few
// dozen, which `keynook-cli backups` and `restore` offer. They are
// kept in the user's own data folder, never beside the vault: a synced folder
// would carry them to other computers. A state is the vault file's bytes as
// they were, so a sealed vault's states are sealed too, and a plain vault's
// are in the plain form until the vault is sealed (sealKept()). Folders are
// the user's alone (0700), files too (0600).
//
// A history whose folders are not the user's alone, or that holds anything
// but the plain files this class writes (see untrusted()), is not used at all:
// nothing in it is read, written or removed, and the vault is used without
// one.
class VaultHistory {
public:
    // The last states kept, and at most this many bytes of them (but the
    // newest two whatever their size): a vault of a million entries is
    // some 55 MiB a state.
    static constexpr int kKept = 40;
    static constexpr qint64 kKeptBytes = qint64(256) * 1024 * 1024;

    // The history of the vault at the real path `vaultFile`, under the
    // user's data folder for Keynook.
    VaultHistory(const QString& dataFolder, const QByteArray& vaultFile);

    const QString& folder() const { return m_folder; }

    // Why this history is not used, for a person, or empty when it is: one of
    // its folders (Keynook's data folder, `seen`, the vault's own and its
    // `backups`) is a symbolic link (Keynook's data folder may be one), not a
    // folder, another user's, or writable by other users, who could then put
    // any file there for a restore to take as the vault; or the vault's
    // folders hold a link, something other than a plain file, another user's
    // file, or a file larger than any vault. A folder not made yet is no
    // reason. Every other function checks this first, and does nothing on a
    // history that is not used.
    QString untrusted() const;

    // A kept file's bytes, read without following a link, and only from a
    // plain file no larger than a vault.
    static vaultfile::ReadResult readKept(const QString& path);

    // Keeps `file` as the newest state, read here (a change that came from
    // elsewhere) or written here, unless it is the newest already; the
    // oldest go beyond kKept. False when it could not be kept: a history is
    // a help, and a vault is used without one.
    bool record(const std::vector<QByteArrayView>& file, bool written);

    // Keeps a copy of the file at `path` among the backups, beside the
    // states, before the file is removed: a conflict copy once merged. The
    // last kKeptBackups are kept.
    bool keepBackup(const QString& path);
    static constexpr int kKeptBackups = 20;

    // Why a file was kept: what was about to rewrite the vault (a backup of
    // the vault), a merged conflict copy, or a state read or written here.
    enum class Why {
        Merge,        // a merge of other copies, or of another copy's change on saving
        CopiesMerge,  // the merge of conflict copies when the vault opens
        Import,       // an import of entries
        Seal,         // sealing
        Unseal,       // unsealing
        Password,     // a change of the master password
        Restore,      // a backup put back in its place
        Overwritten,  // a change from another copy that could not be read, saved over
        ConflictCopy, // a conflict copy, once merged and removed
        Saved,        // a state this computer wrote
        Read,         // a state this computer read
    };

    // Keeps the vault file at `vaultPath`, its bytes exactly as they are on
    // disk (a sealed vault's sealed), among the backups before `why`
    // rewrites it. The last kKeptVaultBackups of the vault are kept, apart
    // from the conflict copies: a sync tool that leaves a dozen copies at
    // once must not push out the backup of a rewrite made here, nor
    // repeated imports every copy. Written whole and synced before the
    // vault is rewritten. False, with the system's reason in `error`, when
    // it could not be kept.
    bool keepVaultBackup(const QString& vaultPath, Why why, QString* error = nullptr);
    static constexpr int kKeptVaultBackups = 10;

    // A file of this history that can be put back as the vault.
    struct Restorable {
        QString path;
        QDateTime kept; // when it was kept here
        Why why;
        qint64 size = 0;
        QByteArray digest; // of its bytes: the same bytes are one restorable
    };
    // The backups and the states, newest first, each content once (its
    // newest copy: a backup made before a rewrite keeps its reason over the
    // state it equals), leaving out what `current`, the vault file as it is
    // now, already holds, and files without a master password (an empty
    // vault, one never used), which would put back nothing. Their numbers,
    // from 1, are how a person names them.
    std::vector<Restorable> restorable(QByteArrayView current) const;

    // Why `file` cannot be put back as the vault, or empty when it is a vault
    // Keynook wrote: a sealed file whose header is whole (only the master
    // password proves the rest), or a plain one that starts with a master
    // line ending in CR LF, as every plain file Keynook writes does.
    static QString notRestorable(QByteArrayView file);

    // What sealKept() did.
    struct SealedKept {
        int sealed = 0;    // plain states and backups now sealed where they were
        int wiped = 0;     // plain files overwritten with zeros and removed
        QStringList left;  // plain files that could not be removed
        QString untrusted; // why the history was left as it is (see untrusted())
    };
    // Once the vault is sealed under `key`, made from `master`, its master
    // password, and that sealed file is on disk: every file of this history
    // still in the plain form goes. A state or backup that is a vault Keynook
    // wrote under the same master password is sealed under `key` in its place,
    // with its name and times, so that restorable() still offers it (the same
    // bytes sealed once, so they are still one content). Any other plain
    // file is overwritten with zeros, synced and removed: one with another
    // master password (from before a password change) would, sealed under
    // `key`, open with a password its first line does not hold, and unsealed
    // ask for the old one again; what a write cut short left goes too.
    SealedKept sealKept(const sealedvault::SealKey& key, QStringView master);

    // What this computer last saw of the vault: its newest state.
    struct LastSeen {
        bool sealed = false;
        bool master = false; // it had a master password
        qsizetype entries = 0;
        bool hadContents() const { return sealed || master || entries > 0; }
    };
    // A vault file found empty, or without its first line, where this
    // computer last saw it with a master password or entries: a sync tool's
    // or a disk's accident, not a vault never used.
    struct Lost {
        bool empty = false; // no byte at all; otherwise its first line is empty
        LastSeen last;
        int restoreNumber = 0; // of the last seen state in restorable(), 0 if it is not there
        // "data.enc is empty, but this computer last saw it with 42 entries"
        QString found(const QString& fileName) const;
    };

    // Keeps every state that `session` reads or writes, as record() does,
    // from its open() on; call it before. A file the session reads that lost
    // its contents (see Lost) is not kept: the newest state stays what this
    // computer last saw, so that every later start finds the loss again, and
    // lost() tells of it. A vault that was missing when this was called is
    // new, never lost: a person who deleted the file starts again, and its
    // never-used file is the newest state from then on.
    void follow(VaultSession& session);
    const std::optional<Lost>& lost() const { return m_lost; }

    struct State {
        QString path;
        bool written = false;
    };
    // Oldest first.
    std::vector<State> states() const;

private:
    // The stamp (vaultfile::Stamp) of the vault file as the newest state
    // was kept from it, so that a start that reads it unchanged need not
    // compare it with that state.
    static QByteArray stampText(const vaultfile::Stamp& stamp);
    QString stampPath() const;
    QByteArray newestStamp() const;
    void keepNewestStamp(const QByteArray& stamp) const;

    QString backupsFolder() const;
    std::vector<State> statesHere() const;
    // What a file among the backups is, from its name.
    Why backupKind(const QString& name) const;
    std::optional<LastSeen> lastSeen() const;
    void noteLost(QByteArrayView file);

    QString m_dataFolder;
    QString m_folder;
    QString m_vaultName; // the vault file's own name, which a backup may carry
    bool m_vaultExisted = true;
    std::optional<Lost> m_lost;
};
