#pragma once

#include "seal/SealedVault.h"
#include "vault/EntryStore.h"
#include "vault/VaultFile.h"
#include "vault/VaultFormat.h"
#include "vault/VaultLock.h"

#include <QByteArray>
#include <QString>

#include <functional>
#include <memory>
#include <vector>

// One vault in use: where it is, the lock that keeps every other writer out,
// the stamp of the file as this session last read or wrote it, and the steps
// that open, read, create and save it. The window and the command line share
// it. It shows nothing: every failure comes back as a value, with a reason a
// person can act on; the caller words the rest.
class VaultSession {
public:
    enum class Failure {
        None,
        NotOwned,      // another user could read or replace the vault
        LockNotPlain,  // the lock's name holds something other than a plain file
        Locked,        // another running copy holds the vault; `why` names it if it can
        LockFailed,    // the lock could not be taken for another reason
        NewOnReadOnly, // a vault still to be set up, on a medium that takes no writes
        CannotCreate,  // no never-used vault could be made
        LinkToNothing, // the vault is a link to a file not there; `why` is where
        Unreadable,
        TooLarge,    // larger than any vault Keynook writes
        OutOfMemory, // the entries do not fit in the memory left
        ReadOnly,    // a change, on a medium that takes no writes
        CannotSave,
        WrongPassword,
        Damaged,     // a sealed vault changed outside Keynook, or cut short
        SealRefused, // a sealed vault whose key cannot be derived here
    };
    struct Status {
        Failure failure = Failure::None;
        QString why; // the system's reason or the check's finding; may be empty
        bool ok() const { return failure == Failure::None; }
    };

    explicit VaultSession(QString path);
    ~VaultSession();
    VaultSession(const VaultSession&) = delete;
    VaultSession& operator=(const VaultSession&) = delete;

    const QString& path() const { return m_path; }
    // Where the vault's bytes are: the file the lock is for, every link
    // followed (see vaultfile::realFilePath).
    QByteArray realFile() const;

    // Hears every state of the file that this session reads or writes, its
    // bytes as on disk: what a history of the vault keeps. A sealed vault's
    // are sealed.
    using StateSeen = std::function<void(const std::vector<QByteArrayView>& file, bool written)>;
    void onStateSeen(StateSeen seen) { m_seen = std::move(seen); }

    // A sealed vault's file carries, beside the plain bytes, the record of
    // what this copy has seen (sync/), which a keeper brings up to date at
    // every save. Without a keeper a sealed save carries no record.
    class RecordKeeper {
    public:
        virtual ~RecordKeeper() = default;
        // The vault file as just read or written: its plain bytes and the
        // record it carries (empty for none).
        virtual void current(QByteArrayView plain, QByteArrayView record) = 0;
        // The record to save with `plain`, which is about to replace the
        // file current() told of.
        virtual QByteArray recordFor(QByteArrayView plain) = 0;
        // The vault holds no record now: unsealed, or a file put back.
        virtual void forget() = 0;
    };
    void keepRecordWith(RecordKeeper* keeper) { m_keeper = keeper; }

    // Checks who owns the vault and its folder, takes the lock of the file
    // the path leads to (a vault on a read-only medium needs none and cannot
    // take one), removes what an interrupted save left, creates a
    // never-used vault when there is none (but never at the end of a link
    // that leads to nothing: LinkToNothing, before anything is written), and
    // reads the master password. Nothing is written when it fails, apart
    // from the lock.
    Status open();
    bool readOnly() const { return m_readOnly; }
    bool holdsLock() const { return m_lock && m_lock->isLocked(); }
    void releaseLock() { m_lock.reset(); }

    // The master password as read by open(); empty for a vault never used
    // (an empty first line, or no line at all), for a sealed vault until
    // unlock() opened it, and once forgotten.
    const QString& storedPassword() const { return m_stored; }
    // Exact, case-sensitive comparison with the stored master password.
    bool verify(const QString& typed) const { return !m_stored.isEmpty() && typed == m_stored; }
    // Wipes the stored master password, for a caller that needs it no more
    // once unlock() checked it: saves then write the master line as read
    // (vaultformat::savedPiecesWithLine). The vault still has one.
    void forgetStoredPassword();
    // Whether the vault has a master password: sealed, stored, or forgotten.
    bool hasMasterPassword() const { return m_sealed || m_forgotten || !m_stored.isEmpty(); }

    // A sealed vault: its content is encrypted under a key derived from the
    // master password, so nothing in it is known before unlock().
    bool sealed() const { return m_sealed; }
    // Checks the typed master password: for a plain vault as verify() does;
    // a sealed one is opened with it (the key derivation takes about half a
    // second), and its key is kept for every later save. WrongPassword, or
    // Damaged for a sealed file changed outside Keynook.
    Status unlock(const QString& typed);

    // Turns the plain vault into a sealed one under `password`, which must be
    // its master password: the file's bytes, exactly as they are, sealed in
    // one atomic save.
    Status seal(const QString& password,
                const sealedvault::SealParams& params = sealedvault::SealParams::defaults());
    // Turns an unlocked sealed vault back into the plain form: exactly the
    // bytes it held, in one atomic save.
    Status unseal();
    // The parameters of a sealed vault's key, once unlock() or seal() made it.
    const sealedvault::SealParams& sealParams() const { return m_key.params(); }
    // A sealed vault's key, once unlock() or seal() made it: other copies of
    // the vault sealed under it open without a derivation.
    const sealedvault::SealKey& key() const { return m_key; }

    // Makes `master` the master password: the vault's first line becomes its
    // line and every byte after it stays as it is, in one atomic save. A
    // sealed vault is sealed again under a new key from `master` (a new salt,
    // the parameters it had), so the old password opens nothing saved from
    // now on; its plain bytes are never written. Callers check
    // changedOutside() first: this reads the file again.
    Status changeMaster(const QString& master);

    // The plain form's bytes of `file`, the vault file as read: a sealed
    // one opened with the key kept since unlock(), a plain one as it is.
    // A sealed file's record goes to `record` when given (empty for none).
    Status plainOf(const QByteArray& file, QByteArray& plain, QByteArray* record = nullptr) const;
    // The plain form's bytes of the vault file as it is on disk now, read
    // without being taken as read: the stamp stays, so a change found this
    // way is still a change from outside.
    Status plainNow(QByteArray& plain) const;

    // Puts the vault away while its person is gone: `kept`, what the window
    // holds as a vault file (its first line the master line), comes back
    // sealed under the key a sealed vault was opened with, or, for a plain
    // one, under a key derived now from its master password with `params`.
    // Then the key, the master password and every plain byte the session
    // holds are wiped; the lock and the stamp stay, so a change made
    // outside meanwhile is still one. Empty, with nothing wiped, when no key
    // can be had (a plain vault whose master password was forgotten).
    QByteArray putAway(QByteArrayView kept,
                       const sealedvault::SealParams& params = sealedvault::SealParams::defaults());
    bool away() const { return m_away; }
    // Opens what putAway() gave with the password typed, a key derivation as
    // long as a sealed vault's opening: its plain bytes in `plain`, and the
    // session as it was before, key and master password. WrongPassword when
    // the password is not the master password; the copy stays as it was.
    Status takeBack(const QByteArray& awayCopy, const QString& typed, QByteArray& plain);

    // Reads the file again and appends its entries to `out`.
    Status loadEntries(EntryStore& out);
    // The first line as loadEntries() read it, for a save to keep it in the
    // form it had (see vaultformat::savedFile).
    const QByteArray& masterLineAsRead() const { return m_masterLine; }

    // Writes `master` as the vault's first line. Entry lines behind an empty
    // first line are kept byte for byte (the file is read again for that),
    // and appended to `kept`, so that later saves keep them too.
    Status createMaster(const QString& master, EntryStore& kept);

    // True when another program changed or replaced the file since this
    // session last read or wrote it.
    bool changedOutside() const;
    // Replaces the file with `file` in one step; the old file stays whole
    // when anything fails.
    Status save(const QByteArray& file);
    Status save(const vaultformat::FilePieces& file);
    // The same with the record a sealed vault carries given, rather than
    // made by the keeper: a merge's. A plain vault has no room for one.
    Status saveWithRecord(const QByteArray& file, const QByteArray& record);

    // Replaces the file with `file` exactly as given, plain or sealed (a
    // backup put back), in one atomic save, without a key: nothing is sealed
    // or opened. What the session read before (the master password, the
    // form, the key) is of the old file: open the vault again to use it.
    Status putBack(const QByteArray& file);

private:
    // Whether a save may write now: not on a read-only medium, nor a sealed
    // vault without its key.
    Status writable() const;
    // Whether the path still leads to the file the lock is for.
    Status stillLockedFile() const;
    // Replaces the file with these bytes, one piece after another.
    Status replaceWith(const std::vector<QByteArrayView>& pieces);
    Status saveSealed(const QByteArray& file, const QByteArray& record);
    Status read(QByteArray& data);
    // Reads the file and, for a sealed vault, opens it with the key.
    Status readPlain(QByteArray& plain);
    Status lock();

    QString m_path;
    std::unique_ptr<VaultLock> m_lock;
    // The file the lock is for: a save that would land elsewhere (a link
    // pointed at another file meanwhile) is refused.
    QByteArray m_lockedFile;
    StateSeen m_seen;
    RecordKeeper* m_keeper = nullptr;
    bool m_readOnly = false;
    vaultfile::Stamp m_stamp;
    QString m_stored;
    bool m_forgotten = false;
    QByteArray m_masterLine;
    bool m_sealed = false;
    bool m_away = false;
    sealedvault::SealKey m_key; // a sealed vault's, from unlock() on
    // What unlock() opened and the entries read from it, which share its
    // bytes, until loadEntries() takes them.
    QByteArray m_plain;
    EntryStore m_opened;
};
