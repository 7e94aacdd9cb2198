#include "browser/OriginMatch.h"

#include <QByteArray>
#include <QRegularExpression>
#include <QStringList>
#include <QUrl>

#include <libpsl.h>

#include <memory>
#include <optional>

namespace browser {

namespace {

// A host as we compare it: ASCII (punycode for internationalized names),
// lower case, without a trailing dot; an IPv6 address as QUrl writes it,
// without brackets, so that every spelling of one address is one string.
struct Host {
    QString name;
    bool ip = false;

    friend bool operator==(const Host&, const Host&) = default;
};

// A page's origin as the browser reports it.
struct Origin {
    QString scheme; // "http" or "https"
    Host host;
    int port = 0; // always set: the scheme's own when the origin gives none
};

// What an entry's location names.
struct Place {
    QString scheme; // "http", "https", or empty when the user typed none
    Host host;
    int port = -1; // -1 when neither a port nor a scheme was typed
};

bool isWebScheme(const QString& scheme) {
    return scheme == QLatin1String("http") || scheme == QLatin1String("https");
}

int defaultPort(const QString& scheme) {
    return scheme == QLatin1String("https") ? 443 : 80;
}

// The host of a parsed address, or nothing when it is no name a page can
// have. QUrl has already lower-cased the name, turned it into punycode,
// checked an IPv6 address and written every IPv4 spelling ("127.1",
// "0x7f.0.0.1") as four decimals, the way browsers do.
std::optional<Host> webHost(const QUrl& url) {
    QString name = url.host(QUrl::FullyEncoded);
    if (name.contains(QLatin1Char(':')))
        return Host{name, true};
    if (name.endsWith(QLatin1Char('.')))
        name.chop(1);
    // QUrl leaves a dotted quad with a part above 255 as it is, a name.
    static const QRegularExpression ipv4(QStringLiteral(
        "^(25[0-5]|2[0-4][0-9]|1?[0-9]?[0-9])(\\.(25[0-5]|2[0-4][0-9]|1?[0-9]?[0-9])){3}$"));
    if (ipv4.match(name).hasMatch())
        return Host{name, true};
    static const QRegularExpression label(QStringLiteral("^[a-z0-9_-]{1,63}$"));
    static const QRegularExpression digits(QStringLiteral("^[0-9]+$"));
    if (name.isEmpty() || name.size() > 253)
        return std::nullopt;
    const QStringList labels = name.split(QLatin1Char('.'));
    for (const QString& l : labels) {
        if (!label.match(l).hasMatch())
            return std::nullopt;
    }
    // A name ending in a number is an address no one could resolve as a
    // name, such as "1.2.3.999": neither an IP address nor a host.
    if (digits.match(labels.last()).hasMatch())
        return std::nullopt;
    return Host{name, false};
}

// Whether the address carries a user part before its host.
bool hasUserPart(const QUrl& url) {
    return url.authority(QUrl::FullyEncoded).contains(QLatin1Char('@'));
}

std::optional<Origin> originOf(const QString& text) {
    const QUrl url(text, QUrl::StrictMode);
    if (!url.isValid() || !isWebScheme(url.scheme()) || hasUserPart(url))
        return std::nullopt;
    // An origin is scheme, host and port; a browser never reports more, so
    // anything more is not an origin we were given.
    if (url.hasQuery() || url.hasFragment() ||
        !(url.path().isEmpty() || url.path() == QLatin1String("/")))
        return std::nullopt;
    const std::optional<Host> host = webHost(url);
    if (!host)
        return std::nullopt;
    return Origin{url.scheme(), *host, url.port(defaultPort(url.scheme()))};
}

std::optional<Place> placeOf(const QString& location) {
    const QString text = location.trimmed();
    if (text.isEmpty())
        return std::nullopt;
    static const QRegularExpression withAuthority(QStringLiteral("^([A-Za-z][A-Za-z0-9+.-]*)://"));
    // An IPv6 address typed without its brackets: "fd00::1", "::1".
    static const QRegularExpression bareIpv6(
        QStringLiteral("^[0-9A-Fa-f.]*:[0-9A-Fa-f.]*:[0-9A-Fa-f:.]*$"));
    // Something before a colon that could be a scheme: "mailto:", "data:",
    // "C:". A host with a port looks the same up to the colon, and only its
    // digits after it tell it apart.
    static const QRegularExpression schemeLike(QStringLiteral("^[A-Za-z][A-Za-z0-9+.-]*:"));
    static const QRegularExpression hostAndPort(QStringLiteral("^[^:/?#@]+:[0-9]+(?:[/?#]|$)"));

    Place place;
    QUrl url;
    if (const QRegularExpressionMatch m = withAuthority.match(text); m.hasMatch()) {
        place.scheme = m.captured(1).toLower();
        if (!isWebScheme(place.scheme))
            return std::nullopt;
        url = QUrl(text, QUrl::TolerantMode);
    } else if (bareIpv6.match(text).hasMatch()) {
        url = QUrl(QStringLiteral("http://[") + text + QLatin1Char(']'), QUrl::StrictMode);
    } else if (schemeLike.match(text).hasMatch() && !hostAndPort.match(text).hasMatch()) {
        return std::nullopt;
    } else {
        // No scheme typed: parse it as the address a browser would make of
        // it, and remember that the scheme was not the user's.
        url = QUrl(QStringLiteral("http://") + text, QUrl::TolerantMode);
    }
    if (!url.isValid() || hasUserPart(url))
        return std::nullopt;
    const std::optional<Host> host = webHost(url);
    if (!host)
        return std::nullopt;
    place.host = *host;
    place.port = url.port(place.scheme.isEmpty() ? -1 : defaultPort(place.scheme));
    return place;
}

// libpsl's newest list: Debian's file when it is newer than the copy built
// into the library. psl_latest() falls back to that copy by itself, and
// psl_free() leaves the built-in copy alone.
const psl_ctx_t* suffixList() {
    static const std::unique_ptr<psl_ctx_t, void (*)(psl_ctx_t*)> list(psl_latest(nullptr),
                                                                       psl_free);
    return list.get();
}

// Whether a bare domain's location covers the page's host: the host itself,
// or a host below it that belongs to the same owner.
bool coversHost(const Host& location, const Host& page) {
    if (location == page)
        return true;
    if (location.ip || page.ip)
        return false;
    if (!page.name.endsWith(QLatin1Char('.') + location.name))
        return false;
    const psl_ctx_t* list = suffixList();
    if (!list)
        return false;
    // The page's owner holds its registrable domain (its public suffix and
    // one label more); the location must be that domain or lie below it, or
    // the page belongs to someone else though its name ends in the
    // location. That also keeps a location that is itself a public suffix
    // ("co.uk", "github.io") to its own host: every registrable domain
    // below it is longer than it.
    const QByteArray own = location.name.toLatin1();
    const QByteArray pageName = page.name.toLatin1();
    const char* registrable = psl_registrable_domain(list, pageName.constData());
    if (!registrable)
        return false;
    const QByteArray owner(registrable);
    return own == owner || own.endsWith('.' + owner);
}

Verdict judgeParsed(const std::optional<Origin>& page, Frame frame,
                    const std::optional<Place>& place) {
    if (frame != Frame::Top && frame != Frame::SameOrigin)
        return Verdict::OtherOriginFrame;
    if (!page)
        return Verdict::PageNotWeb;
    if (!place)
        return Verdict::LocationNotWeb;
    if (!place->scheme.isEmpty() && place->scheme != page->scheme)
        return Verdict::SchemeDiffers;
    // Only a bare domain reaches below its own host.
    const bool bare = place->scheme.isEmpty() && place->port == -1;
    if (bare ? !coversHost(place->host, page->host) : place->host != page->host)
        return Verdict::HostDiffers;
    const int port = place->port == -1 ? defaultPort(page->scheme) : place->port;
    if (port != page->port)
        return Verdict::PortDiffers;
    return Verdict::Fills;
}

} // namespace

Verdict judge(const QString& pageOrigin, Frame frame, const QString& location) {
    return judgeParsed(originOf(pageOrigin), frame, placeOf(location));
}

std::vector<std::size_t> fillingEntries(const QString& pageOrigin, Frame frame,
                                        std::span<const Entry> entries) {
    std::vector<std::size_t> filling;
    const std::optional<Origin> page = originOf(pageOrigin);
    // A frame or page that refuses before any location is read refuses all.
    if (judgeParsed(page, frame, std::nullopt) != Verdict::LocationNotWeb)
        return filling;
    for (std::size_t i = 0; i < entries.size(); ++i) {
        if (judgeParsed(page, frame, placeOf(entries[i].location)) == Verdict::Fills)
            filling.push_back(i);
    }
    return filling;
}

} // namespace browser
