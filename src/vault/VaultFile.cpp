#include "vault/VaultFile.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QLocale>

#include <algorithm>
#include <sys/xattr.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <new>
#include <pwd.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>
#include <vector>

namespace vaultfile {

namespace {

QString byteCount(qint64 bytes) {
    return QLocale(QLocale::English, QLocale::UnitedStates).toString(bytes);
}

QString tooLargeText(qint64 bytes, const char* what) {
    return QStringLiteral("%1 %2 bytes, more than the %3 MiB (%4 bytes) that Keynook opens.")
        .arg(QLatin1String(what), byteCount(bytes), QString::number(kMaxVaultBytes >> 20),
             byteCount(kMaxVaultBytes));
}

// A save's temporary file for the vault file `name`, its random part
// `random`. Sync engines carry every file of a synced folder, and one that
// arrived half-written would be taken for a copy of the vault, so the name is
// one that each engine takes for a temporary file it never carries:
// Syncthing its own `~syncthing~*.tmp`, Nextcloud and Dropbox any `~*.tmp`.
constexpr char kTempPrefix[] = "~syncthing~.";
constexpr char kTempMiddle[] = ".new-";
constexpr char kTempSuffix[] = ".tmp";
constexpr qsizetype kTempRandom = 6;

QByteArray tempName(const QByteArray& name, const char* random) {
    return kTempPrefix + name + kTempMiddle + random + kTempSuffix;
}

} // namespace

ReadResult readAll(const QString& path) {
    ReadResult r;
    QFile file(path);
    if (QFileInfo(path).isDir()) {
        r.ok = false;
        r.error = QStringLiteral("%1 is a folder, not a file.").arg(path);
        return r;
    }
    if (!file.open(QIODevice::ReadOnly)) {
        r.ok = false;
        r.error = file.errorString();
        return r;
    }
    const qint64 size = file.size();
    const auto refuseTooLarge = [&r](qint64 bytes) {
        r.ok = false;
        r.tooLarge = true;
        r.data.clear();
        r.error = tooLargeText(bytes, "The file holds") +
                  QStringLiteral(" Keynook never writes a vault that large, so this is probably "
                                 "not your vault file: move it away, or put your own data.enc in "
                                 "its place, and start Keynook again.");
        return r;
    };
    if (size > kMaxVaultBytes)
        return refuseTooLarge(size);
    try {
        // One buffer of the file's own size: reading to the end in steps would
        // round a large vault up to the next power of two while it is held.
        if (size > 0)
            r.data = file.read(size);
        // A file that grew, or one that reports no size, is read on in steps,
        // never far past the limit.
        while (file.error() == QFileDevice::NoError && r.data.size() <= kMaxVaultBytes) {
            const QByteArray more = file.read(64 * 1024);
            if (more.isEmpty())
                break;
            r.data += more;
        }
    } catch (const std::bad_alloc&) {
        r.ok = false;
        r.data.clear();
        r.error = QStringLiteral("There is not enough memory to read its %1 bytes. Close other "
                                 "programs and start Keynook again.")
                      .arg(byteCount(size));
        return r;
    }
    if (r.data.size() > kMaxVaultBytes)
        return refuseTooLarge(r.data.size());
    if (file.error() != QFileDevice::NoError) {
        r.ok = false;
        r.error = file.errorString();
        r.data.clear();
    }
    return r;
}

SaveHooks& saveHooks() {
    static SaveHooks hooks;
    return hooks;
}

namespace {

ssize_t doWrite(int fd, const void* data, size_t size) {
    const SaveHooks& h = saveHooks();
    if (h.chunk > 0 && size > h.chunk)
        size = h.chunk;
    return h.write ? h.write(fd, data, size) : ::write(fd, data, size);
}

int doFsync(int fd) {
    return saveHooks().fsync ? saveHooks().fsync(fd) : ::fsync(fd);
}

int doRename(const char* from, const char* to) {
    return saveHooks().rename ? saveHooks().rename(from, to) : ::rename(from, to);
}

void step(const char* name) {
    if (saveHooks().step)
        saveHooks().step(name);
}

QString systemError(int error) {
    return QString::fromLocal8Bit(std::strerror(error));
}

// Writes all of `data` to a descriptor and forces it to the disk. The file
// layer's own buffering is not used here: it can report a short write, as on a
// full disk, as success.
Result writeAndSync(int fd, const std::vector<QByteArrayView>& pieces) {
    for (const QByteArrayView piece : pieces) {
        const char* p = piece.data();
        qsizetype left = piece.size();
        while (left > 0) {
            const ssize_t n = doWrite(fd, p, static_cast<size_t>(left));
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0)
                return Result::failure(systemError(errno));
            if (n == 0)
                return Result::failure(systemError(EIO));
            p += n;
            left -= n;
            step("written");
        }
    }
    if (doFsync(fd) != 0)
        return Result::failure(systemError(errno));
    step("synced");
    return {};
}

// Makes a rename or a new name in `folder` survive a crash.
void syncFolder(const QByteArray& folder) {
    const int dfd = ::open(folder.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dfd >= 0) {
        ::fsync(dfd);
        ::close(dfd);
    }
    step("folder synced");
}

} // namespace

QByteArray realFilePath(const QString& path) {
    const QByteArray given = QFile::encodeName(QFileInfo(path).absoluteFilePath());
    char resolved[PATH_MAX];
    if (::realpath(given.constData(), resolved))
        return QByteArray(resolved);
    // Not there yet, or a link that leads nowhere: its name, in its folder as
    // that folder really is, so that every name of the folder agrees.
    const qsizetype slash = given.lastIndexOf('/');
    const QByteArray folder = slash > 0 ? given.left(slash) : QByteArray("/");
    if (!::realpath(folder.constData(), resolved))
        return given;
    QByteArray real(resolved);
    if (!real.endsWith('/'))
        real += '/';
    return real + given.mid(slash + 1);
}

QString realPath(const QString& path) {
    return QFile::decodeName(realFilePath(path));
}

QString missingLinkTarget(const QString& path) {
    const QByteArray name = QFile::encodeName(path);
    struct stat st {};
    if (::lstat(name.constData(), &st) != 0 || !S_ISLNK(st.st_mode))
        return {};
    if (::stat(name.constData(), &st) == 0 || errno != ENOENT)
        return {};
    QString at = QFileInfo(path).absoluteFilePath();
    // Bounded as the system bounds it: a loop of links is no missing file.
    for (int hops = 0; hops < 40; ++hops) {
        const QFileInfo link(at);
        if (!link.isSymLink())
            return at;
        at = link.symLinkTarget();
    }
    return {};
}

namespace {

QString userName(uid_t uid) {
    std::vector<char> buffer(16384);
    passwd entry{};
    passwd* found = nullptr;
    if (::getpwuid_r(uid, &entry, buffer.data(), buffer.size(), &found) == 0 && found)
        return QStringLiteral("the user %1").arg(QString::fromLocal8Bit(found->pw_name));
    return QStringLiteral("the user with number %1").arg(uid);
}

// A folder of another user that others may write to lets them put files of
// their own under the names the vault uses (the vault, its lock, a link)
// before this program does, or swap the vault between two starts. The
// sticky bit does not help: it keeps others from removing our files, not
// from placing theirs first. A folder of our own is ours to keep clean.
Result checkFolder(const QString& folder) {
    struct stat st {};
    if (::stat(QFile::encodeName(folder).constData(), &st) != 0)
        return {}; // a missing folder is reported where the vault is read or made
    if (st.st_uid != ::geteuid() && (st.st_mode & (S_IWGRP | S_IWOTH)) != 0)
        return Result::failure(QStringLiteral("The folder %1 belongs to %2, and other users may "
                                              "add or replace files in it. Move the vault to a "
                                              "folder of your own and start Keynook again.")
                                   .arg(QDir::toNativeSeparators(folder), userName(st.st_uid)));
    return {};
}

} // namespace

Result checkOwnership(const QString& path) {
    const QFileInfo given(path);
    Result r = checkFolder(given.absolutePath());
    const QFileInfo real(realPath(path));
    if (r.ok && real.absolutePath() != given.absolutePath())
        r = checkFolder(real.absolutePath());
    if (!r.ok)
        return r;
    struct stat st {};
    if (::stat(QFile::encodeName(real.absoluteFilePath()).constData(), &st) == 0 &&
        st.st_uid != ::geteuid())
        return Result::failure(
            QStringLiteral("%1 belongs to %2, who can read and change it. "
                           "Copy it to a file of your own, put the copy in "
                           "its place and start Keynook again.")
                .arg(QDir::toNativeSeparators(real.absoluteFilePath()), userName(st.st_uid)));
    return {};
}

bool onReadOnlyFileSystem(const QString& folder) {
    const QByteArray name = QFile::encodeName(folder);
    struct statvfs fs {};
    if (::statvfs(name.constData(), &fs) == 0 && (fs.f_flag & ST_RDONLY) != 0)
        return true;
    // Some file systems say so only when asked for a write.
    return ::access(name.constData(), W_OK) != 0 && errno == EROFS;
}

Result saveAtomically(const QString& path, const QByteArray& data) {
    return saveAtomically(path, std::vector<QByteArrayView>{data});
}

Result saveAtomically(const QString& path, const std::vector<QByteArrayView>& pieces) {
    qint64 size = 0;
    for (const QByteArrayView piece : pieces)
        size += piece.size();
    if (size > kMaxVaultBytes)
        return Result::failure(tooLargeText(size, "The vault would hold") +
                               QStringLiteral(" Remove entries, or shorten long ones, so that "
                                              "Keynook can open the vault again."));
    // A vault reached through a link is replaced where it really lives.
    const QByteArray finalName = realFilePath(path);
    const qsizetype slash = finalName.lastIndexOf('/');
    const QByteArray folder = slash > 0 ? finalName.left(slash) : QByteArray("/");
    // The new vault is written beside the old one, then renamed over it in
    // one step. Its name is one that no start mistakes for the vault and
    // that sync engines never carry to other computers (see tempName()).
    QByteArray temp = folder + '/' + tempName(finalName.mid(slash + 1), "XXXXXX");
    struct stat old {};
    const bool exists = ::stat(finalName.constData(), &old) == 0;
    // A vault its owner made read-only is not replaced behind their back.
    if (exists && ::access(finalName.constData(), W_OK) != 0)
        return Result::failure(systemError(errno));

    const int fd = ::mkostemps(temp.data(), int(sizeof kTempSuffix - 1), O_CLOEXEC);
    if (fd < 0)
        return Result::failure(systemError(errno));
    // Locked (flock) from its making until it bears the vault's name, so that
    // a start looking for saves cut short leaves it alone (removeLeftovers).
    // The lock is the open file's: a second descriptor keeps it past the
    // close, which comes before the rename to hear of a write that failed.
    ::flock(fd, LOCK_EX | LOCK_NB);
    const int held = ::fcntl(fd, F_DUPFD_CLOEXEC, 0);
    step("created");
    // Dropbox's own mark for a file it must leave alone, where the file
    // system keeps such marks; nothing is lost where it does not.
    ::fsetxattr(fd, "user.com.dropbox.ignored", "1", 1, 0);
    // The vault is its owner's alone, whatever the old file allowed: a file
    // that others could read loses that with its next save. Set outright, as
    // the new file's mode also depends on the umask.
    ::fchmod(fd, 0600);

    Result r = writeAndSync(fd, pieces);
    if (::close(fd) != 0 && r.ok)
        r = Result::failure(systemError(errno));
    if (r.ok)
        step("closed");
    if (r.ok && doRename(temp.constData(), finalName.constData()) != 0)
        r = Result::failure(systemError(errno));
    if (!r.ok)
        ::unlink(temp.constData());
    if (held >= 0)
        ::close(held);
    if (!r.ok)
        return r;
    step("renamed");
    syncFolder(folder);
    return {};
}

Result createFile(const QString& path, const QByteArray& data) {
    const QByteArray name = QFile::encodeName(path);
    const int fd = ::open(name.constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0)
        return Result::failure(systemError(errno));
    Result r = writeAndSync(fd, {data});
    if (::close(fd) != 0 && r.ok)
        r = Result::failure(systemError(errno));
    if (!r.ok) {
        ::unlink(name.constData());
        return r;
    }
    syncFolder(QFile::encodeName(QFileInfo(path).absolutePath()));
    return {};
}

Stamp stampOf(const QString& path) {
    Stamp stamp;
    struct stat st {};
    if (::stat(QFile::encodeName(path).constData(), &st) != 0)
        return stamp;
    stamp.exists = true;
    stamp.device = static_cast<quint64>(st.st_dev);
    stamp.inode = static_cast<quint64>(st.st_ino);
    stamp.size = static_cast<qint64>(st.st_size);
    stamp.modifiedNs = static_cast<qint64>(st.st_mtim.tv_sec) * 1'000'000'000 + st.st_mtim.tv_nsec;
    return stamp;
}

int removeLeftovers(const QByteArray& realFile) {
    const qsizetype slash = realFile.lastIndexOf('/');
    const QByteArray folder = slash > 0 ? realFile.left(slash) : QByteArray("/");
    const QByteArray name = realFile.mid(slash + 1);
    // The names saveAtomically gives its temporary files, and the names
    // Keynook gave them before: each a fixed start and end around the
    // random part.
    const std::pair<QByteArray, QByteArray> kinds[] = {
        {kTempPrefix + name + kTempMiddle, QByteArray(kTempSuffix)},
        {'.' + name + kTempMiddle, QByteArray()},
    };
    DIR* dir = ::opendir(folder.constData());
    if (!dir)
        return 0;
    int removed = 0;
    while (const dirent* e = ::readdir(dir)) {
        const QByteArrayView found(e->d_name);
        const bool ours = std::any_of(std::begin(kinds), std::end(kinds), [&](const auto& kind) {
            return found.size() == kind.first.size() + kTempRandom + kind.second.size() &&
                   found.startsWith(kind.first) && found.endsWith(kind.second);
        });
        if (!ours)
            continue;
        const QByteArray leftover = folder + '/' + e->d_name;
        struct stat st {};
        if (::lstat(leftover.constData(), &st) != 0 || !S_ISREG(st.st_mode))
            continue;
        // A save in progress holds its file (see saveAtomically). Under the
        // vault's lock none but ours can be, yet a Keynook from before that
        // locked elsewhere, or a holder whose lock file someone removed,
        // could be writing this one: it is left to finish.
        const int fd =
            ::open(leftover.constData(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
        if (fd < 0)
            continue;
        if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && ::flock(fd, LOCK_EX | LOCK_NB) == 0 &&
            ::unlink(leftover.constData()) == 0)
            ++removed;
        ::close(fd);
    }
    ::closedir(dir);
    return removed;
}

namespace {

bool isNormalFile(const QFileInfo& info) {
    return info.isFile() && !info.isHidden();
}

} // namespace

QString findFileIgnoringCase(const QString& path) {
    const QString name = GetFileName(path);
    if (name.isEmpty())
        return {};
    if (isNormalFile(QFileInfo(path)))
        return path;
    // Another spelling of the name: the folder's own list, compared as text.
    // Of two names that differ only in case, the first in sorted order is
    // taken, so that the answer does not depend on the order of the list.
    const QString folderPart = path.first(path.size() - name.size());
    QDirIterator entries(folderPart.isEmpty() ? QStringLiteral(".") : folderPart,
                         QDir::Files | QDir::NoDotAndDotDot);
    QString found;
    while (entries.hasNext()) {
        entries.next();
        const QString entry = entries.fileName();
        if (entry.compare(name, Qt::CaseInsensitive) == 0 && isNormalFile(entries.fileInfo()) &&
            (found.isNull() || entry < found))
            found = entry;
    }
    return found.isNull() ? QString() : folderPart + found;
}

bool FileExists(const QString& path) {
    return !findFileIgnoringCase(path).isEmpty();
}

QString GetFileName(const QString& path) {
    const qsizetype cut =
        std::max(path.lastIndexOf(QLatin1Char('/')), path.lastIndexOf(QLatin1Char('\\')));
    return path.mid(cut + 1);
}

} // namespace vaultfile
