#include "interchange/Places.h"

#include <QUrl>

#include <algorithm>

namespace interchange {

namespace {

char lower(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c + ('a' - 'A')) : c;
}

bool containsIgnoringAsciiCase(QByteArrayView text, QByteArrayView part) {
    const auto same = [](char a, char b) { return lower(a) == lower(b); };
    return std::search(text.begin(), text.end(), part.begin(), part.end(), same) != text.end();
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

bool titleSpelledOut(QByteArrayView title, QByteArrayView location) {
    if (title.isEmpty() || containsIgnoringAsciiCase(location, title))
        return true;
    return placeOf(QString::fromUtf8(location)).name == QString::fromUtf8(title);
}

} // namespace interchange
