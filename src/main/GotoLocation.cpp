#include "main/GotoLocation.h"

#include <QDir>
#include <QFileInfo>
#include <QRegularExpression>

namespace {

GotoLocation refuse(const QString& reason) {
    return GotoLocation{QUrl(), QStringLiteral("Not opened: ") + reason};
}

GotoLocation openPath(const QString& path) {
    const QFileInfo info(QDir::cleanPath(path));
    if (!info.exists())
        return refuse(QStringLiteral("there is no folder or document at ") + path);
    if (info.isDir())
        return GotoLocation{QUrl::fromLocalFile(info.absoluteFilePath()), QString()};
    if (info.isExecutable())
        return refuse(QStringLiteral("Go To never starts a program: ") + path);
    // A document is shown in its folder.
    return GotoLocation{QUrl::fromLocalFile(info.absolutePath()), QString()};
}

} // namespace

QString GotoLocation::target(const QString& location) {
    static const char* const markers[] = {".edu", "biz", "org", ".net", ".com", "www"};
    bool web = false;
    for (const char* m : markers)
        web = web || location.contains(QLatin1String(m), Qt::CaseInsensitive);
    if (web && !location.contains(QLatin1String("https://"), Qt::CaseInsensitive) &&
        !location.contains(QLatin1String("http://"), Qt::CaseInsensitive))
        return QStringLiteral("http://") + location;
    return location;
}

GotoLocation GotoLocation::decide(const QString& location) {
    const QString text = target(location).trimmed();
    // An empty location opens the user's own folder, as the file manager
    // opens with nothing given.
    if (text.isEmpty())
        return openPath(QDir::homePath());
    static const QRegularExpression scheme(QStringLiteral("^([A-Za-z][A-Za-z0-9+.-]*):"));
    const QRegularExpressionMatch m = scheme.match(text);
    if (m.hasMatch()) {
        const QString name = m.captured(1).toLower();
        if (name != QLatin1String("http") && name != QLatin1String("https") &&
            name != QLatin1String("ftp"))
            return refuse(QStringLiteral("only web addresses (http, https, ftp), folders and "
                                         "documents are opened, not \"") +
                          m.captured(1) + QStringLiteral(":\"."));
        const QUrl url(text, QUrl::StrictMode);
        if (!url.isValid() || url.host().isEmpty())
            return refuse(QStringLiteral("this is not a valid web address."));
        return GotoLocation{url, QString()};
    }
    if (text == QLatin1String("~") || text.startsWith(QLatin1String("~/")))
        return openPath(QDir::homePath() + text.mid(1));
    if (!QDir::isAbsolutePath(text))
        return refuse(QStringLiteral("a location must be a web address or a full path, not \"") +
                      text + QStringLiteral("\"."));
    return openPath(text);
}
