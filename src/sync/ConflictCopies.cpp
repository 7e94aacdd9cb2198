#include "sync/ConflictCopies.h"

#include "secrets/Wipe.h"
#include "vault/VaultHistory.h"

#include <QDir>
#include <QFileInfo>
#include <QRegularExpression>

#include <cerrno>
#include <cstring>
#include <new>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace conflictcopies {

namespace {

// STEM and EXT stand for the file's name without its last extension and
// that extension (with its dot); each engine inserts its words between them.
// A person's or computer's name is anything but a slash and parentheses, or
// (Dropbox) whole parenthesised parts of it, so that where it ends is never
// in doubt: a copy of a copy, with a second pair after the first, is none.
struct Pattern {
    const char* engine;
    const char* between;
};
constexpr Pattern kPatterns[] = {
    // <stem>.sync-conflict-<date>-<time>-<first 7 characters of the device
    // id><ext>
    {"Syncthing", R"(\.sync-conflict-\d{8}-\d{6}-[A-Z0-9]{7})"},
    // <stem> (conflicted copy [<user> ]<date> <time>)<ext>; the client puts
    // an underscore for each parenthesis of the user's name.
    {"Nextcloud", R"( \(conflicted copy (?:[^()/]+ )?\d{4}-\d{2}-\d{2} \d{6}\))"},
    // <stem>_conflict-<date>-<time><ext>, from older clients
    {"Nextcloud", R"(_conflict-\d{8}-\d{6})"},
    // <stem> (<computer or person>'s conflicted copy <date>[ (<n>)])<ext>;
    // a Mac is often named "Ann's MacBook (2)"
    {"Dropbox", R"( \((?:[^()/]|\([^()/]*\))+['’]s conflicted copy )"
                R"(\d{4}-\d{2}-\d{2}(?: \(\d+\))?\))"},
};

// The longest file name the file systems an engine syncs hold is 255 bytes,
// no fewer UTF-16 units: a longer text is no file's name, and the patterns
// never read one.
constexpr qsizetype kMaxName = 255;

struct Fd {
    int fd;
    ~Fd() {
        if (fd >= 0)
            ::close(fd);
    }
};

Identity identityOf(const struct stat& st) {
    return {quint64(st.st_dev), quint64(st.st_ino), qint64(st.st_size),
            qint64(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec,
            qint64(st.st_ctim.tv_sec) * 1000000000 + st.st_ctim.tv_nsec};
}

QString systemError(int error) {
    return QString::fromLocal8Bit(std::strerror(error));
}

Candidate left(Verdict verdict, QString why) {
    Candidate c;
    c.verdict = verdict;
    c.why = std::move(why);
    return c;
}

} // namespace

QString engineOf(const QString& fileName, const QString& name) {
    if (name.size() > kMaxName)
        return {};
    const qsizetype dot = fileName.lastIndexOf(QLatin1Char('.'));
    const QString stem = dot > 0 ? fileName.left(dot) : fileName;
    const QString ext = dot > 0 ? fileName.mid(dot) : QString();
    for (const Pattern& p : kPatterns) {
        // Anchored at the very end: `$` would also match before a final
        // newline, taking "data.sync-conflict-….enc\n" for a copy.
        const QRegularExpression re(QRegularExpression::anchoredPattern(
            QRegularExpression::escape(stem) + QString::fromUtf8(p.between) +
            QRegularExpression::escape(ext)));
        if (re.match(name).hasMatch())
            return QString::fromLatin1(p.engine);
    }
    return {};
}

std::vector<Found> find(const QString& file) {
    const QFileInfo vault(file);
    std::vector<Found> found;
    const QStringList names =
        vault.dir().entryList(QDir::Files | QDir::Hidden | QDir::NoDotAndDotDot, QDir::Name);
    for (const QString& name : names)
        if (const QString engine = engineOf(vault.fileName(), name); !engine.isEmpty())
            found.push_back({vault.dir().filePath(name), engine});
    return found;
}

Candidate read(const QString& path, qint64 maxBytes) {
    // Not following a link: a link named as a copy could point at any file
    // this user can read (a key, another vault), and its bytes would go into
    // the vault. Not waiting on a pipe: opening one waits for a writer.
    const Fd fd{::open(QFile::encodeName(path).constData(),
                       O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY)};
    if (fd.fd < 0) {
        const int error = errno;
        return error == ELOOP
                   ? left(Verdict::Link, QStringLiteral("it is a symbolic link"))
                   : left(Verdict::Unreadable,
                          QStringLiteral("it could not be opened: %1").arg(systemError(error)));
    }
    // Every check is of the file that was opened, and the bytes come from
    // it: the name may point elsewhere a moment later.
    struct stat st {};
    if (::fstat(fd.fd, &st) != 0)
        return left(Verdict::Unreadable, systemError(errno));
    if (S_ISDIR(st.st_mode))
        return left(Verdict::NotAFile, QStringLiteral("it is a folder"));
    if (!S_ISREG(st.st_mode))
        return left(Verdict::NotAFile, QStringLiteral("it is not a regular file"));
    // An engine writes its copies as the user it runs as, which is the
    // vault's user; a file of another user's was put there by someone else.
    if (st.st_uid != ::geteuid())
        return left(Verdict::NotOurs, QStringLiteral("it belongs to another user"));
    // An engine's copy is a file it wrote anew; one with other names is not,
    // and removing this name would not remove its contents.
    if (st.st_nlink != 1)
        return left(Verdict::OtherNames, QStringLiteral("the same file has other names"));
    if (st.st_size > maxBytes)
        return left(Verdict::TooLarge,
                    QStringLiteral("it holds %1 bytes, more than a vault can").arg(st.st_size));

    Candidate c;
    try {
        c.bytes = QByteArray(qsizetype(st.st_size), Qt::Uninitialized);
    } catch (const std::bad_alloc&) {
        return left(Verdict::Unreadable, QStringLiteral("there is not enough memory to read it"));
    }
    qsizetype got = 0;
    while (got < c.bytes.size()) {
        const ssize_t n = ::read(fd.fd, c.bytes.data() + got, size_t(c.bytes.size() - got));
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            const int error = errno;
            secrets::wipe(c.bytes);
            return left(Verdict::Unreadable,
                        QStringLiteral("it could not be read: %1").arg(systemError(error)));
        }
        if (n == 0)
            break;
        got += n;
    }
    // Its size is what it was when checked, and it has no byte more: a file
    // being written is not yet a copy.
    char more = 0;
    struct stat after {};
    if (got != c.bytes.size() || ::read(fd.fd, &more, 1) != 0 || ::fstat(fd.fd, &after) != 0 ||
        identityOf(after) != identityOf(st)) {
        secrets::wipe(c.bytes);
        return left(Verdict::Changed, QStringLiteral("it changed while it was read"));
    }
    if (QString why = VaultHistory::notRestorable(c.bytes); !why.isEmpty()) {
        secrets::wipe(c.bytes);
        return left(Verdict::NotAVault, why);
    }
    c.identity = identityOf(st);
    return c;
}

bool removeIfUnchanged(const QString& path, const Identity& identity) {
    // The name is checked and removed in a folder held open, so that the
    // folder itself cannot be swapped between the two. The system removes no
    // file on condition of its identity: what remains is the moment between
    // the two calls.
    const QFileInfo info(path);
    const Fd folder{::open(QFile::encodeName(info.absolutePath()).constData(),
                           O_RDONLY | O_DIRECTORY | O_CLOEXEC)};
    if (folder.fd < 0)
        return false;
    const QByteArray name = QFile::encodeName(info.fileName());
    struct stat st {};
    return ::fstatat(folder.fd, name.constData(), &st, AT_SYMLINK_NOFOLLOW) == 0 &&
           identityOf(st) == identity && ::unlinkat(folder.fd, name.constData(), 0) == 0;
}

} // namespace conflictcopies
