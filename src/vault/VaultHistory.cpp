#include "vault/VaultHistory.h"

#include "seal/SealedVault.h"
#include "secrets/Wipe.h"
#include "vault/EntryStore.h"
#include "vault/VaultFile.h"
#include "vault/VaultFormat.h"
#include "vault/VaultLocation.h"
#include "vault/VaultSession.h"

#include <QCryptographicHash>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QSet>
#include <QtEndian>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <memory>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// A state is read and written this much at a time: a vault's lines come in
// many pieces (runs of lines in the order the list shows them), and a state
// as large as the vault is neither read into one fresh buffer nor written a
// piece per call. Small enough for the allocator to hand out again without
// mapping new memory.
constexpr qsizetype kChunk = qsizetype(64) << 10;

// False, errno saying why, when not all of it could be written (a write
// that takes nothing is a full disk).
bool writeAll(int fd, const char* p, qsizetype left) {
    while (left > 0) {
        const ssize_t n = ::write(fd, p, static_cast<size_t>(left));
        if (n < 0 && errno == EINTR)
            continue;
        if (n == 0)
            errno = ENOSPC;
        if (n <= 0)
            return false;
        p += n;
        left -= n;
    }
    return true;
}

bool writeNew(const QString& path, const std::vector<QByteArrayView>& pieces) {
    const QByteArray name = QFile::encodeName(path);
    const int fd = ::open(name.constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0)
        return false;
    const std::unique_ptr<char[]> buffer(new char[kChunk]);
    qsizetype used = 0;
    bool ok = true;
    for (const QByteArrayView piece : pieces) {
        if (used + piece.size() > kChunk) {
            ok = ok && writeAll(fd, buffer.get(), used);
            used = 0;
        }
        if (piece.size() >= kChunk) {
            ok = ok && writeAll(fd, piece.data(), piece.size());
        } else if (!piece.isEmpty()) {
            std::memcpy(buffer.get() + used, piece.data(), static_cast<size_t>(piece.size()));
            used += piece.size();
        }
    }
    ok = writeAll(fd, buffer.get(), used) && ok;
    ok = ::close(fd) == 0 && ok;
    if (!ok)
        ::unlink(name.constData());
    return ok;
}

// Whether the file at `path` holds the pieces' bytes, one after another.
bool sameBytes(const QString& path, const std::vector<QByteArrayView>& pieces) {
    qsizetype left = 0;
    for (const QByteArrayView piece : pieces)
        left += piece.size();
    const int fd =
        ::open(QFile::encodeName(path).constData(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return false;
    struct stat st {};
    bool same = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_size == left;
    const std::unique_ptr<char[]> buffer(same ? new char[kChunk] : nullptr);
    size_t piece = 0;
    qsizetype at = 0;
    while (same && left > 0) {
        const ssize_t n = ::read(fd, buffer.get(), static_cast<size_t>(std::min(kChunk, left)));
        if (n < 0 && errno == EINTR)
            continue;
        same = n > 0;
        left -= std::max<ssize_t>(n, 0);
        // The bytes read against the pieces from where the last read ended.
        for (qsizetype done = 0; same && done < n;) {
            const QByteArrayView rest = pieces[piece].sliced(at);
            const qsizetype take = std::min<qsizetype>(n - done, rest.size());
            same = take == 0 ||
                   std::memcmp(buffer.get() + done, rest.data(), static_cast<size_t>(take)) == 0;
            done += take;
            at += take;
            if (at == pieces[piece].size()) {
                ++piece;
                at = 0;
            }
        }
    }
    ::close(fd);
    return same;
}

// A backup's name starts with the time it was kept, in UTC, so that the
// names sort oldest first: "20261207-185610123-".
const QString kTimeFormat = QStringLiteral("yyyyMMdd-HHmmsszzz");
constexpr qsizetype kTimeLength = 18;

// The word a backup of the vault is named by, after its time:
// "20261207-185610123-import.backup". A conflict copy keeps its own name.
struct BackupWord {
    VaultHistory::Why why;
    const char* word;
};
constexpr BackupWord kBackupWords[] = {
    {VaultHistory::Why::Merge, "merge"},     {VaultHistory::Why::CopiesMerge, "copies"},
    {VaultHistory::Why::Import, "import"},   {VaultHistory::Why::Seal, "seal"},
    {VaultHistory::Why::Unseal, "unseal"},   {VaultHistory::Why::Password, "password"},
    {VaultHistory::Why::Restore, "restore"}, {VaultHistory::Why::Overwritten, "overwritten"},
};
const QString kBackupSuffix = QStringLiteral(".backup");

QString systemError(const QString& what) {
    return what + QStringLiteral(": ") + QString::fromLocal8Bit(std::strerror(errno));
}

// Where the file at `path` is written before it takes that name: hidden, and
// never listed.
QByteArray tempNameOf(const QString& path) {
    const QFileInfo info(path);
    return QFile::encodeName(info.path() + QStringLiteral("/.") + info.fileName() +
                             QStringLiteral(".new"));
}

void syncFolder(const QString& path) {
    const int folder =
        ::open(QFile::encodeName(path).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (folder >= 0) {
        ::fsync(folder);
        ::close(folder);
    }
}

// Writes `bytes` as a new file at `path`, owner-only, whole and synced before
// it has its name: a backup is there to be relied on after the rewrite it
// comes before. The temporary name is hidden, and never listed.
bool writeSynced(const QString& path, QByteArrayView bytes, QString& error) {
    const QByteArray temp = tempNameOf(path);
    ::unlink(temp.constData()); // what a write cut short left
    const int fd =
        ::open(temp.constData(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) {
        error = systemError(QStringLiteral("it could not be created"));
        return false;
    }
    bool ok = writeAll(fd, bytes.data(), bytes.size());
    if (!ok)
        error = systemError(QStringLiteral("it could not be written"));
    if (ok && ::fsync(fd) != 0) {
        error = systemError(QStringLiteral("it could not be synced"));
        ok = false;
    }
    if (::close(fd) != 0 && ok) {
        error = systemError(QStringLiteral("it could not be written"));
        ok = false;
    }
    if (ok && ::rename(temp.constData(), QFile::encodeName(path).constData()) != 0) {
        error = systemError(QStringLiteral("it could not be named"));
        ok = false;
    }
    if (!ok) {
        ::unlink(temp.constData());
        return false;
    }
    syncFolder(QFileInfo(path).path());
    return true;
}

// Overwrites the plain file at `path` with zeros where its bytes lie, and
// syncs it: what a removal alone leaves on the disk for anyone who reads it
// raw. (A file system that writes elsewhere, copy-on-write or an SSD's own
// mapping, may keep the old blocks; nothing a program does reaches those.)
bool zeroFile(const QByteArray& path) {
    const int fd = ::open(path.constData(), O_WRONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return false;
    struct stat st {};
    bool ok = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
    const std::unique_ptr<char[]> zeros(ok ? new char[kChunk]() : nullptr);
    for (off_t at = 0; ok && at < st.st_size;) {
        const ssize_t n = ::pwrite(
            fd, zeros.get(), static_cast<size_t>(std::min<off_t>(kChunk, st.st_size - at)), at);
        if (n < 0 && errno == EINTR)
            continue;
        ok = n > 0;
        at += std::max<ssize_t>(n, 0);
    }
    ok = ok && ::fsync(fd) == 0;
    return ::close(fd) == 0 && ok;
}

// Zeros, then removes: true when the name is gone, whether or not its bytes
// could be overwritten first.
bool wipeFile(const QString& path) {
    const QByteArray name = QFile::encodeName(path);
    zeroFile(name);
    return ::unlink(name.constData()) == 0 || errno == ENOENT;
}

// Puts `sealed` in the place of the plain file at `path`: written and synced
// under the temporary name with the old file's times (restorable() orders by
// them), the plain bytes zeroed, then renamed over them. A crash between the
// last two steps leaves a file of zeros, never the plain bytes.
bool replaceWithSealed(const QString& path, QByteArrayView sealed) {
    const QByteArray name = QFile::encodeName(path);
    struct stat old {};
    if (::lstat(name.constData(), &old) != 0 || !S_ISREG(old.st_mode))
        return false;
    const QByteArray temp = tempNameOf(path);
    ::unlink(temp.constData());
    const int fd =
        ::open(temp.constData(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0)
        return false;
    const timespec times[2] = {old.st_atim, old.st_mtim};
    bool ok = writeAll(fd, sealed.data(), sealed.size()) && ::futimens(fd, times) == 0 &&
              ::fsync(fd) == 0;
    ok = ::close(fd) == 0 && ok;
    ok = ok && zeroFile(name) && ::rename(temp.constData(), name.constData()) == 0;
    if (!ok)
        ::unlink(temp.constData());
    return ok;
}

QString shown(const QString& path) {
    return vaultlocation::displayName(QDir::toNativeSeparators(path));
}

// Why the folder at `path` is not the user's own that only the user can
// change, or empty when it is, or is not there: then it is made so.
QString foreignFolder(const QString& path, bool followLink) {
    const QByteArray name = QFile::encodeName(path);
    struct stat st {};
    if ((followLink ? ::stat(name.constData(), &st) : ::lstat(name.constData(), &st)) != 0)
        return errno == ENOENT
                   ? QString()
                   : QStringLiteral("%1 cannot be looked into: %2")
                         .arg(shown(path), QString::fromLocal8Bit(std::strerror(errno)));
    if (S_ISLNK(st.st_mode))
        return QStringLiteral("%1 is a symbolic link").arg(shown(path));
    if (!S_ISDIR(st.st_mode))
        return QStringLiteral("%1 is not a folder").arg(shown(path));
    if (st.st_uid != ::geteuid())
        return QStringLiteral("%1 belongs to another user").arg(shown(path));
    if (st.st_mode & (S_IWGRP | S_IWOTH))
        return QStringLiteral("other users can write to %1").arg(shown(path));
    return {};
}

// Why what `folder` holds is not what a history writes there: plain files
// of the user's, none larger than a vault, and the folder `sub`.
QString foreignContents(const QString& folder, const char* sub) {
    DIR* d = ::opendir(QFile::encodeName(folder).constData());
    if (!d)
        return errno == ENOENT
                   ? QString()
                   : QStringLiteral("%1 cannot be listed: %2")
                         .arg(shown(folder), QString::fromLocal8Bit(std::strerror(errno)));
    QString why;
    while (const dirent* e = ::readdir(d)) {
        if (std::strcmp(e->d_name, ".") == 0 || std::strcmp(e->d_name, "..") == 0)
            continue;
        struct stat st {};
        if (::fstatat(::dirfd(d), e->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0)
            continue; // gone meanwhile
        const QString path = folder + QLatin1Char('/') + QFile::decodeName(e->d_name);
        if (S_ISLNK(st.st_mode))
            why = QStringLiteral("%1 is a symbolic link").arg(shown(path));
        else if (S_ISDIR(st.st_mode) && sub && std::strcmp(e->d_name, sub) == 0)
            continue;
        else if (!S_ISREG(st.st_mode))
            why = QStringLiteral("%1 is not a plain file").arg(shown(path));
        else if (st.st_uid != ::geteuid())
            why = QStringLiteral("%1 belongs to another user").arg(shown(path));
        else if (st.st_size > vaultfile::kMaxVaultBytes)
            why = QStringLiteral("%1 is larger than any vault Keynook writes").arg(shown(path));
        if (!why.isEmpty())
            break;
    }
    ::closedir(d);
    return why;
}

// A new name in `folder`: the time now, then `tail`. Two kept within one
// millisecond take the next free one, so that none replaces another and the
// names still sort oldest first.
QString newName(const QString& folder, const QString& tail) {
    QDateTime t = QDateTime::currentDateTimeUtc();
    QString name;
    do {
        name = t.toString(kTimeFormat) + QLatin1Char('-') + tail;
        t = t.addMSecs(1);
    } while (QFileInfo::exists(folder + QLatin1Char('/') + name));
    return name;
}

QByteArray digestOf(QByteArrayView bytes) {
    return QCryptographicHash::hash(bytes, QCryptographicHash::Sha256);
}

// A file that holds no vault to put back: empty, or a plain one without a
// master password (a vault never used).
bool withoutMaster(QByteArrayView file) {
    return !sealedvault::isSealed(file) && vaultformat::masterLineOf(file).isEmpty();
}

} // namespace

VaultHistory::VaultHistory(const QString& dataFolder, const QByteArray& vaultFile)
    : m_dataFolder(dataFolder) {
    // One folder per vault file, named for its real path, which is not kept.
    const QByteArray id =
        QCryptographicHash::hash(vaultFile, QCryptographicHash::Sha256).toHex().left(32);
    m_folder = dataFolder + QStringLiteral("/seen/") + QString::fromLatin1(id);
    m_vaultName = QFileInfo(QFile::decodeName(vaultFile)).fileName();
}

QString VaultHistory::backupsFolder() const {
    return m_folder + QStringLiteral("/backups");
}

VaultHistory::Why VaultHistory::backupKind(const QString& name) const {
    const QString own = name.mid(kTimeLength + 1);
    if (own.endsWith(kBackupSuffix)) {
        const QString word = own.chopped(kBackupSuffix.size());
        for (const BackupWord& b : kBackupWords)
            if (word == QLatin1String(b.word))
                return b.why;
    }
    // The window kept a change it could not read under the vault's own name.
    if (own == m_vaultName)
        return Why::Overwritten;
    return Why::ConflictCopy;
}

QString VaultHistory::untrusted() const {
    // Keynook's own data folder may be a link the user made; what it holds is
    // looked at as it is.
    const QString seen = m_dataFolder + QStringLiteral("/seen");
    for (const auto& [folder, follow] : {std::pair{m_dataFolder, true},
                                         {seen, false},
                                         {m_folder, false},
                                         {backupsFolder(), false}})
        if (QString why = foreignFolder(folder, follow); !why.isEmpty())
            return why;
    if (QString why = foreignContents(m_folder, "backups"); !why.isEmpty())
        return why;
    return foreignContents(backupsFolder(), nullptr);
}

vaultfile::ReadResult VaultHistory::readKept(const QString& path) {
    vaultfile::ReadResult r;
    const auto failed = [&](const QString& why) {
        r.ok = false;
        r.error = why;
        return r;
    };
    const int fd =
        ::open(QFile::encodeName(path).constData(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return failed(QString::fromLocal8Bit(std::strerror(errno)));
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        return failed(QStringLiteral("it is not a plain file"));
    }
    if (st.st_size > vaultfile::kMaxVaultBytes) {
        ::close(fd);
        r.tooLarge = true;
        return failed(QStringLiteral("it is larger than any vault Keynook writes"));
    }
    r.data.resize(static_cast<qsizetype>(st.st_size));
    qsizetype got = 0;
    while (got < r.data.size()) {
        const ssize_t n = ::read(fd, r.data.data() + got, static_cast<size_t>(r.data.size() - got));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        got += n;
    }
    ::close(fd);
    if (got != r.data.size()) {
        secrets::wipe(r.data);
        return failed(QStringLiteral("it changed while it was read"));
    }
    return r;
}

std::vector<VaultHistory::State> VaultHistory::states() const {
    if (!untrusted().isEmpty())
        return {};
    return statesHere();
}

std::vector<VaultHistory::State> VaultHistory::statesHere() const {
    std::vector<State> out;
    const QStringList names = QDir(m_folder).entryList({QStringLiteral("*.enc")},
                                                       QDir::Files | QDir::NoSymLinks, QDir::Name);
    for (const QString& name : names)
        out.push_back({m_folder + QLatin1Char('/') + name, name.endsWith(QLatin1String("-w.enc"))});
    return out;
}

bool VaultHistory::record(const std::vector<QByteArrayView>& file, bool written) {
    if (!untrusted().isEmpty() || !vaultlocation::makePrivateFolders(m_dataFolder, m_folder))
        return false;
    const std::vector<State> kept = statesHere();
    // A vault read or written again unchanged is no new state.
    if (!kept.empty() && sameBytes(kept.back().path, file))
        return true;
    const qulonglong next =
        kept.empty()
            ? 1
            : QFileInfo(kept.back().path).fileName().section(QLatin1Char('-'), 0, 0).toULongLong() +
                  1;
    const QString name = QStringLiteral("%1-%2.enc")
                             .arg(next, 12, 10, QLatin1Char('0'))
                             .arg(written ? QLatin1Char('w') : QLatin1Char('r'));
    if (!writeNew(m_folder + QLatin1Char('/') + name, file))
        return false;
    // The newest are kept, up to the count and the bytes (the newest two
    // whatever their size); the older ones go.
    qint64 bytes = 0;
    for (const QByteArrayView piece : file)
        bytes += piece.size();
    int count = 1;
    size_t firstKept = kept.size();
    while (firstKept > 0) {
        const qint64 size = QFileInfo(kept[firstKept - 1].path).size();
        if (count >= kKept || (count >= 2 && bytes + size > kKeptBytes))
            break;
        bytes += size;
        ++count;
        --firstKept;
    }
    for (size_t k = 0; k < firstKept; ++k)
        QFile::remove(kept[k].path);
    return true;
}

bool VaultHistory::keepBackup(const QString& path) {
    const QString backups = backupsFolder();
    if (!untrusted().isEmpty() || !vaultlocation::makePrivateFolders(m_dataFolder, backups))
        return false;
    const vaultfile::ReadResult source = readKept(path);
    if (!source.ok)
        return false;
    const QByteArray& bytes = source.data;
    // The conflict copies are counted apart from the vault's own backups.
    QStringList kept;
    for (const QString& name : QDir(backups).entryList(QDir::Files, QDir::Name))
        if (backupKind(name) == Why::ConflictCopy)
            kept << name;
    // Named by the time it was kept, then its own name, so that they sort
    // oldest first.
    const QString name = newName(backups, QFileInfo(path).fileName());
    QString error;
    if (!writeSynced(backups + QLatin1Char('/') + name, bytes, error))
        return false;
    for (qsizetype i = 0; i + kKeptBackups < kept.size() + 1; ++i)
        QFile::remove(backups + QLatin1Char('/') + kept[i]);
    return true;
}

bool VaultHistory::keepVaultBackup(const QString& vaultPath, Why why, QString* error) {
    QString failed;
    const auto fail = [&](const QString& what) {
        if (error)
            *error = what;
        return false;
    };
    const QString backups = backupsFolder();
    if (const QString why = untrusted(); !why.isEmpty())
        return fail(
            QStringLiteral("this computer's history of the vault is not used, as %1").arg(why));
    if (!vaultlocation::makePrivateFolders(m_dataFolder, backups))
        return fail(
            systemError(QDir::toNativeSeparators(backups) + QStringLiteral(" could not be made")));
    const vaultfile::ReadResult read = vaultfile::readAll(vaultPath);
    if (!read.ok)
        return fail(QStringLiteral("the vault could not be read: ") + read.error);
    const char* word = "merge";
    for (const BackupWord& b : kBackupWords)
        if (b.why == why)
            word = b.word;
    const QString name = newName(backups, QLatin1String(word) + kBackupSuffix);
    if (!writeSynced(backups + QLatin1Char('/') + name, read.data, failed))
        return fail(QDir::toNativeSeparators(backups + QLatin1Char('/') + name) +
                    QStringLiteral(": ") + failed);
    QStringList kept;
    for (const QString& n : QDir(backups).entryList(QDir::Files, QDir::Name))
        if (backupKind(n) != Why::ConflictCopy)
            kept << n;
    for (qsizetype i = 0; i + kKeptVaultBackups < kept.size(); ++i)
        QFile::remove(backups + QLatin1Char('/') + kept[i]);
    return true;
}

std::vector<VaultHistory::Restorable> VaultHistory::restorable(QByteArrayView current) const {
    std::vector<Restorable> all;
    if (!untrusted().isEmpty())
        return all;
    const QString backups = backupsFolder();
    // Ordered by when each was written, states and backups on the one clock
    // of the file system; of two written within its tick, the backup counts
    // as the newer, so that a state equal to it gives way to its reason.
    // Each kind newest first already, by its names, for those ties.
    const QStringList names =
        QDir(backups).entryList(QDir::Files | QDir::NoSymLinks, QDir::Name | QDir::Reversed);
    for (const QString& name : names) {
        const QString path = backups + QLatin1Char('/') + name;
        all.push_back({path, QFileInfo(path).lastModified(), backupKind(name), 0, {}});
    }
    const std::vector<State> kept = statesHere();
    for (auto state = kept.rbegin(); state != kept.rend(); ++state)
        all.push_back({state->path,
                       QFileInfo(state->path).lastModified(),
                       state->written ? Why::Saved : Why::Read,
                       0,
                       {}});
    std::stable_sort(all.begin(), all.end(),
                     [](const Restorable& a, const Restorable& b) { return a.kept > b.kept; });
    // Each content once, its newest copy; not what the vault holds now.
    QSet<QByteArray> seen{digestOf(current)};
    std::vector<Restorable> out;
    for (Restorable& r : all) {
        const vaultfile::ReadResult read = readKept(r.path);
        if (!read.ok || withoutMaster(read.data))
            continue;
        r.digest = digestOf(read.data);
        if (seen.contains(r.digest))
            continue;
        seen.insert(r.digest);
        r.size = read.data.size();
        out.push_back(std::move(r));
    }
    return out;
}

VaultHistory::SealedKept VaultHistory::sealKept(const sealedvault::SealKey& key,
                                                QStringView master) {
    SealedKept out;
    out.untrusted = untrusted();
    if (!out.untrusted.isEmpty())
        return out;
    // The same plain bytes (a state and the backup made before sealing, say)
    // are sealed once and that file copied, so that restorable() still shows
    // them once. Only where it was written is remembered: fifty states of a
    // large vault are not held in memory at once.
    QHash<QByteArray, QString> sealedAt;
    const QString backups = backupsFolder();
    for (const QString& folder : {m_folder, backups}) {
        bool changed = false;
        const QStringList names =
            QDir(folder).entryList(QDir::Files | QDir::Hidden | QDir::System | QDir::NoSymLinks);
        for (const QString& name : names) {
            // States, backups and what writing them cut short left: the
            // history's other files (a restore's note) hold no vault.
            const bool state = name.endsWith(QLatin1String(".enc"));
            if (folder != backups && !state && !name.endsWith(QLatin1String(".enc.new")))
                continue;
            const QString path = folder + QLatin1Char('/') + name;
            vaultfile::ReadResult read = readKept(path);
            // What a write cut short left is never listed, whatever it holds.
            const bool listed = !name.startsWith(QLatin1Char('.')) && (folder == backups || state);
            if (read.ok && listed && sealedvault::isSealed(read.data))
                continue;
            bool sameMaster = false;
            if (read.ok && listed && notRestorable(read.data).isEmpty()) {
                QString own = vaultformat::readMasterPassword(read.data);
                sameMaster = own == master;
                secrets::wipe(own);
            }
            changed = true;
            if (sameMaster) {
                const QByteArray digest = digestOf(read.data);
                QByteArray sealed;
                if (const auto at = sealedAt.constFind(digest); at != sealedAt.constEnd())
                    sealed = readKept(*at).data;
                if (!sealedvault::isSealed(sealed))
                    sealed = sealedvault::seal(read.data, key);
                secrets::wipe(read.data);
                if (!sealed.isEmpty() && replaceWithSealed(path, sealed)) {
                    sealedAt.insert(digest, path);
                    ++out.sealed;
                    continue;
                }
            }
            secrets::wipe(read.data);
            if (wipeFile(path))
                ++out.wiped;
            else
                out.left << path;
        }
        if (changed)
            syncFolder(folder);
    }
    return out;
}

QString VaultHistory::notRestorable(QByteArrayView file) {
    if (file.isEmpty())
        return QStringLiteral("it is empty");
    if (sealedvault::isSealed(file)) {
        // Bounds that admit no derivation: the header alone is read and
        // proved whole, at no cost.
        const sealedvault::ParamBounds none{{1, 1}, {0, 0}};
        const sealedvault::Unsealed u = sealedvault::unseal(file, QStringView(), none);
        if (u.outcome != sealedvault::Outcome::ParametersRefused)
            return QStringLiteral("it is a damaged sealed vault (%1)").arg(u.reason);
        using namespace sealedvault::layout;
        const sealedvault::SealParams params{qFromLittleEndian<quint64>(file.data() + kOpsLimitAt),
                                             qFromLittleEndian<quint64>(file.data() + kMemLimitAt)};
        if (!sealedvault::ParamBounds::accepted().admits(params))
            return QStringLiteral("it is sealed with a key this Keynook does not derive");
        return {};
    }
    if (sealedvault::isSealedButForItsMagic(file))
        return QStringLiteral("it is a sealed vault whose first bytes were changed");
    // Every plain file Keynook writes starts with its master line, and its
    // first CR is followed by an LF; the lines after it are kept as they
    // were read (a password change keeps every byte after the first line).
    const qsizetype lineEnd = file.indexOf('\r');
    if (lineEnd == 0)
        return QStringLiteral("it has no master password");
    if (lineEnd < 0 || lineEnd + 1 == file.size() || file[lineEnd + 1] != '\n')
        return QStringLiteral("its first line does not end as Keynook ends it");
    return {};
}

QString VaultHistory::Lost::found(const QString& fileName) const {
    const QString what = empty ? QStringLiteral("%1 is empty")
                               : QStringLiteral("%1 has no master password (its first line is "
                                                "empty)");
    const QString saw = last.sealed         ? QStringLiteral("sealed")
                        : last.entries == 1 ? QStringLiteral("with 1 entry")
                        : last.entries > 0  ? QStringLiteral("with %1 entries").arg(last.entries)
                                            : QStringLiteral("with a master password");
    return what.arg(fileName) + QStringLiteral(", but this computer last saw it ") + saw;
}

std::optional<VaultHistory::LastSeen> VaultHistory::lastSeen() const {
    const std::vector<State> kept = states();
    if (kept.empty())
        return std::nullopt;
    vaultfile::ReadResult read = readKept(kept.back().path);
    if (!read.ok)
        return std::nullopt;
    LastSeen last;
    last.sealed = sealedvault::isSealed(read.data);
    if (!last.sealed) {
        last.master = !vaultformat::masterLineOf(read.data).isEmpty();
        last.entries = static_cast<qsizetype>(EntryStore::fromFile(std::move(read.data)).size());
    }
    return last;
}

void VaultHistory::noteLost(QByteArrayView file) {
    const std::optional<LastSeen> last = lastSeen();
    if (!last || !last->hadContents())
        return;
    Lost lost;
    lost.empty = file.isEmpty();
    lost.last = *last;
    const vaultfile::ReadResult newest = readKept(states().back().path);
    const QByteArray digest = digestOf(newest.data);
    const std::vector<Restorable> rows = restorable(file);
    for (size_t i = 0; i < rows.size() && newest.ok && lost.restoreNumber == 0; ++i)
        if (rows[i].digest == digest)
            lost.restoreNumber = static_cast<int>(i + 1);
    m_lost = lost;
}

void VaultHistory::follow(VaultSession& session) {
    // The session creates a vault that is missing: that one was never lost.
    m_vaultExisted = vaultfile::findFileIgnoringCase(session.path()) == session.path();
    session.onStateSeen([this, &session](const std::vector<QByteArrayView>& file, bool written) {
        // A file is read whole, in one piece.
        if (!written && m_vaultExisted && file.size() == 1 && withoutMaster(file[0])) {
            if (!m_lost)
                noteLost(file[0]);
            if (m_lost)
                return;
        }
        // The vault read as this computer last read or wrote it (the same
        // file, size and time) is the newest state already: every start
        // would otherwise read that state back to compare it.
        const vaultfile::Stamp now = vaultfile::stampOf(session.path());
        if (!written && now.exists && stampText(now) == newestStamp())
            return;
        if (record(file, written) && now.exists)
            keepNewestStamp(stampText(now));
    });
}

QByteArray VaultHistory::stampText(const vaultfile::Stamp& s) {
    return QByteArray::number(s.device) + ' ' + QByteArray::number(s.inode) + ' ' +
           QByteArray::number(s.size) + ' ' + QByteArray::number(s.modifiedNs);
}

QString VaultHistory::stampPath() const {
    return m_folder + QStringLiteral("/newest.stamp");
}

QByteArray VaultHistory::newestStamp() const {
    // Read without following a link or waiting on a pipe: a file that is
    // not this history's own only costs a state written again.
    const int fd = ::open(QFile::encodeName(stampPath()).constData(),
                          O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return {};
    char text[128];
    const ssize_t n = ::read(fd, text, sizeof text);
    ::close(fd);
    return n > 0 ? QByteArray(text, n) : QByteArray();
}

void VaultHistory::keepNewestStamp(const QByteArray& stamp) const {
    const int fd = ::open(QFile::encodeName(stampPath()).constData(),
                          O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0600);
    if (fd < 0)
        return;
    // Cut short, it matches nothing, and the next start compares as before.
    if (::write(fd, stamp.constData(), size_t(stamp.size())) != stamp.size())
        (void)::ftruncate(fd, 0);
    ::close(fd);
}
