#include "VaultTestSupport.h"

#include "interchange/Input.h"
#include "interchange/Interchange.h"
#include "interchange/Shared.h"
#include "vault/EntryStore.h"
#include "vault/Utf8.h"
#include "vault/VaultFormat.h"

#include <QFile>

#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <functional>
#include <iostream>
#include <map>
#include <random>
#include <vector>

using interchange::ExportResult;
using interchange::Format;
using interchange::ImportResult;
using interchange::Layout;

namespace {

QString u(const char* utf8) {
    return QString::fromUtf8(utf8);
}

// One way out and back in: a CSV layout or JSON, from entries or from the
// entries as a vault holds them.
struct Way {
    const char* name;
    Format format;
    Layout layout;
    std::function<ExportResult(const std::vector<Entry>&)> fromEntries;
    std::function<ExportResult(const EntryStore&)> fromStore;
    // Whether it carries every character; XML 1.0 holds no control
    // characters but tab, LF and CR.
    bool controls = true;
};

// Fixed identities and times, so that two exports compare.
const interchange::XmlStamp kStamp{QDateTime(QDate(2026, 3, 14), QTime(10, 0), Qt::UTC), 20260314};

std::vector<Way> everyWay() {
    std::vector<Way> ways;
    for (const interchange::LayoutTable& table : interchange::layouts()) {
        const Layout layout = table.layout;
        ways.push_back(
            {"csv", Format::Csv, layout,
             [layout](const std::vector<Entry>& e) { return interchange::exportCsv(e, layout); },
             [layout](const EntryStore& s) { return interchange::exportCsv(s, layout); }});
    }
    ways.push_back({"json", Format::Json, Layout::Keynook,
                    [](const std::vector<Entry>& e) { return interchange::exportJson(e); },
                    [](const EntryStore& s) { return interchange::exportJson(s); }});
    ways.push_back(
        {"xml", Format::KeePassXml, Layout::Keynook,
         [](const std::vector<Entry>& e) { return interchange::exportKeePassXml(e, kStamp); },
         [](const EntryStore& s) { return interchange::exportKeePassXml(s, kStamp); }, false});
    return ways;
}

// Short ASCII text full of the characters CSV and JSON treat specially. The
// vault holds it as plain bytes, which export takes on its quickest path.
QString asciiField(std::mt19937& gen) {
    static const char chars[] = "ab ,\"\\|\t";
    QString text;
    for (unsigned n = gen() % 6; n > 0; --n)
        text += QLatin1Char(chars[gen() % (sizeof chars - 1)]);
    return text;
}

bool isEmpty(const Entry& e) {
    return e.username.isEmpty() && e.password.isEmpty() && e.location.isEmpty();
}

QByteArray dataFile(const QString& name) {
    QFile f(QStringLiteral(KEYNOOK_TEST_DATA_DIR "/interchange/") + name);
    EXPECT_TRUE(f.open(QIODevice::ReadOnly)) << name.toStdString();
    return f.readAll();
}

// Replaces what XML 1.0 cannot hold (control characters but tab, LF and
// CR) with '?'; returns the first entry changed, counting from 1, or 0.
size_t withoutControls(std::vector<Entry>& entries) {
    size_t first = 0;
    for (size_t i = 0; i < entries.size(); ++i) {
        for (QString* f : {&entries[i].username, &entries[i].password, &entries[i].location}) {
            for (QChar& c : *f) {
                if (c.unicode() < 0x20 && c != u'\t' && c != u'\n' && c != u'\r') {
                    c = u'?';
                    first = first ? first : i + 1;
                }
            }
        }
    }
    return first;
}

// How many times each entry is there.
std::map<QByteArray, int> counts(const std::vector<Entry>& entries) {
    std::map<QByteArray, int> n;
    for (const Entry& e : entries)
        ++n[vaultformat::encodeEntryLine(e)];
    return n;
}

} // namespace

// Random entries (every byte of the code page, bars, CR and LF, characters
// beyond it and beyond the BMP) leave in every layout and in JSON and come
// back the same, except the entirely empty ones, which are counted instead.
// The entries as a vault file holds them export to the same bytes, and what
// came back exports to the same bytes again.
// The table of formats is found by place: each row stands at its format's
// value, every format has one, and its word finds it again.
TEST(Interchange, EachFormatHasItsRowInPlace) {
    using namespace interchange;
    const std::vector<FormatRow>& rows = formats();
    ASSERT_EQ(rows.size(), size_t(Format::BitwardenJson) + 1);
    for (size_t i = 0; i < rows.size(); ++i) {
        EXPECT_EQ(size_t(rows[i].format), i);
        EXPECT_EQ(&formatRow(rows[i].format), &rows[i]);
        EXPECT_EQ(formatWord(QString::fromLatin1(rows[i].word)), rows[i].format);
        EXPECT_NE(rows[i].read, nullptr);
    }
    EXPECT_EQ(formatWord(u"yaml"), std::nullopt);
}

TEST(Interchange, RandomEntriesComeBackFromEveryLayoutAndJson) {
    const std::uint32_t start = testsupport::randomStartValue();
    std::cout << "random start value " << start << " (KEYNOOK_RANDOM_START)\n";
    testsupport::FieldMaker maker(start);
    std::mt19937 gen(start);
    const std::vector<Way> ways = everyWay();
    for (int round = 0; round < 300; ++round) {
        std::vector<Entry> given(std::uniform_int_distribution<size_t>(0, 8)(gen));
        for (size_t k = 0; k < given.size(); ++k) {
            if (gen() % 16 == 0)
                continue; // an empty entry now and then
            if (k > 0 && gen() % 5 == 0) {
                given[k] = given[gen() % k]; // and an entry the vault holds twice
                continue;
            }
            auto field = [&] { return gen() % 3 == 0 ? asciiField(gen) : maker.field(); };
            given[k] = Entry{field(), field(), field()};
        }
        for (const Way& way : ways) {
            SCOPED_TRACE(::testing::Message() << "round " << round << ", " << way.name << " "
                                              << interchange::layoutName(way.layout).toStdString());
            // A format that cannot carry a character refuses the first
            // entry that holds one, and takes the others.
            std::vector<Entry> entries = given;
            if (const size_t first = way.controls ? 0 : withoutControls(entries); first > 0) {
                const ExportResult refused = way.fromEntries(given);
                EXPECT_FALSE(refused.ok());
                EXPECT_TRUE(refused.error.startsWith(QStringLiteral("entry %1: ").arg(first)))
                    << refused.error.toStdString();
            }
            std::vector<Entry> expected;
            for (const Entry& e : entries)
                if (!isEmpty(e))
                    expected.push_back(e);
            const EntryStore store =
                EntryStore::fromFile(vaultformat::savedFile(QStringLiteral("master"), entries));
            const ExportResult out = way.fromEntries(entries);
            EXPECT_EQ(way.fromStore(store).bytes, out.bytes);

            const interchange::Detection detected = interchange::detect(out.bytes);
            EXPECT_EQ(detected.format, way.format);
            EXPECT_EQ(detected.layout, way.layout);
            const ImportResult in = interchange::importAny(out.bytes);
            ASSERT_TRUE(in.ok()) << in.error.toStdString();
            EXPECT_EQ(in.entries, expected);
            EXPECT_EQ(in.skippedEmpty, qsizetype(entries.size() - expected.size()));
            // Nothing of ours is lost on the way: every column we write
            // reads back into a field, or holds nothing.
            EXPECT_TRUE(in.notKept.empty()) << in.notKept.front().column.toStdString();
            EXPECT_TRUE(in.dropped.empty());
            if (expected.size() == entries.size()) {
                EXPECT_EQ(way.fromEntries(in.entries).bytes, out.bytes);
            }

            // Into a vault that holds some of them: each entry ends up there
            // as often as the larger of the vault and the file hold it, the
            // new ones after the vault's in the file's order; into an empty
            // vault, that is the vault exported, repeated entries included.
            std::vector<Entry> held;
            for (const Entry& e : expected)
                if (gen() % 3 == 0)
                    held.push_back(e);
            for (const std::vector<Entry>& before : {std::vector<Entry>(), held}) {
                EntryStore vault;
                vault.append(before);
                interchange::EncodedImport encoded = interchange::importEncoded(out.bytes);
                const interchange::Addition plan = interchange::planAddition(vault, encoded);
                interchange::add(vault, std::move(encoded.entries), plan);
                std::vector<Entry> now;
                for (size_t k = 0; k < vault.size(); ++k)
                    now.push_back(vault.entry(k));
                std::map<QByteArray, int> want = counts(before);
                for (const auto& [line, n] : counts(expected))
                    want[line] = std::max(want[line], n);
                EXPECT_EQ(counts(now), want);
                EXPECT_EQ(plan.added + plan.inVault, qsizetype(expected.size()));
                if (before.empty()) {
                    EXPECT_EQ(now, expected);
                }
                // Again: nothing more.
                const interchange::Addition again =
                    interchange::planAddition(vault, interchange::importEncoded(out.bytes));
                EXPECT_EQ(again.added, 0);
                EXPECT_EQ(again.inVault, qsizetype(expected.size()));
            }
        }
    }
}

namespace {

// A CSV file of a few hundred records, written the ways files come: fields
// plain or quoted whether they need it or not, quotes doubled, line breaks,
// bars and text beyond ASCII in fields, records long and short, CR LF, LF
// or CR line ends, empty lines, and now and then a record broken one of the
// ways a reader must refuse.
QByteArray randomCsv(std::mt19937& gen, testsupport::FieldMaker& maker) {
    const auto pick = [&](int lo, int hi) {
        return std::uniform_int_distribution<int>(lo, hi)(gen);
    };
    const char* const header = pick(0, 5) ? "username,password,location" : "url,username,password";
    const char* const ends[] = {"\r\n", "\r\n", "\n", "\r"};
    QByteArray csv = pick(0, 9) ? QByteArray() : QByteArray("\xEF\xBB\xBF");
    csv += header;
    const int records = pick(0, 300);
    const int broken = pick(0, 3) ? -1 : pick(0, records);
    for (int r = 0; r <= records; ++r) {
        csv += ends[pick(0, 3)];
        if (pick(0, 20) == 0)
            csv += ends[pick(0, 3)];
        if (r == records)
            break;
        const int fields = r == broken && pick(0, 1) ? pick(2, 4) : 3;
        for (int f = 0; f < fields; ++f) {
            if (f > 0)
                csv += ',';
            QString text;
            switch (pick(0, 5)) {
            case 0:
                text = maker.field();
                break;
            case 1:
                text = asciiField(gen);
                break;
            case 2:
                text = QString(pick(20, 90), QLatin1Char("xy-._@"[pick(0, 5)]));
                break;
            default:
                for (int n = pick(0, 14); n > 0; --n)
                    text += QLatin1Char("abcXYZ019 ,.;:/@!#"[pick(0, 17)]);
            }
            QByteArray field = text.toUtf8();
            if (utf8::firstInvalid(field) >= 0)
                field = "x";
            const bool needs = field.contains(',') || field.contains('"') || field.contains('\r') ||
                               field.contains('\n');
            if (needs || pick(0, 6) == 0)
                field = '"' + field.replace("\"", "\"\"") + '"';
            if (r == broken && fields == 3 && f == 1) {
                switch (pick(0, 2)) {
                case 0:
                    field = "a\"b";
                    break;
                case 1:
                    field = "\"a\"b";
                    break;
                default:
                    field = "\"never closed";
                }
            }
            csv += field;
        }
    }
    return csv;
}

// Whether an import into a vault gave the lines that adding the entries
// of the import into entries gives.
::testing::AssertionResult linesOfEntries(const EntryStore& encoded,
                                          const std::vector<Entry>& entries) {
    EntryStore expected;
    expected.append(entries);
    if (encoded.size() != expected.size())
        return ::testing::AssertionFailure() << encoded.size() << " lines, not " << expected.size();
    for (size_t i = 0; i < expected.size(); ++i)
        if (encoded.line(i) != expected.line(i))
            return ::testing::AssertionFailure() << "entry " << i << " differs";
    return ::testing::AssertionSuccess();
}

} // namespace

// Import into a vault reads the file's bytes straight into the vault's
// lines. For any file it gives what reading the file into entries and
// adding those gives: the same lines, counts, layout, and the same refusal
// at the same line.
TEST(Interchange, EncodedImportIsTheImportOfTheEntries) {
    const std::uint32_t start = testsupport::randomStartValue();
    std::cout << "random start value " << start << " (KEYNOOK_RANDOM_START)\n";
    testsupport::FieldMaker maker(start);
    std::mt19937 gen(start);
    int refused = 0;
    for (int round = 0; round < 200; ++round) {
        SCOPED_TRACE(::testing::Message() << "round " << round);
        const QByteArray csv = randomCsv(gen, maker);
        const ImportResult in = interchange::importAny(csv);
        const interchange::EncodedImport encoded = interchange::importEncoded(csv);
        ASSERT_EQ(encoded.error, in.error);
        ASSERT_EQ(encoded.line, in.line);
        ASSERT_EQ(encoded.layout, in.layout);
        ASSERT_EQ(encoded.skippedEmpty, in.skippedEmpty);
        ASSERT_EQ(encoded.dropped, in.dropped);
        refused += in.ok() ? 0 : 1;
        ASSERT_TRUE(linesOfEntries(encoded.entries, in.entries));
    }
    // Both kinds of file came up.
    EXPECT_GT(refused, 10);
    EXPECT_LT(refused, 150);
}

// KeePass XML is read quickly where the file is of the plain kind KeePass
// and KeePassXC write, and by Qt's reader otherwise. For any file the two
// give the same: exports of random entries, golden files, and each of them
// changed here and there the ways XML can be written or broken.
TEST(Interchange, QuickKeePassXmlIsQtsKeePassXml) {
    const std::uint32_t start = testsupport::randomStartValue();
    std::cout << "random start value " << start << " (KEYNOOK_RANDOM_START)\n";
    testsupport::FieldMaker maker(start);
    std::mt19937 gen(start);
    const auto pick = [&](int lo, int hi) {
        return std::uniform_int_distribution<int>(lo, hi)(gen);
    };
    std::vector<QByteArray> files = {dataFile(u("import/keepass.xml")),
                                     dataFile(u("export/keepass.xml"))};
    for (int k = 0; k < 20; ++k) {
        std::vector<Entry> entries(static_cast<size_t>(pick(0, 6)));
        for (Entry& e : entries)
            e = Entry{maker.field(), maker.field(), maker.field()};
        withoutControls(entries);
        files.push_back(interchange::exportKeePassXml(entries, kStamp).bytes);
    }
    // Pieces XML may hold, or must not.
    const QByteArrayView pieces[] = {"<!-- c -->",
                                     "<?pi x?>",
                                     "<![CDATA[x]]>",
                                     "&amp;",
                                     "&#13;",
                                     "&#x1F600;",
                                     "&#1;",
                                     "&nbsp;",
                                     "\r\n",
                                     "\r",
                                     "]]>",
                                     "<",
                                     ">",
                                     "&",
                                     "\"",
                                     "'",
                                     "</Value>",
                                     "<Value>",
                                     "<Notes/>",
                                     "<String><Key>otp</Key><Value>x</Value></String>",
                                     " Protected=\"True\"",
                                     " a=\"1\" a=\"2\"",
                                     "\xEF\xBF\xBF",
                                     "\xC3",
                                     " a=\"\xC3\xA9\"",
                                     " a=\"\xC3\"",
                                     "\x01",
                                     "\t",
                                     "<x:y/>",
                                     "<!DOCTYPE KeePassFile>",
                                     "\xEF\xBB\xBF",
                                     "<?xml version=\"1.0\"?>"};
    // The two readers read each file alike, refusals included.
    const auto agree = [](const QByteArray& xml) -> ::testing::AssertionResult {
        const ImportResult slow = interchange::importKeePassXmlWithQt(xml);
        const ImportResult fast = interchange::importKeePassXml(xml);
        const interchange::EncodedImport encoded =
            interchange::importEncoded(xml, interchange::Format::KeePassXml);
        QStringList slowKept, fastKept;
        for (const interchange::NotKept& n : slow.notKept)
            slowKept << n.counted();
        for (const interchange::NotKept& n : fast.notKept)
            fastKept << n.counted();
        if (fast.error != slow.error || fast.line != slow.line || encoded.error != slow.error)
            return ::testing::AssertionFailure()
                   << "quick: \"" << fast.error.toStdString() << "\", Qt's: \""
                   << slow.error.toStdString() << "\"";
        if (fast.entries != slow.entries || !linesOfEntries(encoded.entries, slow.entries))
            return ::testing::AssertionFailure()
                   << "other entries: " << ::testing::PrintToString(fast.entries) << " and "
                   << ::testing::PrintToString(slow.entries);
        if (fast.dropped != slow.dropped || encoded.dropped != slow.dropped ||
            fastKept != slowKept || fast.skippedEmpty != slow.skippedEmpty ||
            fast.skippedHistory != slow.skippedHistory ||
            fast.skippedRecycled != slow.skippedRecycled)
            return ::testing::AssertionFailure() << "other reports";
        return ::testing::AssertionSuccess();
    };
    // A file with one defect each, or one thing that looks like one, of
    // those the random changes below come upon only now and then.
    const auto value = [](const QByteArray& text, const QByteArray& attributes = {}) {
        return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<KeePassFile><Root><Group><Entry>\n"
               "<String><Key>Password</Key><Value" +
               attributes + ">" + text +
               "</Value></String>\n</Entry></Group></Root></KeePassFile>\n";
    };
    const QByteArray defects[] = {
        value("p", " Protected=\"Fa<lse\""),                // < in an attribute value
        value("a\rb"),                                      // a lone CR in a value
        value("aaaaaaaaaaaaaaa\r\r\nbbbbbbbbbbbbbbbbbb\r"), // CRs across sixteen bytes
        value("a]]>b"),                                     // ]]> in text
        value("p", " Protected=\"&amp;\""),                 // an entity in an attribute
        value("p", " Protected=\"True\r\""),                // a CR in an attribute value
        value("a&b"),                                       // a lone &
        value("&#0;"),                                      // a reference to no character
        value("aaaaaaaaaaaaaaa\xEF\xBF\xBE"
              "b"),                                           // U+FFFE across sixteen bytes
        value("p", " Protected=\"True\" Protected=\"True\""), // an attribute twice
        value("\xC3\xA9\xC3"),                                // UTF-8 cut short
        "<?xml version=\"1.0\" encoding=\"UTF-8\"?><KeePassFile/>\rx", // text after the root
    };
    for (const QByteArray& xml : defects)
        EXPECT_TRUE(agree(xml)) << xml.toStdString();

    int quick = 0;
    for (int round = 0; round < 1500; ++round) {
        QByteArray xml = files[static_cast<size_t>(pick(0, int(files.size()) - 1))];
        for (int n = pick(0, 3); n > 0; --n) {
            const qsizetype at = pick(0, int(xml.size()));
            switch (pick(0, 3)) {
            case 0:
                xml.truncate(at);
                break;
            case 1:
                xml.remove(at, pick(1, 8));
                break;
            default:
                xml.insert(at, pieces[pick(0, std::size(pieces) - 1)].toByteArray());
            }
        }
        SCOPED_TRACE(xml.toStdString());
        ASSERT_TRUE(agree(xml));
        quick += interchange::importKeePassXmlWithQt(xml).ok() ? 1 : 0;
    }
    // Both kinds of file came up.
    EXPECT_GT(quick, 100);
    EXPECT_LT(quick, 1400);
}

// Export from the vault looks at short lines sixteen bytes at a time and at
// long ones field by field: lines of every length across those bounds, with
// fields empty at either end and care needed at either end, export as the
// entries do.
TEST(Interchange, EveryLineLengthExportsFromTheVaultAsFromEntries) {
    std::vector<Entry> entries;
    for (int length = 0; length <= 140; ++length) {
        for (const QString& odd : {QString(), u(","), u("\xC3\xA9"), u("\"")}) {
            const QString text = QString(length, QLatin1Char('x'));
            entries.push_back({text + odd, {}, {}});
            entries.push_back({{}, odd + text, {}});
            entries.push_back({{}, {}, text + odd});
            entries.push_back({odd, text.left(length / 2), text.mid(length / 2) + odd});
        }
    }
    const EntryStore store =
        EntryStore::fromFile(vaultformat::savedFile(QStringLiteral("m"), entries));
    for (const Way& way : everyWay())
        EXPECT_EQ(way.fromStore(store).bytes, way.fromEntries(entries).bytes) << way.name;
}

// What export writes in each layout, against a file per layout
// (data/interchange/export) written out by hand from the manager's
// documented columns, as it comes from the entries and from the vault.
// Browsers pass over entries whose location is not a web address; cells a
// spreadsheet would run as a formula are counted, and guarded when asked.
TEST(Interchange, ExportWritesEachLayoutAsItsFileShowsIt) {
    const std::vector<Entry> entries = {
        {u("anna"), u(" pa,ss\"word "), u("https://Mail.Example.com/login")},
        {u("b\xC3\xB8"), u("x\r\ny"), u("Home router")},
        {u("carla"), u("-starts-as-a-formula"), u("http://intranet.example:8080/")},
        {u("=1+1"), u("p"), {}},
        {{}, u("only a password"), u("ftp://files.example/")},
    };
    // Chrome takes only http, https and apps' android:// addresses;
    // Firefox any address with a scheme and a host.
    const auto notWeb = [](Layout layout) {
        return layout == Layout::Chrome    ? std::vector<size_t>{1, 3, 4}
               : layout == Layout::Firefox ? std::vector<size_t>{1, 3}
                                           : std::vector<size_t>{};
    };
    const struct {
        Layout layout;
        interchange::Cells cells;
        const char* file;
    } cases[] = {
        {Layout::Keynook, interchange::Cells::Exact, "keynook.csv"},
        {Layout::Keynook, interchange::Cells::SpreadsheetSafe, "keynook-spreadsheet-safe.csv"},
        {Layout::Chrome, interchange::Cells::Exact, "chrome.csv"},
        {Layout::Firefox, interchange::Cells::Exact, "firefox.csv"},
        {Layout::KeePassXC, interchange::Cells::Exact, "keepassxc.csv"},
        {Layout::Bitwarden, interchange::Cells::Exact, "bitwarden.csv"},
        {Layout::LastPass, interchange::Cells::Exact, "lastpass.csv"},
        {Layout::OnePassword, interchange::Cells::Exact, "1password.csv"},
    };
    const EntryStore store =
        EntryStore::fromFile(vaultformat::savedFile(QStringLiteral("m"), entries));
    for (const auto& c : cases) {
        SCOPED_TRACE(c.file);
        const QByteArray expected = dataFile(QStringLiteral("export/") + QLatin1String(c.file));
        for (const ExportResult& r : {interchange::exportCsv(entries, c.layout, c.cells),
                                      interchange::exportCsv(store, c.layout, c.cells)}) {
            EXPECT_EQ(r.bytes, expected);
            EXPECT_EQ(r.formulaCells, 2);
            EXPECT_EQ(r.notWebAddresses, notWeb(c.layout));
            std::vector<size_t> passedOver;
            for (const interchange::PassedOver& p : r.passedOver)
                passedOver.push_back(p.entry);
            EXPECT_EQ(passedOver, notWeb(c.layout));
        }
    }
    // What each browser's import passes over, and the rule it says; an
    // empty rule for what it takes. Addresses that a strict reading of the
    // standard refuses, and browsers take, are taken.
    const struct {
        const char* location;
        const char* password;
        const char* chrome;
        const char* firefox;
    } rules[] = {
        {"https://example.com/a b|c{d}", "p", "", ""},
        {"https://host_name.example/", "p", "", ""},
        {"HTTPS://Example.COM:8443", "p", "", ""},
        {"https://\xE4\xBE\x8B\xE3\x81\x88.jp/", "p", "", ""},
        {"  https://example.com/  ", "p", "", ""},
        {"https:example.com", "p", "", ""},
        {"android://aGFzaA==@com.example.app/", "p", "", ""},
        {"android://aGFzaA@com.example.app", "p", "", ""},
        {"android://com.example.app/", "p", "android://", ""},
        {"ftp://files.example/", "p", "http, https", ""},
        {"mailto:anna@example.com", "p", "http, https", ""},
        {"", "p", "no location", "no location"},
        {"Home router", "p", "scheme", "scheme"},
        {"example.com", "p", "scheme", "scheme"},
        {"https://exa mple.com/", "p", "host", "host"},
        {"https://", "p", "host", "host"},
        {"https://1.2.3.999/", "p", "host", "host"},
        {"https://example.com:99999/", "p", "port", "port"},
        {"https://example.com/", "", "no password", "no password"},
        {"https://example.com/", "p\x01", "", ""},
    };
    for (const auto& rule : rules) {
        SCOPED_TRACE(rule.location);
        const std::vector<Entry> one = {{u("anna"), u(rule.password), u(rule.location)}};
        for (const Layout layout : {Layout::Chrome, Layout::Firefox}) {
            const ExportResult r = interchange::exportCsv(one, layout);
            const char* const expected = layout == Layout::Chrome ? rule.chrome : rule.firefox;
            ASSERT_EQ(r.passedOver.size(), *expected ? 1u : 0u)
                << interchange::layoutName(layout).toStdString() << ": "
                << (r.passedOver.empty() ? "" : r.passedOver.front().rule.toStdString());
            if (*expected) {
                EXPECT_TRUE(r.passedOver.front().rule.contains(QLatin1String(expected)))
                    << r.passedOver.front().rule.toStdString();
            }
        }
    }
    const std::vector<Entry> longOnes = {
        {QString(1001, u'u'), u("p"), u("https://example.com/")},
        {u("u"), QString(1001, u'p'), u("https://example.com/")},
        {u("u"), u("p"), u("https://example.com/") + QString(2048, u'x')}};
    const ExportResult tooLong = interchange::exportCsv(longOnes, Layout::Chrome);
    ASSERT_EQ(tooLong.passedOver.size(), 3u);
    EXPECT_TRUE(tooLong.passedOver[0].rule.contains(u("username")))
        << tooLong.passedOver[0].rule.toStdString();
    EXPECT_TRUE(tooLong.passedOver[1].rule.contains(u("password")))
        << tooLong.passedOver[1].rule.toStdString();
    EXPECT_TRUE(tooLong.passedOver[2].rule.contains(u("2048")))
        << tooLong.passedOver[2].rule.toStdString();
    EXPECT_EQ(tooLong.notWebAddresses, std::vector<size_t>{2});
    EXPECT_TRUE(interchange::exportCsv(longOnes, Layout::Firefox).passedOver.empty());
    EXPECT_EQ(
        interchange::exportJson(std::vector<Entry>(entries.begin(), entries.begin() + 2)).bytes,
        QByteArray("[\n"
                   "{\"username\":\"anna\",\"password\":\" pa,ss\\\"word \","
                   "\"location\":\"https://Mail.Example.com/login\"},\n"
                   "{\"username\":\"b\xC3\xB8\",\"password\":\"x\\r\\ny\","
                   "\"location\":\"Home router\"}\n"
                   "]\n"));
    EXPECT_EQ(interchange::exportJson(std::vector<Entry>{}).bytes, QByteArray("[\n]\n"));
    // KeePass XML: a CR as a character reference, which XML readers keep.
    EXPECT_EQ(interchange::exportKeePassXml(entries, kStamp).bytes,
              dataFile(u("export/keepass.xml")));
    EXPECT_EQ(interchange::exportKeePassXml(store, kStamp).bytes,
              dataFile(u("export/keepass.xml")));
    EXPECT_EQ(interchange::exportKeePassXml({{u("a"), u("b\x01"), {}}}).error,
              u("entry 1: the password holds a control character (U+0001), which XML 1.0 cannot "
                "hold: export as CSV or JSON instead"));
    // U+0000 and the other control characters survive JSON as escapes.
    const QString controls = QString(QChar(0)) + QChar(0x1F) + QChar(0x7F);
    const ImportResult back =
        interchange::importJson(interchange::exportJson({{controls, u("\\"), u("/")}}).bytes);
    ASSERT_TRUE(back.ok());
    EXPECT_EQ(back.entries, (std::vector<Entry>{{controls, u("\\"), u("/")}}));
    // U+FEFF may start a field: it is a byte order mark only at the start of
    // a file.
    const QString feff(QChar(0xFEFF));
    const std::vector<Entry> marked = {{feff + u("u"), feff, u("l") + feff}};
    for (const Way& way : everyWay())
        EXPECT_EQ(interchange::importAny(way.fromEntries(marked).bytes).entries, marked)
            << way.name;
}

// Text UTF-8 cannot hold is refused on the way out, naming the entry and the
// field, whichever way it leaves; and refused on the way in.
TEST(Interchange, LoneSurrogatesAreRefusedNotAltered) {
    const std::vector<Entry> entries = {{u("a"), u("b"), u("c")},
                                        {u("a"), u("b"), QString(QChar(0xDC00)) + u("://x")}};
    const EntryStore store =
        EntryStore::fromFile(vaultformat::savedFile(QStringLiteral("m"), entries));
    for (const Way& way : everyWay()) {
        for (const ExportResult& r : {way.fromEntries(entries), way.fromStore(store)}) {
            EXPECT_FALSE(r.ok());
            EXPECT_TRUE(r.bytes.isEmpty());
            EXPECT_TRUE(r.error.startsWith(u("entry 2: the location"))) << r.error.toStdString();
        }
    }
    const ImportResult in = interchange::importAny(
        "[{\"username\":\"a\",\"password\":\"b\",\"location\":\"c\"},\n"
        " {\"username\":\"\\ud83d\\ude00\",\"password\":\"\\ud800x\",\"location\":\"\"}]");
    EXPECT_FALSE(in.ok());
    EXPECT_EQ(in.item, 1);
    EXPECT_TRUE(in.entries.empty());
}

// Each malformed file is refused as a whole, with the line (or JSON item)
// where the problem is.
TEST(Interchange, MalformedFilesAreRefusedWithTheirPlace) {
    const QByteArray header = "username,password,location\r\n";
    const struct {
        const char* what;
        QByteArray bytes;
        int line;
        qsizetype item;
        // What the refusal says the file is, where that is known.
        const char* says = nullptr;
        // Text of a value the refusal must not quote.
        const char* hides = nullptr;
    } cases[] = {
        {"empty file", "", 1, -1},
        {"blank lines only", "\r\n\n\r", 1, -1},
        {"unknown header", "user,password,location\r\na,b,c\r\n", 1, -1, "nearest to"},
        {"a column no version has", "username,password,location,notes\r\n", 1, -1, "\"notes\""},
        {"chrome header grown too far", "name,url,username,password,note,x\n", 1, -1},
        {"a column misspelt", "url,username,pasword\nhttps://x.example,a,b\n", 1, -1,
         "nearest to the layout of Firefox"},
        {"semicolons between the columns", "url;username;password\r\nhttps://x.example;a;b\r\n", 1,
         -1, "semicolons"},
        {"semicolons between quoted columns",
         "\"url\";\"username\";\"password\"\r\n\"https://x.example\";\"a\";\"b\"\r\n", 1, -1,
         "semicolons"},
        {"keepassxc header without its title", "Group,Username,Password,URL,Notes\n", 1, -1},
        {"a column named twice", "url,username,password,URL\n", 1, -1, "\"URL\" twice"},
        {"unknown header after blank lines", "\n\r\nfoo,bar\n", 3, -1},
        {"fewer fields", header + "a,b\r\n", 2, -1},
        {"more fields", header + "a,b,c\r\na,b,c,d\r\n", 3, -1},
        {"one field on a line", header + "a,b,c\r\nx\r\n", 3, -1},
        {"quote never closed", header + "a,b,c\r\n\"x,\r\ny,z\r\n", 3, -1},
        {"quote inside a plain field", header + "a,b\"c,d\n", 2, -1},
        {"text after a closing quote", header + "\"a\"b,c,d\n", 2, -1},
        {"space after a closing quote", header + "a,\"b\" ,c\n", 2, -1},
        {"space after a quoted field of two lines", header + "\"a\r\nb\" ,c,d\n", 2, -1},
        {"a quote left open takes in lines", header + "a,\"b,c\nd,e,f\ng,\"h,i\n", 2, -1},
        {"a record after a field of three lines", header + "\"a\nb\nc\",d,e\nx,y\n", 5, -1},
        {"fields past the cap", header + QByteArray(1200, ','), 2, -1},
        {"byte FF", header + "a,b,c\nx,\xFF,z\n", 3, -1},
        {"overlong slash", header + "x,\xC0\xAF,z\n", 2, -1},
        {"encoded surrogate", header + "x,\xED\xA0\x80,z\n", 2, -1},
        {"past U+10FFFF", header + "x,\xF4\x90\x80\x80,z\n", 2, -1},
        {"stray continuation byte", header + "x,\x80,z\n", 2, -1},
        {"sequence cut short at the end", header + "x,y,\xE2\x82", 2, -1},
        {"bad byte after lone CR line ends", "username,password,location\ra,b,c\rx,\xFF,z", 3, -1},
        {"bad byte in a quoted field", header + "\"a\r\n\xFF\",b,c\n", 3, -1},
        {"bad byte in a header", "user\xFFname,password,location\n", 1, -1},
        {"byte order mark, then a short record", "\xEF\xBB\xBF" + header + "a\r\n", 2, -1},
        {"bitwarden: a note with too few fields",
         "folder,favorite,type,name,notes,fields,reprompt,login_uri,login_username,"
         "login_password,login_totp\n,,note,n,x\n",
         2, -1},
        {"not JSON", "[\n{\"username\": }\n]", 2, -1},
        {"JSON, not UTF-8", "[\n\"\xFF\"]", 2, -1},
        {"JSON with more after the array", "[]\n\nx", 3, -1},
        {"JSON item not an object", "[1]", 0, 0},
        {"JSON item without a key",
         "[{\"username\":\"a\",\"password\":\"b\",\"location\":\"c\"},"
         "{\"username\":\"a\",\"password\":\"b\"}]",
         0, 1},
        {"JSON number for a string", "[{\"username\":1,\"password\":\"b\",\"location\":\"c\"}]", 0,
         0},
        {"JSON null for a string", "[{\"username\":\"\",\"password\":null,\"location\":\"c\"}]", 0,
         0},
        {"JSON string left open",
         "[\n{\"username\":\"abc,\n\"password\":\"x\",\"location\":\"y\"}]", 2, -1},
        {"JSON string with a tab", "[{\"username\":\"a\tb\",\"password\":\"\",\"location\":\"\"}]",
         1, -1},
        {"JSON string to the end", "[\n\n{\"username\":\"abc", 3, -1, "never ends"},
        {"XML", "<?xml version=\"1.0\"?>\n<!-- x -->\n<passwords/>", 0, -1, "XML, but not KeePass"},
        {"KeePass XML cut short", "\xEF\xBB\xBF<?xml version=\"1.0\"?>\n<KeePassFile>\n<Root>", 3,
         -1, "not well-formed XML"},
        {"KeePass XML, tags crossed", "<KeePassFile><Root>\n<Group><Entry>\n</Group></Entry>", 3,
         -1, "not well-formed XML"},
        {"KeePass XML, a value held encrypted",
         "<KeePassFile><Root><Group><Entry>\n<String><Key>Password</Key>\n"
         "<Value Protected=\"True\">c2VjcmV0</Value></String></Entry></Group></Root></KeePassFile>",
         3, -1, "\"Password\" is encrypted (Protected=\"True\")"},
        {"KeePass XML, a control character", "<KeePassFile>\n<Meta>&#1;</Meta></KeePassFile>", 2,
         -1, "not well-formed XML"},
        {"KeePass XML, an undeclared entity in a value",
         "<KeePassFile><Root><Group><Entry>\n<String><Key>Password</Key>"
         "<Value>pw&MySecretPart;</Value></String></Entry></Group></Root></KeePassFile>",
         2, -1, "entity", "MySecretPart"},
        {"KeePass XML, an & alone in a value",
         "<KeePassFile><Root><Group><Entry>\n\n<String><Key>Password</Key>"
         "<Value>pw&Secret!x</Value></String></Entry></Group></Root></KeePassFile>",
         3, -1, "not well-formed XML", "!"},
        {"Bitwarden encrypted", "{\"encrypted\": true, \"data\": \"2.x\"}", 0, -1,
         "Bitwarden encrypted export, which only the Bitwarden account"},
        {"Bitwarden password-protected",
         "{\"encrypted\": true, \"passwordProtected\": true, \"data\": \"2.x\"}", 0, -1,
         "password-protected Bitwarden encrypted export"},
        {"Bitwarden item not an object", "{\"encrypted\": false, \"items\": [1]}", 0, 0,
         "not an object"},
        {"Bitwarden username a number",
         "{\"items\": [{\"type\": 2}, {\"type\": 1, \"login\": {\"username\": 7}}]}", 0, 1,
         "\"login.username\" is not a string"},
        {"Bitwarden, not JSON", "{\"items\": [\n{\"type\": 1,,}]}", 2, -1, "not JSON"},
        {"JSON object", "{\"entries\": []}", 0, -1, "JSON object"},
        {"KeePass database", "\x03\xD9\xA2\x9A\x67\xFB\x4B\xB5", 0, -1, "KeePass database"},
        {"ZIP archive", "PK\x03\x04\x14\x00", 0, -1, "ZIP archive"},
    };
    for (const auto& c : cases) {
        const ImportResult r = interchange::importAny(c.bytes);
        EXPECT_FALSE(r.ok()) << c.what;
        EXPECT_TRUE(r.entries.empty()) << c.what;
        EXPECT_EQ(r.line, c.line) << c.what << ": " << r.error.toStdString();
        EXPECT_EQ(r.item, c.item) << c.what << ": " << r.error.toStdString();
        if (c.says) {
            EXPECT_TRUE(r.error.contains(QLatin1String(c.says))) << r.error.toStdString();
        }
        if (c.hides) {
            EXPECT_FALSE(r.error.contains(QLatin1String(c.hides))) << r.error.toStdString();
        }
        if (c.line > 0) {
            EXPECT_TRUE(r.error.startsWith(QStringLiteral("line %1: ").arg(c.line)))
                << c.what << ": " << r.error.toStdString();
        }
    }
    // JSON that is not an array, told apart only when JSON is asked for.
    for (const QByteArray& notArray : {QByteArray("{}"), QByteArray(" \"text\" ")}) {
        const ImportResult r = interchange::importJson(notArray);
        EXPECT_FALSE(r.ok()) << notArray.constData();
    }
    EXPECT_TRUE(interchange::importAny("a,b,c\n").error.contains(u("name,url,username,password")));
    EXPECT_FALSE(interchange::importAny(QByteArray(1, '\0')).ok());
}

// A file as each manager writes it (data/interchange/import, written from
// the manager's documented columns): told apart, read as the entries its
// .expected.json holds, with what is not kept counted column by column.
// Into an empty vault, records that repeat an earlier one are added too, and
// told apart by whether they differ in what is not kept; imported again, the
// file adds nothing.
TEST(Interchange, EachManagersFileReadsAsItsExpectedEntries) {
    const struct {
        const char* file;
        Format format;
        Layout layout;
        const char* notKept;
        qsizetype skippedEmpty, skippedNotLogins, repeated, repeatedButForNotKept;
        // KeePass XML: older versions of entries, entries in the recycle bin.
        qsizetype skippedHistory = 0, skippedRecycled = 0;
    } cases[] = {
        {"keynook.csv", Format::Csv, Layout::Keynook, "", 1, 0, 1, 0},
        {"keynook-reordered.csv", Format::Csv, Layout::Keynook, "", 0, 0, 0, 0},
        {"chrome.csv", Format::Csv, Layout::Chrome, "1 note", 1, 0, 0, 0},
        {"firefox.csv", Format::Csv, Layout::Firefox, "1 HTTP realm, 1 form address", 0, 0, 0, 0},
        {"keepassxc.csv", Format::Csv, Layout::KeePassXC,
         "2 groups, 2 titles, 2 notes, 1 TOTP secret, 1 icon", 1, 0, 0, 1},
        {"bitwarden.csv", Format::Csv, Layout::Bitwarden,
         "1 folder, 1 favourite mark, 3 titles, 1 note, 1 entry's custom fields, 1 master "
         "password re-prompt, 1 TOTP secret",
         0, 1, 0, 0},
        {"lastpass.csv", Format::Csv, Layout::LastPass,
         "1 TOTP secret, 1 note, 2 titles, 1 group, 1 favourite mark", 1, 1, 0, 0},
        {"1password.csv", Format::Csv, Layout::OnePassword,
         "2 titles, 1 TOTP secret, 1 favourite mark, 1 archive mark, 1 entry's tags, 1 note", 0, 0,
         0, 0},
        {"keepass.xml", Format::KeePassXml, Layout::Keynook,
         "2 groups, 3 titles, 3 notes, 1 TOTP secret, 1 entry's custom fields, 1 entry's "
         "attachments, 1 entry's tags, 1 icon",
         1, 0, 0, 1, 1, 1},
        {"bitwarden-export.json", Format::BitwardenJson, Layout::Keynook,
         "1 folder, 1 favourite mark, 3 titles, 1 note, 1 entry's custom fields, 1 master "
         "password re-prompt, 1 TOTP secret, 1 further URI, 1 entry's password history",
         0, 2, 0, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.file);
        const QString name = QStringLiteral("import/") + QLatin1String(c.file);
        const QByteArray bytes = dataFile(name);
        const ImportResult expected = interchange::importJson(
            dataFile(name.left(name.lastIndexOf(u'.')) + QStringLiteral(".expected.json")));
        ASSERT_TRUE(expected.ok()) << expected.error.toStdString();
        const interchange::Detection d = interchange::detect(bytes);
        EXPECT_TRUE(d.ok()) << d.error.toStdString();
        EXPECT_EQ(d.format, c.format);
        EXPECT_EQ(d.layout, c.layout);
        const ImportResult r = interchange::importAny(bytes);
        ASSERT_TRUE(r.ok()) << r.error.toStdString();
        EXPECT_EQ(r.format, c.format);
        EXPECT_EQ(r.layout, c.layout);
        EXPECT_EQ(r.entries, expected.entries);
        QStringList notKept;
        for (const interchange::NotKept& n : r.notKept)
            notKept << n.counted();
        EXPECT_EQ(notKept.join(u(", ")).toStdString(), c.notKept);
        EXPECT_EQ(r.skippedEmpty, c.skippedEmpty);
        EXPECT_EQ(r.skippedNotLogins, c.skippedNotLogins);
        EXPECT_EQ(r.skippedHistory, c.skippedHistory);
        EXPECT_EQ(r.skippedRecycled, c.skippedRecycled);

        EntryStore vault;
        interchange::EncodedImport in = interchange::importEncoded(bytes);
        const interchange::Addition plan = interchange::planAddition(vault, in);
        EXPECT_EQ(plan.added, qsizetype(expected.entries.size()));
        EXPECT_EQ(plan.repeated, c.repeated);
        EXPECT_EQ(plan.repeatedButForNotKept, c.repeatedButForNotKept);
        interchange::add(vault, std::move(in.entries), plan);
        const interchange::EncodedImport again = interchange::importEncoded(bytes);
        const qsizetype held =
            std::count_if(again.dropped.begin(), again.dropped.end(), [](auto h) { return h; });
        const interchange::Addition twice = interchange::planAddition(vault, again);
        EXPECT_EQ(twice.added, 0);
        EXPECT_EQ(twice.inVaultButForNotKept, held);
        EXPECT_EQ(twice.inVault, qsizetype(expected.entries.size()) - held);
    }
    const QByteArray json = "\xEF\xBB\xBF \r\n\t[{\"location\":\"l\",\"extra\":[1,{}],"
                            "\"password\":\"p\",\"username\":\"u\"},\n"
                            "{\"username\":\"\",\"password\":\"\",\"location\":\"\"}]";
    EXPECT_EQ(interchange::detect(json).format, Format::Json);
    const ImportResult r = interchange::importAny(json);
    ASSERT_TRUE(r.ok()) << r.error.toStdString();
    EXPECT_EQ(r.format, Format::Json);
    EXPECT_EQ(r.entries, (std::vector<Entry>{{u("u"), u("p"), u("l")}}));
    EXPECT_EQ(r.skippedEmpty, 1);
    ASSERT_EQ(r.notKept.size(), 1u);
    EXPECT_EQ(r.notKept.front().counted(), u("1 value of \"extra\""));

    for (const interchange::LayoutTable& table : interchange::layouts())
        EXPECT_EQ(interchange::layoutNamed(interchange::layoutName(table.layout)), table.layout);
    EXPECT_EQ(interchange::layoutNamed(u("Chrome")), std::nullopt);
}

namespace {

// "2 notes, 1 title": what a report counts as not kept, in its order.
std::string countedNotKept(const interchange::ImportReport& r) {
    QStringList parts;
    for (const interchange::NotKept& n : r.notKept)
        parts << n.counted();
    return parts.join(u(", ")).toStdString();
}

// What a report counts as skipped whole, in the order the command line
// tells it.
std::string countedSkipped(const interchange::ImportReport& r) {
    QStringList parts;
    qsizetype kinds = 0;
    for (const interchange::SkippedKind& k : r.notLogins) {
        parts << k.counted();
        kinds += k.items;
    }
    EXPECT_EQ(kinds, r.skippedNotLogins);
    if (r.skippedHistory > 0)
        parts << QStringLiteral("%1 older versions").arg(r.skippedHistory);
    if (r.skippedRecycled > 0)
        parts << QStringLiteral("%1 recycled").arg(r.skippedRecycled);
    return parts.join(u(", ")).toStdString();
}

} // namespace

// Small files, each written from its manager's documented format to hold
// one thing an import must get right: the entries it reads as, what the
// report counts as not kept and as skipped whole, which --strict refuses,
// and the same from the import into a vault.
TEST(Interchange, SmallFilesReadAsTheirRowsSay) {
    const QByteArray chrome = "name,url,username,password\n";
    // KeePass XML as KeePassXC exports it, cut down to what matters here.
    const auto keepass = [](const QByteArray& entries) {
        return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<KeePassFile>\n<Root>\n<Group>\n"
               "<UUID>WlGgbUQ9SBmxxqL2pucV+g==</UUID>\n<Name>Root</Name>\n" +
               entries + "</Group>\n</Root>\n</KeePassFile>\n";
    };
    const auto entry = [](const char* uuid, const char* title, const char* username,
                          const char* password, const char* url) {
        QByteArray e = "<Entry>\n<UUID>" + QByteArray(uuid) + "</UUID>\n";
        const char* const keys[] = {"Title", "UserName", "Password", "URL"};
        const char* const values[] = {title, username, password, url};
        for (int k = 0; k < 4; ++k)
            e += "<String><Key>" + QByteArray(keys[k]) + "</Key><Value>" + values[k] +
                 "</Value></String>\n";
        return e + "</Entry>\n";
    };
    const QByteArray mail =
        entry("AAAAAAAAAAAAAAAAAAAAAQ==", "mail.example", "anna", "s3cret", "https://mail.example");
    const QByteArray bitwarden = "folder,favorite,type,name,notes,fields,reprompt,login_uri,"
                                 "login_username,login_password,login_totp\n";
    const QByteArray keepassxc =
        "\"Group\",\"Title\",\"Username\",\"Password\",\"URL\",\"Notes\"\n"
        "\"Root\",\"mail.example\",\"anna\",\"s3cret\",\"https://mail.example\",\"\"\n";
    const struct {
        const char* what;
        QByteArray bytes;
        std::vector<Entry> entries;
        const char* notKept = "";
        const char* skipped = "";
        qsizetype guarded = 0;
    } rows[] = {
        {"titles that the address spells out: its host, without www., the whole address",
         chrome + "www.mybanking.example,https://www.mybanking.example/,a,p\n"
                  "MyBanking.example,https://www.mybanking.example/,b,p\n"
                  "HTTPS://WWW.MYBANKING.EXAMPLE/,https://www.mybanking.example/,c,p\n",
         {{u("a"), u("p"), u("https://www.mybanking.example/")},
          {u("b"), u("p"), u("https://www.mybanking.example/")},
          {u("c"), u("p"), u("https://www.mybanking.example/")}}},
        {"a title that is only part of the host",
         chrome + "Bank,https://www.mybanking.example,a,p\n",
         {{u("a"), u("p"), u("https://www.mybanking.example")}},
         "1 title"},
        {"a title of one letter of the address",
         chrome + "t,https://site.example,a,p\n",
         {{u("a"), u("p"), u("https://site.example")}},
         "1 title"},
        {"a title that is part of a host without a scheme",
         chrome + "Mail,webmail.example,a,p\n",
         {{u("a"), u("p"), u("webmail.example")}},
         "1 title"},
        {"a title that is the scheme of an app's address",
         chrome + "Android,android://aGFzaA==@com.example.app/,a,p\n",
         {{u("a"), u("p"), u("android://aGFzaA==@com.example.app/")}},
         "1 title"},
        {"a clone's references to its original by identity, as KeePassXC makes them",
         keepass(mail + entry("AAAAAAAAAAAAAAAAAAAAAg==", "mail.example",
                              "{REF:U@I:00000000000000000000000000000001}",
                              "{REF:P@I:00000000000000000000000000000001}",
                              "https://mail.example")),
         {{u("anna"), u("s3cret"), u("https://mail.example")},
          {u("anna"), u("s3cret"), u("https://mail.example")}}},
        {"references by title, username and URL, in a text, in any case, and to a reference",
         keepass(entry("AAAAAAAAAAAAAAAAAAAAAw==", "", "{REF:U@A:MAIL.EXAMPLE}",
                       "{ref:p@t:mail.ex}", "https://x.example/?u={REF:U@T:Mail.exa}") +
                 mail +
                 entry("AAAAAAAAAAAAAAAAAAAABA==", "", "b",
                       "{REF:P@I:00000000000000000000000000000003}", "https://y.example")),
         {{u("anna"), u("s3cret"), u("https://x.example/?u=anna")},
          {u("anna"), u("s3cret"), u("https://mail.example")},
          {u("b"), u("s3cret"), u("https://y.example")}}},
        {"a reference to no entry of the file stays as it is, counted",
         keepass(mail + entry("AAAAAAAAAAAAAAAAAAAAAg==", "", "anna",
                              "{REF:P@I:00000000000000000000000000000009}",
                              "https://mail.example")),
         {{u("anna"), u("s3cret"), u("https://mail.example")},
          {u("anna"), u("{REF:P@I:00000000000000000000000000000009}"), u("https://mail.example")}},
         "1 unresolved field reference"},
        {"KeePassXC's CSV: references by title resolve, by identity they cannot",
         keepassxc +
             "\"Root\",\"\",\"{REF:U@T:mail.example}\",\"{REF:P@T:mail.example}\","
             "\"https://mail.example\",\"\"\n"
             "\"Root\",\"\",\"{REF:U@I:00000000000000000000000000000001}\","
             "\"{REF:P@I:00000000000000000000000000000001}\",\"https://mail.example\",\"\"\n",
         {{u("anna"), u("s3cret"), u("https://mail.example")},
          {u("anna"), u("s3cret"), u("https://mail.example")},
          {u("{REF:U@I:00000000000000000000000000000001}"),
           u("{REF:P@I:00000000000000000000000000000001}"), u("https://mail.example")}},
         "2 unresolved field references"},
        {"Bitwarden's CSV: several URIs in one cell, the first kept",
         bitwarden +
             ",,login,one.example,,,0,\"https://one.example,https://two.example\",anna,pw,\n"
             ",,login,three.example,,,0,\"https://three.example, \"\"https://four.example\"\"\","
             "bob,pw,\n",
         {{u("anna"), u("pw"), u("https://one.example")},
          {u("bob"), u("pw"), u("https://three.example")}},
         "2 further URIs"},
        {"Bitwarden's JSON of the same vault",
         "{\"encrypted\": false, \"items\": [\n"
         "{\"type\": 1, \"name\": \"one.example\", \"login\": {\"username\": \"anna\", "
         "\"password\": \"pw\", \"uris\": [{\"match\": null, \"uri\": \"https://one.example\"}, "
         "{\"match\": null, \"uri\": \"https://two.example\"}]}},\n"
         "{\"type\": 1, \"name\": \"three.example\", \"login\": {\"username\": \"bob\", "
         "\"password\": \"pw\", \"uris\": [{\"match\": null, \"uri\": \"https://three.example\"}, "
         "{\"match\": null, \"uri\": \"https://four.example\"}]}}]}",
         {{u("anna"), u("pw"), u("https://one.example")},
          {u("bob"), u("pw"), u("https://three.example")}},
         "2 further URIs"},
        {"KeePassXC's CSV: the recycle bin and the groups in it are skipped",
         keepassxc +
             "\"Root/Recycle Bin\",\"old.example\",\"anna\",\"gone\",\"https://old.example\","
             "\"a note\"\n"
             "\"Root/Recycle Bin/Shops\",\"\",\"anna\",\"gone\",\"\",\"\"\n"
             "\"Root/Work/Recycle Bin\",\"\",\"bob\",\"pw\",\"https://work.example\",\"\"\n",
         {{u("anna"), u("s3cret"), u("https://mail.example")},
          {u("bob"), u("pw"), u("https://work.example")}},
         "1 group",
         "2 recycled"},
        {"Bitwarden's JSON: items that are not logins, by kind; a passkey; a URI's match",
         "{\"encrypted\": false, \"items\": [\n"
         "{\"type\": 2, \"name\": \"n\", \"secureNote\": {\"type\": 0}},\n"
         "{\"type\": 3, \"name\": \"c\", \"card\": {\"number\": \"4111111111111111\"}},\n"
         "{\"type\": 4, \"name\": \"i\", \"identity\": {\"firstName\": \"Anna\"}},\n"
         "{\"type\": 5, \"name\": \"k\", \"sshKey\": {\"privateKey\": \"x\"}},\n"
         "{\"type\": 3, \"name\": \"d\", \"card\": {\"number\": \"5500000000000004\"}},\n"
         "{\"type\": 1, \"name\": \"one.example\", \"login\": {\"username\": \"anna\", "
         "\"password\": \"pw\", \"uris\": [{\"match\": 3, \"uri\": \"https://one.example\"}], "
         "\"fido2Credentials\": [{\"credentialId\": \"x\", \"rpId\": \"one.example\"}]}}]}",
         {{u("anna"), u("pw"), u("https://one.example")}},
         "1 URI match setting, 1 passkey",
         "1 secure note, 2 cards, 1 identity, 1 SSH key"},
        {"Bitwarden's CSV and LastPass's: a secure note",
         bitwarden + ",,note,My note,text,,0,,,,\n",
         {},
         "",
         "1 secure note"},
        {"LastPass's CSV: a secure note",
         "url,username,password,totp,extra,name,grouping,fav\n"
         "http://sn,,,,text,My note,,0\n",
         {},
         "",
         "1 secure note"},
        {"Firefox's identities and times are no data a user loses",
         "\"url\",\"username\",\"password\",\"httpRealm\",\"formActionOrigin\",\"guid\","
         "\"timeCreated\",\"timeLastUsed\",\"timePasswordChanged\"\n"
         "\"https://"
         "www.example.com\",\"anna\",\"pw\",,\"\",\"{5ec0a4b4-1b7e-4a8c-9d51-0c2f8e3a7b11}\","
         "\"1690000000000\",\"1690000000000\",\"1690000000000\"\n",
         {{u("anna"), u("pw"), u("https://www.example.com")}}},
        {"nor are KeePassXC's times",
         "\"Group\",\"Title\",\"Username\",\"Password\",\"URL\",\"Notes\",\"TOTP\",\"Icon\","
         "\"Last Modified\",\"Created\"\n"
         "\"Root\",\"mail.example\",\"anna\",\"pw\",\"https://mail.example\",\"\",\"\",\"0\","
         "\"2023-05-01T10:00:00Z\",\"2023-01-01T10:00:00Z\"\n",
         {{u("anna"), u("pw"), u("https://mail.example")}}},
        {"cells guarded against spreadsheets are kept as they are, and counted",
         "username,password,location\r\n'=1+1,'-pw,'@home\r\nx,'y,\r\n",
         {{u("'=1+1"), u("'-pw"), u("'@home")}, {u("x"), u("'y"), u("")}},
         "",
         "",
         3},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        const ImportResult r = interchange::importAny(row.bytes);
        ASSERT_TRUE(r.ok()) << r.error.toStdString();
        EXPECT_EQ(r.entries, row.entries);
        EXPECT_EQ(countedNotKept(r), row.notKept);
        EXPECT_EQ(countedSkipped(r), row.skipped);
        EXPECT_EQ(r.dropsAnything(), *row.notKept != '\0' || *row.skipped != '\0');
        EXPECT_EQ(r.guardedCells, row.guarded);
        const interchange::EncodedImport encoded = interchange::importEncoded(row.bytes);
        EXPECT_EQ(encoded.guardedCells, row.guarded);
        EXPECT_EQ(encoded.error, r.error);
        EXPECT_EQ(encoded.dropped, r.dropped);
        EXPECT_EQ(countedNotKept(encoded), row.notKept);
        EXPECT_TRUE(linesOfEntries(encoded.entries, row.entries));
    }
}

// An input is read up to one byte past the limit, and no further: a pipe
// that holds more keeps the rest; a regular file that is larger is not read.
TEST(Interchange, InputIsReadToItsLimitAndNoFurther) {
    constexpr qint64 kLimit = 1000;
    for (const qint64 size : {kLimit, kLimit + 100}) {
        int ends[2];
        ASSERT_EQ(::pipe(ends), 0);
        const QByteArray bytes(size, 'x');
        ASSERT_EQ(::write(ends[1], bytes.constData(), static_cast<size_t>(size)), size);
        ::close(ends[1]);
        const interchange::Input in =
            interchange::readInput(QStringLiteral("/proc/self/fd/%1").arg(ends[0]), kLimit);
        char rest[200];
        const ssize_t left = ::read(ends[0], rest, sizeof rest);
        ::close(ends[0]);
        EXPECT_EQ(in.tooLarge, size > kLimit);
        EXPECT_EQ(in.ok(), size <= kLimit);
        EXPECT_EQ(in.bytes, size > kLimit ? QByteArray() : bytes);
        EXPECT_EQ(left, size > kLimit ? size - kLimit - 1 : 0);
    }
    const interchange::Input regular =
        interchange::readInput(QStringLiteral(KEYNOOK_TEST_DATA_DIR "/interchange/import/"
                                                                    "chrome.csv"),
                               10);
    EXPECT_TRUE(regular.tooLarge);
    EXPECT_FALSE(interchange::readInput(QStringLiteral(KEYNOOK_TEST_DATA_DIR), kLimit).ok());
}
