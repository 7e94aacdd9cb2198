#include "sync/VaultHistory.h"

#include <QCryptographicHash>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// Makes `folder` and the folders above it that are missing, each its
// owner's alone.
bool makePrivateFolder(const QString& folder) {
    if (QFileInfo(folder).isDir())
        return true;
    const QString parent = QFileInfo(folder).absolutePath();
    if (parent != folder && !makePrivateFolder(parent))
        return false;
    return ::mkdir(QFile::encodeName(folder).constData(), 0700) == 0 || errno == EEXIST;
}

bool writeNew(const QString& path, const std::vector<QByteArrayView>& pieces) {
    const QByteArray name = QFile::encodeName(path);
    const int fd = ::open(name.constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0)
        return false;
    bool ok = true;
    for (const QByteArrayView piece : pieces) {
        const char* p = piece.data();
        qsizetype left = piece.size();
        while (ok && left > 0) {
            const ssize_t n = ::write(fd, p, static_cast<size_t>(left));
            if (n < 0 && errno == EINTR)
                continue;
            ok = n > 0;
            p += n;
            left -= n;
        }
    }
    ok = ::close(fd) == 0 && ok;
    if (!ok)
        ::unlink(name.constData());
    return ok;
}

bool sameBytes(const QString& path, const std::vector<QByteArrayView>& pieces) {
    qsizetype size = 0;
    for (const QByteArrayView piece : pieces)
        size += piece.size();
    QFile f(path);
    if (f.size() != size || !f.open(QIODevice::ReadOnly))
        return false;
    for (const QByteArrayView piece : pieces)
        if (f.read(piece.size()) != piece)
            return false;
    return true;
}

} // namespace

VaultHistory::VaultHistory(const QString& dataFolder, const QByteArray& vaultFile) {
    // One folder per vault file, named for its real path, which is not kept.
    const QByteArray id =
        QCryptographicHash::hash(vaultFile, QCryptographicHash::Sha256).toHex().left(32);
    m_folder = dataFolder + QStringLiteral("/seen/") + QString::fromLatin1(id);
}

std::vector<VaultHistory::State> VaultHistory::states() const {
    std::vector<State> out;
    const QStringList names =
        QDir(m_folder).entryList({QStringLiteral("*.enc")}, QDir::Files, QDir::Name);
    for (const QString& name : names)
        out.push_back({m_folder + QLatin1Char('/') + name, name.endsWith(QLatin1String("-w.enc"))});
    return out;
}

bool VaultHistory::record(const std::vector<QByteArrayView>& file, bool written) {
    if (!makePrivateFolder(m_folder))
        return false;
    const std::vector<State> kept = states();
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
    const QString backups = m_folder + QStringLiteral("/backups");
    if (!makePrivateFolder(backups))
        return false;
    QFile source(path);
    if (!source.open(QIODevice::ReadOnly))
        return false;
    const QByteArray bytes = source.readAll();
    if (source.error() != QFileDevice::NoError)
        return false;
    const QStringList kept =
        QDir(backups).entryList(QDir::Files | QDir::Hidden | QDir::NoDotAndDotDot, QDir::Name);
    // Named by the time it was kept, then its own name, so that they sort
    // oldest first.
    const QString name =
        QDateTime::currentDateTimeUtc().toString(QStringLiteral("yyyyMMdd-HHmmsszzz")) +
        QLatin1Char('-') + QFileInfo(path).fileName();
    if (!writeNew(backups + QLatin1Char('/') + name, {bytes}))
        return false;
    for (qsizetype i = 0; i + kKeptBackups < kept.size() + 1; ++i)
        QFile::remove(backups + QLatin1Char('/') + kept[i]);
    return true;
}
