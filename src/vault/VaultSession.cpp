#include "vault/VaultSession.h"

#include "secrets/Wipe.h"
#include "vault/SealedEntries.h"
#include "vault/VaultFormat.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>

#include <new>
#include <utility>

namespace {

using Status = VaultSession::Status;
using Failure = VaultSession::Failure;

Status failure(Failure kind, QString why = QString()) {
    return Status{kind, std::move(why)};
}

// What an unsealing that did not open says to the caller; Ok for one that did.
Status unsealStatus(const sealedvault::Unsealed& u) {
    switch (u.outcome) {
    case sealedvault::Outcome::Ok:
        break;
    case sealedvault::Outcome::WrongPassword:
        return failure(Failure::WrongPassword);
    case sealedvault::Outcome::NotSealed:
    case sealedvault::Outcome::Damaged:
        return failure(Failure::Damaged, u.reason);
    case sealedvault::Outcome::ParametersRefused:
    case sealedvault::Outcome::CannotDerive:
        return failure(Failure::SealRefused, u.reason);
    }
    return {};
}

// Runs `work`, which turns the vault's bytes into what the caller holds. A
// vault too large for the memory left is a failure to report, not a crash;
// nothing has been written by then.
template <class Work> Status withinMemory(Work&& work) {
    try {
        work();
        return {};
    } catch (const std::bad_alloc&) {
        return failure(Failure::OutOfMemory);
    }
}

} // namespace

VaultSession::VaultSession(QString path) : m_path(std::move(path)) {}

// What unlock() opened and no loadEntries() took holds every password.
VaultSession::~VaultSession() {
    m_opened = EntryStore(); // shares the bytes: the wipe below is then in place
    secrets::wipe(m_plain);
    secrets::wipe(m_stored);
}

void VaultSession::forgetStoredPassword() {
    m_forgotten = m_forgotten || !m_stored.isEmpty();
    secrets::wipe(m_stored);
}

Status VaultSession::read(QByteArray& data) {
    m_stamp = vaultfile::stampOf(m_path);
    vaultfile::ReadResult r = vaultfile::readAll(m_path);
    if (!r.ok)
        return failure(r.tooLarge ? Failure::TooLarge : Failure::Unreadable, r.error);
    data = std::move(r.data);
    if (m_seen)
        m_seen({data}, false);
    return {};
}

QByteArray VaultSession::realFile() const {
    return m_lockedFile.isEmpty() ? vaultfile::realFilePath(m_path) : m_lockedFile;
}

// Takes the vault for this session alone: the lock beside the file every name
// of the vault leads to, so that two names of one file (a link to it or to its
// folder, a bind mount) or two environments never let two programs write it
// at once.
Status VaultSession::lock() {
    const QByteArray real = vaultfile::realFilePath(m_path);
    auto lock = std::make_unique<VaultLock>(real, VaultLock::dataFolder());
    const VaultLock::Result taken = lock->tryLock();
    switch (taken.outcome) {
    case VaultLock::Outcome::Taken:
        break;
    case VaultLock::Outcome::Held:
        return failure(Failure::Locked, taken.why);
    case VaultLock::Outcome::NotPlain:
        return failure(Failure::LockNotPlain, taken.why);
    case VaultLock::Outcome::Failed:
        return failure(Failure::LockFailed, taken.why);
    }
    m_lock = std::move(lock);
    m_lockedFile = real;
    return {};
}

Status VaultSession::open() {
    // Checked before anything is written, the lock included.
    const vaultfile::Result owned = vaultfile::checkOwnership(m_path);
    if (!owned.ok)
        return failure(Failure::NotOwned, owned.error);
    // A link says where the vault is. Its file not being there (a sync
    // engine has not brought it yet, a drive is not mounted) does not make
    // it a vault never used: one made there would be a second vault, with a
    // master password of its own, beside the one on its way.
    if (const QString target = vaultfile::missingLinkTarget(m_path); !target.isEmpty())
        return failure(Failure::LinkToNothing, target);
    // Nobody can write a vault on a read-only medium: it needs no lock (nor
    // could it take one), and no save can have left anything there.
    m_readOnly =
        vaultfile::onReadOnlyFileSystem(QFileInfo(m_path).absolutePath()) ||
        vaultfile::onReadOnlyFileSystem(QFileInfo(vaultfile::realPath(m_path)).absolutePath());
    if (m_readOnly) {
        if (!vaultfile::FileExists(m_path))
            return failure(Failure::NewOnReadOnly);
    } else {
        if (Status locked = lock(); !locked.ok())
            return locked;
        // Only what the lock just taken protects: the leftovers of saves to
        // the file it is for, which no other writer can be making now.
        m_lock->removeLeftovers();
    }
    // The vault is read, locked and saved by its exact name, so only a file
    // of that name is the vault: another spelling, which FileExists accepts,
    // is another file here.
    if (vaultfile::findFileIgnoringCase(m_path) != m_path) {
        const vaultfile::Result created =
            vaultfile::createFile(m_path, vaultformat::neverUsedFile());
        if (!created.ok)
            return failure(Failure::CannotCreate, created.error);
    }
    QByteArray data;
    if (Status r = read(data); !r.ok())
        return r;
    // Nothing of a sealed vault is known before its password opens it.
    m_sealed = sealedvault::isSealed(data);
    if (m_sealed)
        return {};
    if (sealedvault::isSealedButForItsMagic(data))
        return failure(Failure::Damaged, QStringLiteral("its first bytes were changed"));
    // An empty file has no master line: like a first line that is empty, it
    // is a vault that was never used.
    if (Status r = withinMemory([&] { m_stored = vaultformat::readMasterPassword(data); }); !r.ok())
        return r;
    if (m_stored.isEmpty() && m_readOnly)
        return failure(Failure::NewOnReadOnly);
    return {};
}

namespace {

// What opening a sealed file with the session's key came to.
Status takePlain(sealedvault::Unsealed u, QByteArray& plain, QByteArray* record = nullptr) {
    if (!u.ok())
        return failure(Failure::Damaged,
                       u.outcome == sealedvault::Outcome::WrongPassword
                           ? QStringLiteral("The vault file was sealed again under another key "
                                            "after it was opened.")
                           : u.reason);
    plain = std::move(u.plain);
    if (record)
        *record = std::move(u.record);
    return {};
}

} // namespace

Status VaultSession::plainOf(const QByteArray& file, QByteArray& plain, QByteArray* record) const {
    if (record)
        record->clear();
    if (!m_sealed) {
        plain = file;
        return {};
    }
    // Never unlocked: no key could open it, and saying "sealed again under
    // another key" would send the user looking for a change that never was.
    if (m_key.isNull())
        return failure(Failure::WrongPassword);
    return takePlain(sealedvault::unsealWithKey(file, m_key), plain, record);
}

Status VaultSession::plainNow(QByteArray& plain) const {
    vaultfile::ReadResult r = vaultfile::readAll(m_path);
    if (!r.ok)
        return failure(r.tooLarge ? Failure::TooLarge : Failure::Unreadable, r.error);
    const Status opened = plainOf(r.data, plain);
    secrets::wipe(r.data);
    return opened;
}

Status VaultSession::readPlain(QByteArray& plain) {
    QByteArray data;
    if (Status r = read(data); !r.ok())
        return r;
    if (!m_sealed || m_key.isNull())
        return plainOf(data, plain);
    // The file's bytes are ours alone: opened in place, without a second
    // buffer as large as the vault.
    return takePlain(sealedvault::unsealWithKey(std::move(data), m_key), plain);
}

Status VaultSession::unlock(const QString& typed) {
    if (!m_sealed)
        return verify(typed) ? Status{} : failure(Failure::WrongPassword);
    QByteArray data;
    if (Status r = read(data); !r.ok())
        return r;
    // Opened in place, the plain bytes being the file's own buffer, and its
    // entries read while it opens: loadEntries() only takes them.
    sealedentries::Opened opened;
    if (Status r = withinMemory([&] { opened = sealedentries::open(std::move(data), typed); });
        !r.ok())
        return r;
    if (Status r = unsealStatus(opened.unsealed); !r.ok())
        return r;
    m_key = std::move(opened.unsealed.key);
    if (Status r = withinMemory(
            [&] { m_stored = vaultformat::readMasterPassword(opened.unsealed.plain); });
        !r.ok()) {
        opened.entries = EntryStore();
        secrets::wipe(opened.unsealed.plain);
        return r;
    }
    if (m_keeper)
        m_keeper->current(opened.unsealed.plain, opened.unsealed.record);
    m_opened = std::move(opened.entries);
    m_plain = std::move(opened.unsealed.plain);
    return {};
}

Status VaultSession::seal(const QString& password, const sealedvault::SealParams& params) {
    if (m_readOnly)
        return failure(Failure::ReadOnly);
    QByteArray data;
    if (Status r = read(data); !r.ok())
        return r;
    if (sealedvault::isSealed(data))
        return {};
    // Only the vault's own master password seals it: the sealed vault opens
    // with the password that its first line holds.
    QString master = vaultformat::readMasterPassword(data);
    if (master.isEmpty() || master != password) {
        secrets::wipe(data);
        secrets::wipe(master);
        return failure(Failure::WrongPassword);
    }
    QString why;
    sealedvault::SealKey key = sealedvault::deriveKey(password, params, &why);
    if (key.isNull()) {
        secrets::wipe(data);
        secrets::wipe(master);
        return failure(Failure::SealRefused, why);
    }
    // The record starts here: every entry marked by its content, so that
    // two computers that seal one vault hold its entries under one mark.
    if (m_keeper)
        m_keeper->forget();
    const QByteArray record = m_keeper ? m_keeper->recordFor(data) : QByteArray();
    const QByteArray file = sealedvault::sealWithRecord(data, record, key);
    if (Status r = replaceWith({file}); !r.ok()) {
        secrets::wipe(data);
        secrets::wipe(master);
        return r;
    }
    if (m_keeper)
        m_keeper->current(data, record);
    secrets::wipe(data);
    m_sealed = true;
    secrets::wipe(m_stored);
    m_stored = std::move(master);
    m_key = std::move(key);
    return {};
}

Status VaultSession::unseal() {
    if (!m_sealed)
        return {};
    if (m_readOnly)
        return failure(Failure::ReadOnly);
    QByteArray plain;
    if (Status r = readPlain(plain); !r.ok())
        return r;
    const Status saved = replaceWith({plain});
    secrets::wipe(plain);
    if (!saved.ok())
        return saved;
    m_sealed = false;
    m_key = sealedvault::SealKey();
    if (m_keeper)
        m_keeper->forget();
    return {};
}

QByteArray VaultSession::putAway(QByteArrayView kept, const sealedvault::SealParams& params) {
    if (m_away)
        return {};
    sealedvault::SealKey made;
    if (!m_sealed) {
        if (m_stored.isEmpty())
            return {};
        made = sealedvault::deriveKey(m_stored, params);
    }
    const sealedvault::SealKey& key = m_sealed ? m_key : made;
    if (key.isNull())
        return {};
    QByteArray copy = sealedvault::seal(kept, key);
    if (copy.isEmpty())
        return {};
    m_away = true;
    m_key = sealedvault::SealKey();
    m_opened = EntryStore(); // shares the bytes: the wipe below is then in place
    secrets::wipe(m_plain);
    secrets::wipe(m_stored);
    secrets::wipe(m_masterLine);
    return copy;
}

Status VaultSession::takeBack(const QByteArray& awayCopy, const QString& typed, QByteArray& plain) {
    if (!m_away)
        return failure(Failure::Damaged);
    sealedvault::Unsealed u = sealedvault::unseal(QByteArrayView(awayCopy), typed);
    if (Status r = unsealStatus(u); !r.ok())
        return r;
    if (Status r = withinMemory([&] {
            m_stored = vaultformat::readMasterPassword(u.plain);
            m_masterLine = vaultformat::masterLineOf(u.plain).toByteArray();
        });
        !r.ok()) {
        secrets::wipe(u.plain);
        secrets::wipe(m_stored);
        return r;
    }
    // The copy was sealed under the vault's own key: the same password, salt
    // and parameters give it again, for every later save.
    if (m_sealed)
        m_key = std::move(u.key);
    m_away = false;
    plain = std::move(u.plain);
    return {};
}

Status VaultSession::loadEntries(EntryStore& out) {
    QByteArray data;
    EntryStore entries;
    if (m_sealed && !m_plain.isEmpty()) {
        // Opened and read by unlock() a moment ago.
        data = std::exchange(m_plain, QByteArray());
        entries = std::exchange(m_opened, EntryStore());
    } else if (m_sealed && !m_key.isNull()) {
        if (Status r = read(data); !r.ok())
            return r;
        sealedentries::Opened opened;
        if (Status r =
                withinMemory([&] { opened = sealedentries::openWithKey(std::move(data), m_key); });
            !r.ok())
            return r;
        if (!opened.ok())
            return takePlain(std::move(opened.unsealed), data);
        if (m_keeper)
            m_keeper->current(opened.unsealed.plain, opened.unsealed.record);
        data = std::move(opened.unsealed.plain);
        entries = std::move(opened.entries);
    } else {
        if (Status r = readPlain(data); !r.ok())
            return r;
        // The entries keep the file's bytes: a field becomes text when it is
        // shown, copied or compared.
        if (Status r = withinMemory([&] { entries = EntryStore::fromFile(data); }); !r.ok())
            return r;
    }
    return withinMemory([&] {
        m_masterLine = vaultformat::masterLineOf(data).toByteArray();
        out.append(std::move(entries));
    });
}

Status VaultSession::createMaster(const QString& master, EntryStore& kept) {
    if (m_readOnly)
        return failure(Failure::ReadOnly);
    if (m_sealed) // a sealed vault always has its master password
        return failure(Failure::Damaged);
    // A vault without a master line may still hold entries (its first line
    // lost in an editor, say). The new password takes the first line's place
    // and every byte after it stays; the file is read again here, under the
    // lock, so that what is kept is what is there now.
    QByteArray current;
    if (Status r = read(current); !r.ok())
        return r;
    EntryStore entries;
    QByteArray file;
    if (Status r = withinMemory([&] {
            entries = EntryStore::fromFile(current);
            file = entries.empty() ? vaultformat::masterOnlyFile(master)
                                   : vaultformat::withMasterLine(master, current);
        });
        !r.ok())
        return r;
    current.clear();
    if (Status r = stillLockedFile(); !r.ok())
        return r;
    const vaultfile::Result saved = vaultfile::saveAtomically(m_path, file);
    m_stamp = vaultfile::stampOf(m_path);
    if (!saved.ok)
        return failure(Failure::CannotSave, saved.error);
    if (m_seen)
        m_seen({file}, true);
    m_stored = master;
    m_masterLine.clear();
    kept.append(std::move(entries));
    return {};
}

bool VaultSession::changedOutside() const {
    return m_stamp.exists && vaultfile::stampOf(m_path) != m_stamp;
}

Status VaultSession::save(const QByteArray& file) {
    if (Status r = writable(); !r.ok())
        return r;
    if (!m_sealed)
        return replaceWith({file});
    // A sealed vault stays sealed, under the key derived when it was opened
    // and a fresh nonce, with its record brought up to date.
    return saveSealed(file, m_keeper ? m_keeper->recordFor(file) : QByteArray());
}

Status VaultSession::saveWithRecord(const QByteArray& file, const QByteArray& record) {
    if (Status r = writable(); !r.ok())
        return r;
    return m_sealed ? saveSealed(file, record) : replaceWith({file});
}

Status VaultSession::saveSealed(const QByteArray& file, const QByteArray& record) {
    const QByteArray sealed = sealedvault::sealWithRecord(file, record, m_key);
    const Status saved = replaceWith({sealed});
    if (saved.ok() && m_keeper)
        m_keeper->current(file, record);
    return saved;
}

Status VaultSession::save(const vaultformat::FilePieces& file) {
    if (!m_sealed) {
        if (Status r = writable(); !r.ok())
            return r;
        return replaceWith(file.pieces());
    }
    // Sealed whole, from one buffer made at its full size at once; a copy
    // made here is wiped.
    QByteArray whole = file.joined();
    const Status saved = save(whole);
    if (whole.isDetached())
        secrets::wipe(whole);
    return saved;
}

Status VaultSession::writable() const {
    if (m_readOnly)
        return failure(Failure::ReadOnly);
    // Put away, the session holds nothing a save could write.
    if (m_away)
        return failure(Failure::WrongPassword);
    // Without its key a sealed vault cannot be sealed again, and the empty
    // file seal() gives for a null key would read as a vault never used.
    if (m_sealed && m_key.isNull())
        return failure(Failure::WrongPassword);
    return {};
}

Status VaultSession::replaceWith(const std::vector<QByteArrayView>& pieces) {
    if (Status r = stillLockedFile(); !r.ok())
        return r;
    const vaultfile::Result saved = vaultfile::saveAtomically(m_path, pieces);
    if (!saved.ok)
        return failure(Failure::CannotSave, saved.error);
    m_stamp = vaultfile::stampOf(m_path);
    if (m_seen)
        m_seen(pieces, true);
    // What unlock() opened is the file as it was.
    m_opened = EntryStore();
    secrets::wipe(m_plain);
    return {};
}

Status VaultSession::stillLockedFile() const {
    if (m_lock && vaultfile::realFilePath(m_path) != m_lockedFile)
        return failure(Failure::CannotSave,
                       QStringLiteral("%1 now leads to another file than the one opened. "
                                      "Start Keynook again to open that one.")
                           .arg(QDir::toNativeSeparators(m_path)));
    return {};
}

Status VaultSession::changeMaster(const QString& master) {
    if (Status r = writable(); !r.ok())
        return r;
    QByteArray plain;
    if (Status r = readPlain(plain); !r.ok())
        return r;
    QByteArray file;
    const Status made = withinMemory([&] { file = vaultformat::withMasterLine(master, plain); });
    secrets::wipe(plain);
    if (!made.ok())
        return made;
    // The old key opens what the old password sealed; a new password gets a
    // key of its own (a new salt), at the cost the vault was sealed with.
    sealedvault::SealKey key;
    if (m_sealed) {
        QString why;
        key = sealedvault::deriveKey(master, m_key.params(), &why);
        if (key.isNull()) {
            secrets::wipe(file);
            return failure(Failure::SealRefused, why);
        }
    }
    // A new password is a change like any other: its record says so.
    const QByteArray record = m_sealed && m_keeper ? m_keeper->recordFor(file) : QByteArray();
    const Status saved =
        replaceWith({m_sealed ? sealedvault::sealWithRecord(file, record, key) : file});
    if (saved.ok() && m_sealed && m_keeper)
        m_keeper->current(file, record);
    secrets::wipe(file);
    if (!saved.ok())
        return saved;
    secrets::wipe(m_stored);
    m_stored = master;
    m_masterLine.clear();
    if (m_sealed)
        m_key = std::move(key);
    return {};
}

Status VaultSession::putBack(const QByteArray& file) {
    if (m_readOnly)
        return failure(Failure::ReadOnly);
    if (m_keeper)
        m_keeper->forget();
    return replaceWith({file});
}
