#pragma once

#include "vault/Entry.h"

#include <QString>

#include <cstddef>
#include <span>
#include <vector>

// Which entries may fill a login on a web page. The browser tells us the
// page's origin (scheme, host and port, serialized as "https://host:port"
// with the port left out when it is the scheme's own) and which frame asks;
// the entry tells us only what the user typed as its location. A password
// handed to the wrong page is gone, so every doubt answers "no": a location
// that cannot be read as a web address fills nothing, and nothing here ever
// guesses a wider match than the location spells out.
//
// The rules, by what the location holds:
//
// - An address with a scheme ("https://example.org/login",
//   "http://example.org:8080"): only pages of exactly that origin, the same
//   scheme, host and port, a missing port standing for the scheme's own (443
//   or 80). No subdomain, no other port, and no other scheme: an https entry
//   never fills an http page, where anyone on the way reads what is sent;
//   nor does an http entry fill the https page of its host, since it names
//   one origin and nothing else (saving the entry again with https is the
//   user's one-time fix). Only http and https count; "ftp://", "android://",
//   "file://", "javascript:", "data:" and every other scheme fill nothing.
//
// - A host with a port and no scheme ("example.org:8080", "localhost:3000"):
//   that host alone on that port, over http or https. A port is typed for
//   one service on one machine, mostly a development or home server that
//   speaks plain http, and the user chose not to say which scheme.
//
// - A bare domain ("example.org", also "example.org/login"): that host and
//   the hosts below it ("www.example.org", "a.b.example.org") on the
//   schemes' own ports, over https and also over http. The user typed no
//   scheme, so did not ask for https; many sites and home devices still
//   answer on http, and refusing them would leave the user without a
//   reason. Other ports are other services and are not filled: the user
//   types the port when that is what they mean.
//
//   Hosts below count only while they belong to the same owner: the page's
//   registrable domain (its public suffix and one label more, by the public
//   suffix list) must be the location itself or lie above it. So
//   "amazonaws.com" does not fill "bucket.s3.amazonaws.com", whose owner is
//   the bucket's, not the domain's. A location that is itself a public
//   suffix, listed ("co.uk", "com", "github.io") or not ("localhost", "nas":
//   every unlisted top-level name counts as one), matches only that exact
//   host: no one can own what lies below it, while the exact host is still
//   what the user typed, and single-label hosts on a home network are real.
//
// - An IP address ("192.168.1.1", "[::1]:8080", "http://10.0.0.2"): the same
//   rules, compared as the address, never as a suffix of anything.
//
// - Anything else fills nothing: an empty location, free text, a file or
//   folder path, an e-mail address, a wildcard, and any location with a user
//   part before its host ("https://example.org@evil.test" goes to
//   evil.test; no site is named that way but phishing links are).
//
// Hosts compare case-insensitively, with a trailing dot ignored, and
// internationalized names in their ASCII form (punycode), so a look-alike
// in another script is another host. Paths, queries and fragments are
// ignored: the origin is what separates one site from another, and all the
// browser tells us.
//
// A frame whose origin is not the top page's gets nothing, whatever its
// own origin: a page of one site may embed another to catch its password.
//
// The public suffix list is libpsl's psl_latest(): the newer of libpsl's
// built-in copy and Debian's publicsuffix package,
// /usr/share/publicsuffix/public_suffix_list.dafsa, read once per process.
// Without either, no location fills a host below it, only its own.
namespace browser {

// Which frame of the page asks to be filled.
enum class Frame {
    Top,         // the page itself
    SameOrigin,  // a frame whose origin is the top page's
    OtherOrigin, // a frame from anywhere else
};

// The answer, with the first reason for refusing.
enum class Verdict {
    Fills,
    OtherOriginFrame, // the frame's origin is not the top page's
    PageNotWeb,       // the origin is no http or https origin as a browser reports it
    LocationNotWeb,   // the location names no web host
    SchemeDiffers,
    HostDiffers,
    PortDiffers,
};

Verdict judge(const QString& pageOrigin, Frame frame, const QString& location);

inline bool mayFill(const QString& pageOrigin, Frame frame, const QString& location) {
    return judge(pageOrigin, frame, location) == Verdict::Fills;
}

// The positions in `entries` of those that may fill the page, in order:
// the logins to offer for it.
std::vector<std::size_t> fillingEntries(const QString& pageOrigin, Frame frame,
                                        std::span<const Entry> entries);

} // namespace browser
