#include "vault/VaultLocation.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <algorithm>

#ifdef Q_OS_LINUX
#include <climits>
#include <fcntl.h>
#include <unistd.h>
#endif

namespace {
const QString kHelpFile = QStringLiteral("Help.rtf");

// Where `cmake --install` puts the help file, seen from the bin folder.
QString installedHelpFolder(const QString& programFolder) {
    return QDir::cleanPath(programFolder + QStringLiteral("/../share/keynook"));
}

bool holdsHelp(const QString& folder) {
    return QFileInfo::exists(QDir(folder).filePath(kHelpFile));
}

} // namespace

namespace vaultlocation {

bool isInstalledLayout(const QString& programFolder) {
    return !holdsHelp(programFolder) && holdsHelp(installedHelpFolder(programFolder));
}

QString chooseHelpFolder(const QString& programFolder) {
    return isInstalledLayout(programFolder) ? installedHelpFolder(programFolder) : programFolder;
}

QString runningProgramFolder() {
#ifdef Q_OS_LINUX
    char buffer[PATH_MAX + 1];
    const ssize_t n = ::readlink("/proc/self/exe", buffer, PATH_MAX);
    if (n > 0) {
        const QByteArray exe(buffer, n);
        const QByteArray folder = exe.left(std::max<qsizetype>(exe.lastIndexOf('/'), 1));
        const QString text = QFile::decodeName(folder);
        if (QFile::encodeName(text) == folder)
            return text;
        const int fd = ::open(folder.constData(), O_PATH | O_DIRECTORY | O_CLOEXEC);
        if (fd >= 0)
            return QStringLiteral("/proc/self/fd/%1").arg(fd);
    }
#endif
    return QCoreApplication::applicationDirPath();
}

QString chooseVaultFolder(const QString& programFolder, const QString& userDataFolder) {
    if (QFileInfo::exists(QDir(programFolder).filePath(QStringLiteral("data.enc"))))
        return programFolder;
    // An installed bin folder is shared by every program there (and by every
    // user, for a system-wide install), even when this user can write to it,
    // as with a prefix of ~/.local.
    if (!isInstalledLayout(programFolder) && QFileInfo(programFolder).isWritable())
        return programFolder;
    // The vault folder is private when it is new; its parents are ordinary
    // folders of the user's home.
    makePrivateFolders(userDataFolder, userDataFolder);
    return userDataFolder;
}

QString vaultPath(const QString& folder) {
    return QDir(folder).filePath(QStringLiteral("data.enc"));
}

NamedVault namedVaultFile(const QString& option, const QString& environment) {
    const QString& given = option.isEmpty() ? environment : option;
    if (given.isEmpty())
        return {};
    // Kept as named, links and all: the lock and the saves follow a link
    // themselves, and one that leads nowhere must be told as such.
    const QFileInfo named(given);
    if (named.isDir())
        return {QString(), QStringLiteral("%1 names the vault file, and %2 is a folder")
                               .arg(option.isEmpty() ? QStringLiteral("KEYNOOK_VAULT")
                                                     : QStringLiteral("--vault"),
                                    QDir::toNativeSeparators(given))};
    return {named.absoluteFilePath(), QString()};
}

QString shellWord(const QString& path) {
    const auto plain = [](QChar c) {
        return c.isLetterOrNumber() || QStringLiteral("/._-+,:@%=").contains(c);
    };
    if (!path.isEmpty() && std::all_of(path.begin(), path.end(), plain))
        return path;
    QString quoted = path;
    quoted.replace(QLatin1Char('\''), QStringLiteral("'\\''"));
    return QLatin1Char('\'') + quoted + QLatin1Char('\'');
}

bool makePrivateFolders(const QString& top, const QString& folder) {
    if (QFileInfo(folder).isDir())
        return true;
    const QString from = QDir::cleanPath(top);
    const QString to = QDir::cleanPath(folder);
    const bool below = to.startsWith(from + QLatin1Char('/'));
    const QString first = below ? from : to;
    if (!QFileInfo(first).isDir()) {
        const QString parent = QFileInfo(first).absolutePath();
        if (!QDir().mkpath(parent) ||
            (!QDir().mkdir(first, QFileDevice::ReadOwner | QFileDevice::WriteOwner |
                                      QFileDevice::ExeOwner) &&
             !QFileInfo(first).isDir()))
            return false;
    }
    if (!below)
        return true;
    // One 0700 folder at a time below `top`, none of them made by mkpath,
    // which would make them as the umask leaves them (0755, usually).
    QString at = from;
    for (const QString& part : to.sliced(from.size() + 1).split(QLatin1Char('/'))) {
        at += QLatin1Char('/') + part;
        if (!QFileInfo(at).isDir() &&
            !QDir().mkdir(at, QFileDevice::ReadOwner | QFileDevice::WriteOwner |
                                  QFileDevice::ExeOwner) &&
            !QFileInfo(at).isDir())
            return false;
    }
    return true;
}

QString displayName(const QString& path) {
    QString shown;
    shown.reserve(path.size());
    for (const QChar c : path) {
        const char16_t u = c.unicode();
        const auto hex = [&shown](const char* prefix, char16_t code, int digits) {
            shown += QLatin1String(prefix) +
                     QStringLiteral("%1").arg(uint(code), digits, 16, QLatin1Char('0'));
        };
        if (u == u'\\')
            shown += QLatin1String("\\\\");
        else if (u == u'\n')
            shown += QLatin1String("\\n");
        else if (u == u'\r')
            shown += QLatin1String("\\r");
        else if (u == u'\t')
            shown += QLatin1String("\\t");
        else if (u < 0x20 || (u >= 0x7f && u <= 0x9f))
            hex("\\x", u, 2);
        else if (u == 0x2028 || u == 0x2029 || (u >= 0x202a && u <= 0x202e) ||
                 (u >= 0x2066 && u <= 0x2069))
            hex("\\u", u, 4);
        else
            shown += c;
    }
    return shown;
}

} // namespace vaultlocation
