#include "vault/VaultLock.h"

#include "vault/VaultFile.h"
#include "vault/VaultLocation.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>

#include <cerrno>
#include <climits>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

namespace {

QString systemError(int error) {
    return QString::fromLocal8Bit(std::strerror(error));
}

QByteArray hostName() {
    char name[HOST_NAME_MAX + 1] = {};
    if (::gethostname(name, sizeof name - 1) != 0)
        return {};
    return QByteArray(name);
}

// The running program's file name, as the earlier lock wrote it: that lock
// took a holder whose process runs another program for a stale one.
QByteArray programName() {
    char exe[PATH_MAX];
    const ssize_t n = ::readlink("/proc/self/exe", exe, sizeof exe);
    if (n <= 0)
        return {};
    const QByteArray path(exe, n);
    return path.mid(path.lastIndexOf('/') + 1);
}

// What a lock file says of its holder: its process number, program and
// computer, one to a line. Nothing when it says nothing readable.
QString holderOf(int fd) {
    char text[1024];
    const ssize_t n = ::pread(fd, text, sizeof text, 0);
    if (n <= 0)
        return {};
    const QList<QByteArray> lines = QByteArray(text, n).split('\n');
    if (lines.size() < 3)
        return {};
    bool ok = false;
    const qint64 pid = lines[0].toLongLong(&ok);
    const QString program = QString::fromUtf8(lines[1]).left(64);
    if (!ok || pid <= 0 || program.isEmpty())
        return {};
    QString holder = QStringLiteral("%1, process %2").arg(program).arg(pid);
    const QByteArray host = lines[2];
    if (!host.isEmpty() && host != hostName())
        holder += QStringLiteral(" on %1").arg(QString::fromUtf8(host).left(64));
    return holder;
}

// Whether the lock file names another computer as its holder's: one that a
// sync engine brought here.
bool writtenElsewhere(int fd) {
    char text[1024];
    const ssize_t n = ::pread(fd, text, sizeof text, 0);
    const QList<QByteArray> lines = QByteArray(text, n > 0 ? n : 0).split('\n');
    return lines.size() >= 3 && !lines[2].isEmpty() && lines[2] != hostName();
}

// A lock's name must lead to a plain file: the lock opens what it finds, and
// a device or a pipe there could do anything when opened. The lock never
// makes a link, so one there was put by someone else.
QString notPlain(const QByteArray& path, mode_t mode) {
    const char* kind = S_ISFIFO(mode)   ? "named pipe"
                       : S_ISLNK(mode)  ? "link"
                       : S_ISDIR(mode)  ? "folder"
                       : S_ISSOCK(mode) ? "socket"
                                        : "device";
    return QStringLiteral("%1 is a %2, not a lock file. Remove it and start Keynook again.")
        .arg(QDir::toNativeSeparators(QFile::decodeName(path)), QLatin1String(kind));
}

QByteArray folderOf(const QByteArray& file) {
    const qsizetype slash = file.lastIndexOf('/');
    return slash > 0 ? file.left(slash) : QByteArray("/");
}

// The lock beside a vault that a sync engine carries: its name keeps it
// home (see pathFor()), but Syncthing also removes a temporary file of its
// folder that has not changed for a day, and a window may stay open for
// longer. Its time is set years ahead, which that rule never finds old.
// Dropbox is told by its own mark too, where the file system keeps marks.
void keepFromSyncEngines(int fd) {
    constexpr time_t kYearsAhead = time_t(10) * 365 * 24 * 60 * 60;
    const timespec times[2] = {{0, UTIME_OMIT}, {::time(nullptr) + kYearsAhead, 0}};
    ::futimens(fd, times);
    ::fsetxattr(fd, "user.com.dropbox.ignored", "1", 1, 0);
}

} // namespace

VaultLock::VaultLock(const QByteArray& vaultFile, const QString& dataFolder)
    : m_vaultFile(vaultFile) {
    m_own.path = pathFor(vaultFile);
    if (!dataFolder.isEmpty())
        m_inDataFolder.path = dataFolderPathFor(vaultFile, dataFolder);
}

VaultLock::~VaultLock() {
    letGo();
}

void VaultLock::letGo() {
    letGo(m_inDataFolder);
    letGo(m_own);
}

void VaultLock::letGo(File& file) {
    if (file.fd < 0)
        return;
    // Removed while still held, and only if it is still ours, so that a
    // program taking it meanwhile never loses the file it holds.
    struct stat named {};
    if (::lstat(file.path.constData(), &named) == 0 && named.st_dev == file.device &&
        named.st_ino == file.inode)
        ::unlink(file.path.constData());
    ::close(file.fd);
    file.fd = -1;
}

int VaultLock::removeLeftovers() const {
    return m_own.fd >= 0 ? vaultfile::removeLeftovers(m_vaultFile) : 0;
}

QByteArray VaultLock::pathFor(const QByteArray& vaultFile) {
    // Named as a save's temporary file is, which each sync engine keeps to
    // its computer (see vaultfile::saveAtomically), and unlike a save's
    // leftover, which a start removes.
    const qsizetype slash = vaultFile.lastIndexOf('/');
    return folderOf(vaultFile) + "/~syncthing~." + vaultFile.mid(slash + 1) + ".lock.tmp";
}

QByteArray VaultLock::dataFolderPathFor(const QByteArray& vaultFile, const QString& folder) {
    // Named after the real path, which may be long and need not be text; a
    // person looking into the folder finds the path itself in the file.
    const QByteArray id =
        QCryptographicHash::hash(vaultFile, QCryptographicHash::Sha256).toHex().left(32);
    return QFile::encodeName(folder) + '/' + id + ".lock";
}

QString VaultLock::dataFolder() {
    const QString data = QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation);
    return data.isEmpty() ? QString() : data + QStringLiteral("/Keynook/locks");
}

QByteArray VaultLock::dotLockPathFor(const QByteArray& vaultFile) {
    const qsizetype slash = vaultFile.lastIndexOf('/');
    return vaultFile.left(slash + 1) + '.' + vaultFile.mid(slash + 1) + ".lock";
}

VaultLock::Result VaultLock::checkDotLock() const {
    const QByteArray path = dotLockPathFor(m_vaultFile);
    // Only a plain file is looked into: opening anything else could do
    // anything, and it is no lock of ours.
    struct stat seen {};
    if (::lstat(path.constData(), &seen) != 0 || !S_ISREG(seen.st_mode))
        return {};
    const int fd =
        ::open(path.constData(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0)
        return {};
    Result result;
    struct stat opened {};
    if (::fstat(fd, &opened) == 0 && S_ISREG(opened.st_mode)) {
        if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
            if (errno == EWOULDBLOCK)
                result = {Outcome::Held, holderOf(fd)};
        } else {
            // Nobody here holds it. Left by a Keynook from before that ended
            // without letting go, it is removed; one that another computer's
            // sync brought is that computer's, whose Keynook removes it.
            struct stat named {};
            if (!writtenElsewhere(fd) && ::lstat(path.constData(), &named) == 0 &&
                named.st_dev == opened.st_dev && named.st_ino == opened.st_ino)
                ::unlink(path.constData());
        }
    }
    ::close(fd);
    return result;
}

VaultLock::Result VaultLock::take(File& file, const QByteArray& words) {
    // A few rounds at most: another program may let go and remove the file
    // between our opening it and locking it.
    for (int round = 0; round < 100; ++round) {
        struct stat seen {};
        if (::lstat(file.path.constData(), &seen) == 0 && !S_ISREG(seen.st_mode))
            return {Outcome::NotPlain, notPlain(file.path, seen.st_mode)};
        const int fd =
            ::open(file.path.constData(),
                   O_RDWR | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, 0600);
        if (fd < 0) {
            const int error = errno;
            if (error == EINTR || ((error == ELOOP || error == ENXIO || error == EISDIR) &&
                                   ::lstat(file.path.constData(), &seen) == 0))
                continue; // replaced since it was looked at: look again
            return {Outcome::Failed, systemError(error)};
        }
        struct stat opened {};
        if (::fstat(fd, &opened) != 0 || !S_ISREG(opened.st_mode)) {
            ::close(fd);
            return {Outcome::NotPlain, notPlain(file.path, opened.st_mode)};
        }
        if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
            const int error = errno;
            const QString holder = error == EWOULDBLOCK ? holderOf(fd) : QString();
            ::close(fd);
            if (error == EINTR)
                continue;
            if (error == EWOULDBLOCK)
                return {Outcome::Held, holder};
            return {Outcome::Failed, systemError(error)};
        }
        // Locked; but a holder letting go removes its file under its lock,
        // and then the file we locked has no name any more.
        struct stat named {};
        if (::lstat(file.path.constData(), &named) != 0 || named.st_dev != opened.st_dev ||
            named.st_ino != opened.st_ino) {
            ::close(fd);
            continue;
        }
        // Who holds it, for a message; the system's lock is what counts, so
        // a lock whose words could not be written still holds.
        if (::ftruncate(fd, 0) == 0) [[maybe_unused]]
            const ssize_t n = ::pwrite(fd, words.constData(), words.size(), 0);
        file.fd = fd;
        file.device = opened.st_dev;
        file.inode = opened.st_ino;
        return {};
    }
    return {Outcome::Failed, QStringLiteral("its lock file kept changing while it was taken")};
}

VaultLock::Result VaultLock::takeInDataFolder(const QByteArray& words) {
    if (!m_inDataFolder.path.startsWith('/'))
        return {Outcome::Failed,
                QStringLiteral("this user has no data folder to keep its lock in")};
    const QString folder =
        QFile::decodeName(m_inDataFolder.path.left(m_inDataFolder.path.lastIndexOf('/')));
    // Keynook's folder, above it, is the user's alone when the lock makes it.
    if (!vaultlocation::makePrivateFolders(QFileInfo(folder).path(), folder))
        return {Outcome::Failed, QStringLiteral("its lock folder %1 could not be made")
                                     .arg(QDir::toNativeSeparators(folder))};
    // The lock names the vault and who uses it: the user's alone.
    ::chmod(QFile::encodeName(folder).constData(), 0700);
    return take(m_inDataFolder, words);
}

VaultLock::Result VaultLock::tryLock() {
    if (isLocked())
        return {};
    // Who holds it, and for which vault.
    const QByteArray words = QByteArray::number(::getpid()) + '\n' + programName() + '\n' +
                             hostName() + '\n' + m_vaultFile + '\n';
    // A folder that takes no new file from this user takes no save either (a
    // save writes its new file beside the vault), so no Keynook of this user
    // writes the vault there: it is read under the data folder's lock alone,
    // as the Keynook before this one did. A lock file that is there is taken.
    struct stat seen {};
    const bool noNewFiles =
        ::lstat(m_own.path.constData(), &seen) != 0 && errno == ENOENT &&
        ::faccessat(AT_FDCWD, folderOf(m_vaultFile).constData(), W_OK, AT_EACCESS) != 0;
    if (!noNewFiles) {
        if (Result own = take(m_own, words); own.outcome != Outcome::Taken)
            return own;
        keepFromSyncEngines(m_own.fd);
    }
    // The Keynook before this one knows only its lock in the data folder,
    // and the ones before that only `.NAME.lock` beside the vault: while one
    // holds either, the vault is taken. Looked at once ours is held, so that
    // no Keynook of this kind can slip in meanwhile. Without a data folder
    // (or room in it) the lock beside the vault still keeps every Keynook of
    // this kind out.
    Result earlier = takeInDataFolder(words);
    if (earlier.outcome == Outcome::Failed && !noNewFiles)
        earlier = {};
    if (earlier.outcome == Outcome::Taken)
        earlier = checkDotLock();
    if (earlier.outcome != Outcome::Taken)
        letGo();
    return earlier;
}
