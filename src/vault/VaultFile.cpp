#include "vault/VaultFile.h"

#include <QFile>
#include <QFileInfo>
#include <QSaveFile>

namespace vaultfile {

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
    r.data = file.readAll();
    if (file.error() != QFileDevice::NoError) {
        r.ok = false;
        r.error = file.errorString();
        r.data.clear();
    }
    return r;
}

Result writeAll(QIODevice& device, const QByteArray& data) {
    qsizetype done = 0;
    while (done < data.size()) {
        const qint64 n = device.write(data.constData() + done, data.size() - done);
        if (n <= 0) {
            const QString why = device.errorString();
            return Result::failure(why.isEmpty() || why == QLatin1String("Unknown error")
                                       ? QStringLiteral("The data could not be written.")
                                       : why);
        }
        done += n;
    }
    return {};
}

Result saveAtomically(const QString& path, const QByteArray& data) {
    QSaveFile file(path);
    // Never fall back to writing the vault in place: a failure half-way would
    // leave neither the old nor the new vault.
    file.setDirectWriteFallback(false);
    const bool isNew = !QFileInfo::exists(path);
    if (!file.open(QIODevice::WriteOnly))
        return Result::failure(file.errorString());
    // A vault made here is its owner's alone; an existing one keeps its own
    // permissions, which the replacement file takes over.
    if (isNew)
        file.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner);
    Result written = writeAll(file, data);
    if (!written.ok) {
        file.cancelWriting();
        return written;
    }
    if (!file.commit())
        return Result::failure(file.errorString());
    return {};
}

Result createFile(const QString& path, const QByteArray& data) {
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::NewOnly,
                   QFileDevice::ReadOwner | QFileDevice::WriteOwner))
        return Result::failure(file.errorString());
    Result written = writeAll(file, data);
    if (written.ok && !file.flush())
        written = Result::failure(file.errorString());
    file.close();
    if (!written.ok)
        file.remove();
    return written;
}

bool FileExists(const QString& path) {
    if (path.isEmpty())
        return false;
    const QFileInfo info(path);
    return info.exists() && info.isFile() && !info.isHidden() &&
           info.fileName().toUpper() == GetFileName(path).toUpper();
}

QString GetFileName(const QString& path) {
    const qsizetype cut = std::max(path.lastIndexOf(QLatin1Char('/')),
                                   path.lastIndexOf(QLatin1Char('\\')));
    return path.mid(cut + 1);
}

} // namespace vaultfile
