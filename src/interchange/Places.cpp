#include "interchange/Places.h"

#include <QStringList>
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

// An address as a browser's URL parser reads it, far enough to tell
// whether the browser takes it: its scheme, and its host and port where it
// has them. `problem` says what makes it no address, if anything.
struct Address {
    QString scheme;
    // The text after the scheme's colon, white space and line breaks gone.
    QString rest;
    // Whether it has an authority: "//", or any slashes for the schemes
    // browsers read with rules of their own.
    bool authority = false;
    QString userInfo;
    QString host;
    QString port;
    // After the authority: the path, query and fragment.
    QString tail;
    QString problem;
};

bool isAsciiLetter(QChar c) {
    return (c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z');
}

bool isAsciiDigit(QChar c) {
    return c >= u'0' && c <= u'9';
}

// The schemes whose addresses always have a host, which browsers read with
// rules of their own (any number of slashes or backslashes after the colon).
bool alwaysHasHost(const QString& scheme) {
    return scheme == u"http" || scheme == u"https" || scheme == u"ftp" || scheme == u"ws" ||
           scheme == u"wss";
}

// An IPv4 address as browsers read one, in any of its forms: up to four
// numbers, decimal, octal (0…) or hexadecimal (0x…), the last filling the
// bytes the others leave.
bool isIpv4(const QString& host) {
    QStringList parts = host.split(u'.');
    if (parts.size() > 1 && parts.last().isEmpty())
        parts.removeLast();
    if (parts.isEmpty() || parts.size() > 4)
        return false;
    quint64 last = 0;
    for (qsizetype k = 0; k < parts.size(); ++k) {
        QString part = parts[k];
        int base = 10;
        if (part.startsWith(u"0x", Qt::CaseInsensitive)) {
            base = 16;
            part = part.sliced(2);
        } else if (part.size() > 1 && part.startsWith(u'0')) {
            base = 8;
            part = part.sliced(1);
        }
        bool ok = true;
        const quint64 value = part.isEmpty() ? 0 : part.toULongLong(&ok, base);
        if (!ok || (k + 1 < parts.size() && value > 255))
            return false;
        last = value;
    }
    return last < (quint64(1) << (8 * (5 - parts.size())));
}

// Whether the last label of a host is a number, which makes browsers read
// the host as an IPv4 address.
bool endsInNumber(const QString& host) {
    QStringList labels = host.split(u'.');
    if (labels.size() > 1 && labels.last().isEmpty())
        labels.removeLast();
    const QString last = labels.last();
    if (last.isEmpty())
        return false;
    if (std::all_of(last.begin(), last.end(), isAsciiDigit))
        return true;
    if (!last.startsWith(u"0x", Qt::CaseInsensitive))
        return false;
    bool hex = true;
    if (last.size() > 2)
        last.sliced(2).toULongLong(&hex, 16);
    return hex;
}

// What is wrong with the host of a scheme that always has one, as browsers
// read it; empty when nothing is.
QString hostProblem(const QString& given) {
    if (given.isEmpty())
        return QStringLiteral("an address without a host");
    if (given.startsWith(u'[')) {
        const QString inside = given.sliced(1, given.size() - 2);
        const bool ipv6 = given.endsWith(u']') && !inside.isEmpty() &&
                          std::all_of(inside.begin(), inside.end(), [](QChar c) {
                              return isAsciiDigit(c) || c == u':' || c == u'.' ||
                                     (c.toLower() >= u'a' && c.toLower() <= u'f');
                          });
        return ipv6 ? QString() : QStringLiteral("an address whose host is no IPv6 address");
    }
    QString host = QString::fromUtf8(QByteArray::fromPercentEncoding(given.toUtf8()));
    bool ascii = true;
    for (const QChar c : host)
        ascii = ascii && c.unicode() < 0x80;
    if (!ascii) {
        host = QString::fromLatin1(QUrl::toAce(host));
        if (host.isEmpty())
            return QStringLiteral("an address whose host is no domain name");
    }
    static const QString kForbidden = QStringLiteral(" #%/:<>?@[\\]^|");
    for (const QChar c : host)
        if (c.unicode() <= 0x20 || c.unicode() == 0x7F || kForbidden.contains(c))
            return QStringLiteral("an address whose host holds '%1', which no host holds")
                .arg(c.unicode() <= 0x20 ? QStringLiteral("a space or control character")
                                         : QString(c));
    if (endsInNumber(host) && !isIpv4(host))
        return QStringLiteral("an address whose host is no IPv4 address");
    return {};
}

Address readAddress(const QString& location) {
    Address a;
    // Browsers drop white space and control characters around an address,
    // and tabs and line breaks in it.
    qsizetype from = 0, to = location.size();
    while (from < to && location[from].unicode() <= 0x20)
        ++from;
    while (to > from && location[to - 1].unicode() <= 0x20)
        --to;
    QString text = location.sliced(from, to - from);
    text.remove(u'\t').remove(u'\n').remove(u'\r');
    qsizetype colon = 0;
    while (colon < text.size() &&
           (isAsciiLetter(text[colon]) ||
            (colon > 0 && (isAsciiDigit(text[colon]) || text[colon] == u'+' ||
                           text[colon] == u'-' || text[colon] == u'.'))))
        ++colon;
    if (colon == 0 || colon >= text.size() || text[colon] != u':') {
        a.problem = QStringLiteral("not an address: it has no scheme such as https://");
        return a;
    }
    a.scheme = text.first(colon).toLower();
    a.rest = text.sliced(colon + 1);
    qsizetype at = 0;
    if (alwaysHasHost(a.scheme)) {
        while (at < a.rest.size() && (a.rest[at] == u'/' || a.rest[at] == u'\\'))
            ++at;
        a.authority = true;
    } else if (a.rest.startsWith(u"//")) {
        at = 2;
        a.authority = true;
    }
    if (!a.authority) {
        a.tail = a.rest;
        return a;
    }
    qsizetype end = at;
    while (end < a.rest.size() && a.rest[end] != u'/' && a.rest[end] != u'?' &&
           a.rest[end] != u'#' && !(alwaysHasHost(a.scheme) && a.rest[end] == u'\\'))
        ++end;
    QString authority = a.rest.sliced(at, end - at);
    a.tail = a.rest.sliced(end);
    if (const qsizetype userEnd = authority.lastIndexOf(u'@'); userEnd >= 0) {
        a.userInfo = authority.first(userEnd);
        authority = authority.sliced(userEnd + 1);
    }
    const qsizetype portColon = authority.lastIndexOf(u':');
    if (portColon >= 0 && authority.indexOf(u']', portColon) < 0) {
        a.port = authority.sliced(portColon + 1);
        authority.truncate(portColon);
        if (!std::all_of(a.port.begin(), a.port.end(), isAsciiDigit) ||
            (!a.port.isEmpty() && a.port.toULongLong() > 65535)) {
            a.problem = QStringLiteral("an address whose port is no port (a number up to 65535)");
            return a;
        }
    }
    a.host = authority;
    if (alwaysHasHost(a.scheme))
        a.problem = hostProblem(a.host);
    else if (!a.userInfo.isEmpty() && a.host.isEmpty())
        a.problem = QStringLiteral("an address without a host");
    return a;
}

// How long the address is once a browser has written it out: bytes beyond
// ASCII and the characters an address escapes take three each.
qsizetype writtenLength(const QString& location) {
    qsizetype n = 0;
    for (const char c : location.trimmed().toUtf8()) {
        const unsigned char b = static_cast<unsigned char>(c);
        n += b >= 0x80 || b <= 0x20 || QByteArrayView("\"<>`{}|^").contains(c) ? 3 : 1;
    }
    return n;
}

// Whether an android:// address is an app's as Chrome writes it:
// android://<certificate hash>@<package name>/, the hash in base64 (of the
// URL and file name alphabet) and the package of letters, digits, dots and
// underscores, with no password, port, query or fragment.
bool isAppAddress(const Address& a) {
    if (!a.authority || !a.rest.startsWith(u"//") || !a.port.isEmpty() ||
        a.userInfo.contains(u':') || !(a.tail.isEmpty() || a.tail == u"/"))
        return false;
    QByteArray hash = QByteArray::fromPercentEncoding(a.userInfo.toUtf8());
    const QByteArray package = QByteArray::fromPercentEncoding(a.host.toUtf8());
    const auto only = [](const QByteArray& text, QByteArrayView others) {
        return std::all_of(text.begin(), text.end(), [&](char c) {
            return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                   others.contains(c);
        });
    };
    while (hash.size() % 4 != 0)
        hash += '=';
    const qsizetype padding = hash.indexOf('=');
    const bool padded = padding < 0 || (hash.size() - padding <= 2 &&
                                        hash.sliced(padding).count('=') == hash.size() - padding);
    return !a.userInfo.isEmpty() && padded && only(hash, "-_=") && !package.isEmpty() &&
           only(package, "._");
}

QString chromeRefusal(const QString& username, const QString& password, const QString& location,
                      bool& aboutLocation) {
    // Chrome's import looks at the password first, then the username, then
    // the address; the limits are of bytes of UTF-8.
    if (password.isEmpty())
        return QStringLiteral("no password: Chrome's import needs one");
    if (password.toUtf8().size() > 1000)
        return QStringLiteral("a password of more than 1000 bytes, which Chrome's import refuses");
    if (username.toUtf8().size() > 1000)
        return QStringLiteral("a username of more than 1000 bytes, which Chrome's import refuses");
    aboutLocation = true;
    if (location.isEmpty())
        return QStringLiteral("no location: Chrome's import needs an address");
    const Address a = readAddress(location);
    if (!a.problem.isEmpty())
        return a.problem;
    if (writtenLength(location) > 2048)
        return QStringLiteral("an address of more than 2048 characters, which Chrome's import "
                              "refuses");
    if (a.scheme == u"android" && !isAppAddress(a))
        return QStringLiteral("an android:// address that is not an app's "
                              "(android://<certificate hash>@<package>/), which Chrome's import "
                              "refuses");
    if (a.scheme != u"http" && a.scheme != u"https" && a.scheme != u"android")
        return QStringLiteral("an address that is neither http, https nor an app's android://, "
                              "the only kinds Chrome's import takes");
    aboutLocation = false;
    return {};
}

QString firefoxRefusal(const QString& username, const QString& password, const QString& location,
                       bool& aboutLocation) {
    // Firefox's import needs an address it can make an origin of (a scheme
    // and a host) and a password, and refuses a NUL in any of the fields.
    aboutLocation = true;
    if (location.isEmpty())
        return QStringLiteral("no location: Firefox's import needs an address");
    const Address a = readAddress(location);
    if (!a.problem.isEmpty())
        return a.problem;
    aboutLocation = false;
    if (password.isEmpty())
        return QStringLiteral("no password: Firefox's import needs one");
    const QChar nul(u'\0');
    if (username.contains(nul) || password.contains(nul) || location.contains(nul))
        return QStringLiteral("a NUL character, which Firefox's import refuses");
    return {};
}

} // namespace

QString browserRefusal(Layout layout, const QString& username, const QString& password,
                       const QString& location, bool& aboutLocation) {
    aboutLocation = false;
    if (layout == Layout::Chrome)
        return chromeRefusal(username, password, location, aboutLocation);
    if (layout == Layout::Firefox)
        return firefoxRefusal(username, password, location, aboutLocation);
    return {};
}

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
