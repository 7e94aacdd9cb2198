// Which entries may fill a page: one table of page origins, frames and
// locations with the answer each must get, the reason for a refusal
// included, so that a row meant to refuse a look-alike cannot pass by
// refusing for another reason. The public suffix rows read the list the
// program reads (Debian's, through libpsl).
#include "browser/OriginMatch.h"

#include <gtest/gtest.h>

#include <ostream>
#include <vector>

namespace browser {

void PrintTo(Verdict verdict, std::ostream* os) {
    switch (verdict) {
    case Verdict::Fills:
        *os << "Fills";
        return;
    case Verdict::OtherOriginFrame:
        *os << "OtherOriginFrame";
        return;
    case Verdict::PageNotWeb:
        *os << "PageNotWeb";
        return;
    case Verdict::LocationNotWeb:
        *os << "LocationNotWeb";
        return;
    case Verdict::SchemeDiffers:
        *os << "SchemeDiffers";
        return;
    case Verdict::HostDiffers:
        *os << "HostDiffers";
        return;
    case Verdict::PortDiffers:
        *os << "PortDiffers";
        return;
    }
    *os << "Verdict(" << static_cast<int>(verdict) << ")";
}

} // namespace browser

namespace {

using browser::Frame;
using browser::Verdict;

constexpr Frame Top = Frame::Top;

struct Row {
    const char* name;
    const char* origin;
    Frame frame;
    const char* location; // UTF-8
    Verdict expected;
};

void PrintTo(const Row& row, std::ostream* os) {
    *os << row.name << ": page " << row.origin << ", location \"" << row.location << "\"";
}

const Row rows[] = {
    // A bare domain: its host and the hosts below it, http or https, the
    // schemes' own ports.
    {"BareDomainOwnHost", "https://example.org", Top, "example.org", Verdict::Fills},
    {"BareDomainSubdomain", "https://www.example.org", Top, "example.org", Verdict::Fills},
    {"BareDomainDeepSubdomain", "https://a.b.example.org", Top, "example.org", Verdict::Fills},
    {"BareDomainOnHttp", "http://www.example.org", Top, "example.org", Verdict::Fills},
    {"BareDomainWithPath", "https://www.example.org", Top, "example.org/login", Verdict::Fills},
    {"BareDomainPortWrittenOut", "https://example.org:443", Top, "example.org", Verdict::Fills},
    {"BareDomainOtherPort", "https://example.org:8443", Top, "example.org", Verdict::PortDiffers},
    {"BareDomainNotItsParent", "https://example.org", Top, "www.example.org", Verdict::HostDiffers},
    {"BareDomainNotAGluedName", "https://mywww.example.org", Top, "www.example.org",
     Verdict::HostDiffers},
    {"BareDomainUnderCountrySuffix", "https://login.example.co.uk", Top, "example.co.uk",
     Verdict::Fills},

    // Look-alikes.
    {"LookAlikeSuffixAppended", "https://example.org.evil.test", Top, "example.org",
     Verdict::HostDiffers},
    {"LookAlikePrefixGlued", "https://evilexample.org", Top, "example.org", Verdict::HostDiffers},
    {"LookAlikeUserPartInOrigin", "https://example.org@evil.test", Top, "example.org",
     Verdict::PageNotWeb},
    {"LookAlikeUserPartInLocation", "https://evil.test", Top, "https://example.org@evil.test",
     Verdict::LocationNotWeb},
    {"LookAlikePathInOrigin", "https://evil.test/example.org", Top, "example.org",
     Verdict::PageNotWeb},
    {"LookAlikePunycodePage", "https://xn--exmple-cua.org", Top, "example.org",
     Verdict::HostDiffers},
    {"LookAlikeCyrillicLocation", "https://example.org", Top, "\xd0\xb5xample.org",
     Verdict::HostDiffers},
    {"UnicodeLocationFillsItsPunycode", "https://www.xn--exmple-cua.org", Top, "EX\xc3\x84MPLE.org",
     Verdict::Fills},

    // A location with a scheme: that origin alone.
    {"SchemeExact", "https://example.org", Top, "https://example.org/login?next=%2F",
     Verdict::Fills},
    {"SchemeDefaultPortWrittenOut", "https://example.org", Top, "https://example.org:443/",
     Verdict::Fills},
    {"SchemeWithPort", "http://example.org:8080", Top, "http://example.org:8080/admin",
     Verdict::Fills},
    {"SchemeNoSubdomain", "https://www.example.org", Top, "https://example.org",
     Verdict::HostDiffers},
    {"SchemeOtherPort", "https://example.org:8443", Top, "https://example.org",
     Verdict::PortDiffers},
    {"SchemeHttpsEntryOnHttpPage", "http://example.org", Top, "https://example.org",
     Verdict::SchemeDiffers},
    {"SchemeHttpEntryOnHttpsPage", "https://example.org", Top, "http://example.org",
     Verdict::SchemeDiffers},

    // A host with a port: that host on that port, http or https.
    {"HostPortOnHttps", "https://example.org:8080", Top, "example.org:8080", Verdict::Fills},
    {"HostPortOnHttp", "http://localhost:3000", Top, "localhost:3000/", Verdict::Fills},
    {"HostPortOtherPort", "http://example.org:8081", Top, "example.org:8080", Verdict::PortDiffers},
    {"HostPortSchemePort", "https://example.org", Top, "example.org:8080", Verdict::PortDiffers},
    {"HostPortNoSubdomain", "https://www.example.org:8080", Top, "example.org:8080",
     Verdict::HostDiffers},

    // Trailing dots and case.
    {"TrailingDotOnPage", "https://www.example.org.", Top, "example.org", Verdict::Fills},
    {"TrailingDotOnLocation", "https://example.org", Top, "https://example.org./", Verdict::Fills},
    {"UpperCaseOrigin", "https://WWW.Example.ORG", Top, "example.org", Verdict::Fills},
    {"TwoTrailingDots", "https://example.org", Top, "example.org..", Verdict::LocationNotWeb},

    // IP addresses: the address itself, never a suffix.
    {"Ipv4", "http://192.168.1.1", Top, "192.168.1.1", Verdict::Fills},
    {"Ipv4ShortSpelling", "http://127.0.0.1:8000", Top, "127.1:8000", Verdict::Fills},
    {"Ipv4NotBySuffix", "http://192.168.0.1", Top, "0.1", Verdict::HostDiffers},
    {"Ipv4OutOfRange", "http://192.168.1.30", Top, "192.168.1.300", Verdict::LocationNotWeb},
    {"Ipv6WithPort", "http://[::1]:8080", Top, "[::1]:8080", Verdict::Fills},
    {"Ipv6OtherSpellingWithoutBrackets", "https://[fd00::1]", Top, "FD00:0:0::1", Verdict::Fills},

    // Public suffixes: only that exact host, never what lies below.
    {"SuffixCountry", "https://example.co.uk", Top, "co.uk", Verdict::HostDiffers},
    {"SuffixTopLevel", "https://example.com", Top, "com", Verdict::HostDiffers},
    {"SuffixPrivate", "https://someone.github.io", Top, "github.io", Verdict::HostDiffers},
    {"SuffixPrivateExactHost", "https://github.io", Top, "github.io", Verdict::Fills},
    {"BelowPrivateSuffix", "https://a.someone.github.io", Top, "someone.github.io", Verdict::Fills},
    {"SuffixBetweenDomainAndPage", "https://bucket.s3.amazonaws.com", Top, "amazonaws.com",
     Verdict::HostDiffers},
    {"UnlistedSingleLabelExact", "http://localhost", Top, "localhost", Verdict::Fills},
    {"UnlistedSingleLabelNotBelow", "http://app.localhost", Top, "localhost", Verdict::HostDiffers},

    // Frames.
    {"FrameOfSameOrigin", "https://www.example.org", Frame::SameOrigin, "example.org",
     Verdict::Fills},
    {"FrameOfOtherOrigin", "https://www.example.org", Frame::OtherOrigin, "example.org",
     Verdict::OtherOriginFrame},

    // Locations and pages that are not the web.
    {"Android", "https://example.org", Top, "android://Zm9v@org.example.app/",
     Verdict::LocationNotWeb},
    {"Ftp", "https://example.org", Top, "ftp://example.org", Verdict::LocationNotWeb},
    {"Javascript", "https://example.org", Top, "javascript:alert(1)", Verdict::LocationNotWeb},
    {"Data", "https://example.org", Top, "data:text/html,<form>", Verdict::LocationNotWeb},
    {"Empty", "https://example.org", Top, "", Verdict::LocationNotWeb},
    {"FreeText", "https://example.org", Top, "my bank, example.org", Verdict::LocationNotWeb},
    {"EmailAddress", "https://example.org", Top, "me@example.org", Verdict::LocationNotWeb},
    {"UnixPath", "https://example.org", Top, "/home/me/example.org", Verdict::LocationNotWeb},
    {"WindowsPath", "https://example.org", Top, "C:\\Users\\me\\example.org",
     Verdict::LocationNotWeb},
    {"Wildcard", "https://www.example.org", Top, "*.example.org", Verdict::LocationNotWeb},
    {"OpaqueOriginPage", "null", Top, "example.org", Verdict::PageNotWeb},
};

class OriginMatch : public testing::TestWithParam<Row> {};

TEST_P(OriginMatch, Judge) {
    const Row& row = GetParam();
    EXPECT_EQ(
        browser::judge(QString::fromUtf8(row.origin), row.frame, QString::fromUtf8(row.location)),
        row.expected);
}

INSTANTIATE_TEST_SUITE_P(Rows, OriginMatch, testing::ValuesIn(rows),
                         [](const testing::TestParamInfo<Row>& info) { return info.param.name; });

// The logins offered for a page are the entries judge() lets fill it, in
// their order, and none at all for a frame of another origin.
TEST(OriginMatchList, OffersTheEntriesThatFill) {
    const std::vector<Entry> entries = {
        {"a", "p", "example.org"},
        {"b", "p", "https://www.example.org/login"},
        {"c", "p", "http://www.example.org"},
        {"d", "p", "evilexample.org"},
        {"e", "p", "www.example.org:443"},
        {"f", "p", ""},
        {"g", "p", "org"},
        {"h", "p", "WWW.EXAMPLE.ORG."},
    };
    const QString page = QStringLiteral("https://www.example.org");
    EXPECT_EQ(browser::fillingEntries(page, Frame::Top, entries),
              (std::vector<std::size_t>{0, 1, 4, 7}));
    EXPECT_EQ(browser::fillingEntries(page, Frame::SameOrigin, entries),
              (std::vector<std::size_t>{0, 1, 4, 7}));
    EXPECT_TRUE(browser::fillingEntries(page, Frame::OtherOrigin, entries).empty());
    EXPECT_TRUE(browser::fillingEntries(QStringLiteral("null"), Frame::Top, entries).empty());
}

} // namespace
