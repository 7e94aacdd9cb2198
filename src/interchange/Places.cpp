#include "interchange/Places.h"

#include <QUrl>

#include <algorithm>

namespace interchange {

namespace {

char lower(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c + ('a' - 'A')) : c;
}

bool sameIgnoringAsciiCase(QByteArrayView a, QByteArrayView b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(),
                                              [](char x, char y) { return lower(x) == lower(y); });
}

} // namespace

Place placeOf(const QString& location) {
    if (!location.contains(QLatin1String("://")))
        return {location, false};
    const QUrl url(location, QUrl::StrictMode);
    const QString host = url.isValid() ? url.host() : QString();
    if (host.isEmpty())
        return {location, false};
    const QString scheme = url.scheme();
    return {host, scheme == QLatin1String("http") || scheme == QLatin1String("https")};
}

QByteArrayView hostOf(QByteArrayView location) {
    const qsizetype colon = location.indexOf(':');
    if (colon <= 0 || !location.sliced(colon + 1).startsWith("//"))
        return {};
    for (qsizetype i = 0; i < colon; ++i) {
        const char c = location[i];
        const bool letter = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
        if (!letter && (i == 0 || !((c >= '0' && c <= '9') || c == '+' || c == '-' || c == '.')))
            return {};
    }
    QByteArrayView authority = location.sliced(colon + 3);
    for (qsizetype i = 0; i < authority.size(); ++i) {
        const char c = authority[i];
        if (c == '/' || c == '\\' || c == '?' || c == '#') {
            authority.truncate(i);
            break;
        }
    }
    if (const qsizetype at = authority.lastIndexOf('@'); at >= 0)
        authority = authority.sliced(at + 1);
    // A port is digits after the last colon, outside the brackets of an
    // IPv6 address.
    const qsizetype portColon = authority.lastIndexOf(':');
    if (portColon >= 0 && authority.indexOf(']', portColon) < 0) {
        const QByteArrayView port = authority.sliced(portColon + 1);
        if (std::all_of(port.begin(), port.end(), [](char c) { return c >= '0' && c <= '9'; }))
            authority.truncate(portColon);
    }
    return authority;
}

bool titleSpelledOut(QByteArrayView title, QByteArrayView location) {
    if (title.isEmpty() || sameIgnoringAsciiCase(title, location))
        return true;
    const QByteArrayView host = hostOf(location);
    if (!host.isEmpty()) {
        if (sameIgnoringAsciiCase(title, host))
            return true;
        if (host.size() > 4 && sameIgnoringAsciiCase(host.first(4), "www.") &&
            sameIgnoringAsciiCase(title, host.sliced(4)))
            return true;
    }
    return placeOf(QString::fromUtf8(location)).name == QString::fromUtf8(title);
}

} // namespace interchange
