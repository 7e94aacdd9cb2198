#include "VaultTestSupport.h"

#include "vault/EntryStore.h"
#include "interchange/Interchange.h"
#include "vault/Utf8.h"
#include "vault/VaultFormat.h"

#include <gtest/gtest.h>

#include <functional>
#include <iostream>
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
};

std::vector<Way> everyWay() {
    std::vector<Way> ways;
    for (Layout layout :
         {Layout::Keynook, Layout::Chrome, Layout::Firefox, Layout::KeePassXC, Layout::Bitwarden}) {
        ways.push_back(
            {"csv", Format::Csv, layout,
             [layout](const std::vector<Entry>& e) { return interchange::exportCsv(e, layout); },
             [layout](const EntryStore& s) { return interchange::exportCsv(s, layout); }});
    }
    ways.push_back({"json", Format::Json, Layout::Keynook,
                    [](const std::vector<Entry>& e) { return interchange::exportJson(e); },
                    [](const EntryStore& s) { return interchange::exportJson(s); }});
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

} // namespace

// Random entries (every byte of the code page, bars, CR and LF, characters
// beyond it and beyond the BMP) leave in every layout and in JSON and come
// back the same, except the entirely empty ones, which are counted instead.
// The entries as a vault file holds them export to the same bytes, and what
// came back exports to the same bytes again.
TEST(Interchange, RandomEntriesComeBackFromEveryLayoutAndJson) {
    const std::uint32_t start = testsupport::randomStartValue();
    std::cout << "random start value " << start << " (KEYNOOK_RANDOM_START)\n";
    testsupport::FieldMaker maker(start);
    std::mt19937 gen(start);
    const std::vector<Way> ways = everyWay();
    for (int round = 0; round < 300; ++round) {
        std::vector<Entry> entries(std::uniform_int_distribution<size_t>(0, 8)(gen));
        for (Entry& e : entries) {
            if (gen() % 16 == 0)
                continue; // an empty entry now and then
            auto field = [&] { return gen() % 3 == 0 ? asciiField(gen) : maker.field(); };
            e = Entry{field(), field(), field()};
        }
        std::vector<Entry> expected;
        for (const Entry& e : entries)
            if (!isEmpty(e))
                expected.push_back(e);
        const EntryStore store =
            EntryStore::fromFile(vaultformat::savedFile(QStringLiteral("master"), entries));

        for (const Way& way : ways) {
            SCOPED_TRACE(::testing::Message() << "round " << round << ", " << way.name << " "
                                              << interchange::layoutName(way.layout).toStdString());
            const ExportResult out = way.fromEntries(entries);
            ASSERT_TRUE(out.ok()) << out.error.toStdString();
            EXPECT_EQ(way.fromStore(store).bytes, out.bytes);

            const interchange::Detection detected = interchange::detect(out.bytes);
            EXPECT_EQ(detected.format, way.format);
            EXPECT_EQ(detected.layout, way.layout);
            const ImportResult in = interchange::importAny(out.bytes);
            ASSERT_TRUE(in.ok()) << in.error.toStdString();
            EXPECT_EQ(in.entries, expected);
            EXPECT_EQ(in.skippedEmpty, qsizetype(entries.size() - expected.size()));
            if (expected.size() == entries.size()) {
                EXPECT_EQ(way.fromEntries(in.entries).bytes, out.bytes);
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
        refused += in.ok() ? 0 : 1;
        EntryStore expected;
        expected.append(in.entries);
        ASSERT_EQ(encoded.entries.size(), expected.size());
        for (size_t i = 0; i < expected.size(); ++i)
            ASSERT_EQ(encoded.entries.line(i), expected.line(i)) << "entry " << i;
    }
    // Both kinds of file came up.
    EXPECT_GT(refused, 10);
    EXPECT_LT(refused, 150);
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

// What export writes, column by column, for an entry that needs quoting.
TEST(Interchange, ExportWritesEachLayoutsColumns) {
    const std::vector<Entry> entries = {
        {u("anna"), u(" pa,ss\"word "), u("https://Mail.Example.com/login")},
        {u("b\xC3\xB8"), u("x\r\ny"), u("Home router")}};
    const struct {
        Layout layout;
        QByteArray bytes;
    } cases[] = {
        {Layout::Keynook, "username,password,location\r\n"
                          "anna,\" pa,ss\"\"word \",https://Mail.Example.com/login\r\n"
                          "b\xC3\xB8,\"x\r\ny\",Home router\r\n"},
        {Layout::Chrome,
         "name,url,username,password\r\n"
         "mail.example.com,https://Mail.Example.com/login,anna,\" pa,ss\"\"word \"\r\n"
         "Home router,Home router,b\xC3\xB8,\"x\r\ny\"\r\n"},
        {Layout::Firefox, "url,username,password,httpRealm,formActionOrigin,guid,timeCreated,"
                          "timeLastUsed,timePasswordChanged\r\n"
                          "https://Mail.Example.com/login,anna,\" pa,ss\"\"word \",,,,,,\r\n"
                          "Home router,b\xC3\xB8,\"x\r\ny\",,,,,,\r\n"},
        {Layout::KeePassXC,
         "Group,Title,Username,Password,URL,Notes\r\n"
         ",mail.example.com,anna,\" pa,ss\"\"word \",https://Mail.Example.com/login,\r\n"
         ",Home router,b\xC3\xB8,\"x\r\ny\",Home router,\r\n"},
        {Layout::Bitwarden, "folder,favorite,type,name,notes,fields,reprompt,login_uri,"
                            "login_username,login_password,login_totp\r\n"
                            ",,login,mail.example.com,,,0,https://Mail.Example.com/login,anna,"
                            "\" pa,ss\"\"word \",\r\n"
                            ",,login,Home router,,,0,Home router,b\xC3\xB8,\"x\r\ny\",\r\n"},
    };
    const EntryStore store =
        EntryStore::fromFile(vaultformat::savedFile(QStringLiteral("m"), entries));
    for (const auto& c : cases) {
        EXPECT_EQ(interchange::exportCsv(entries, c.layout).bytes, c.bytes)
            << interchange::layoutName(c.layout).toStdString();
        EXPECT_EQ(interchange::exportCsv(store, c.layout).bytes, c.bytes)
            << interchange::layoutName(c.layout).toStdString();
    }
    EXPECT_EQ(interchange::exportJson(entries).bytes,
              QByteArray("[\n"
                         "{\"username\":\"anna\",\"password\":\" pa,ss\\\"word \","
                         "\"location\":\"https://Mail.Example.com/login\"},\n"
                         "{\"username\":\"b\xC3\xB8\",\"password\":\"x\\r\\ny\","
                         "\"location\":\"Home router\"}\n"
                         "]\n"));
    EXPECT_EQ(interchange::exportJson(std::vector<Entry>{}).bytes, QByteArray("[\n]\n"));
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
    } cases[] = {
        {"empty file", "", 1, -1},
        {"blank lines only", "\r\n\n\r", 1, -1},
        {"unknown header", "user,password,location\r\na,b,c\r\n", 1, -1},
        {"header in another case", "Username,Password,Location\r\n", 1, -1},
        {"extra column where no version has one", "username,password,location,notes\r\n", 1, -1},
        {"chrome header grown too far", "name,url,username,password,note,x\n", 1, -1},
        {"keepassxc header half grown", "Group,Title,Username,Password,URL,Notes,TOTP\n", 1, -1},
        {"unknown header after blank lines", "\n\r\nfoo,bar\n", 3, -1},
        {"fewer fields", header + "a,b\r\n", 2, -1},
        {"more fields", header + "a,b,c\r\na,b,c,d\r\n", 3, -1},
        {"one field on a line", header + "a,b,c\r\nx\r\n", 3, -1},
        {"quote never closed", header + "a,b,c\r\n\"x,\r\ny,z\r\n", 3, -1},
        {"quote inside a plain field", header + "a,b\"c,d\n", 2, -1},
        {"text after a closing quote", header + "\"a\"b,c,d\n", 2, -1},
        {"space after a closing quote", header + "\"a\r\nb\" ,c,d\n", 3, -1},
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
    };
    for (const auto& c : cases) {
        const ImportResult r = interchange::importAny(c.bytes);
        EXPECT_FALSE(r.ok()) << c.what;
        EXPECT_TRUE(r.entries.empty()) << c.what;
        EXPECT_EQ(r.line, c.line) << c.what << ": " << r.error.toStdString();
        EXPECT_EQ(r.item, c.item) << c.what << ": " << r.error.toStdString();
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
}

// A file as each manager writes it: read, told apart, and mapped.
TEST(Interchange, EachManagersFileIsRecognisedAndMapped) {
    const struct {
        const char* what;
        QByteArray bytes;
        Layout layout;
        std::vector<Entry> entries;
        qsizetype skippedEmpty;
        qsizetype skippedNotLogins;
    } cases[] = {
        {"keynook: byte order mark, LF, a lone CR, a blank line, no final line end",
         "\xEF\xBB\xBFusername,password,location\n"
         "anna@example.com,\"pa,ss\"\"word\",https://mail.example.com\r\r"
         "bob, secret ,Home router",
         Layout::Keynook,
         {{u("anna@example.com"), u("pa,ss\"word"), u("https://mail.example.com")},
          {u("bob"), u(" secret "), u("Home router")}},
         0,
         0},
        {"chrome",
         "name,url,username,password\r\n"
         "accounts.example.com,https://accounts.example.com/signin,anna,hunter2\r\n"
         "Example Forum,,bob,pw\r\n"
         ",,,\r\n",
         Layout::Chrome,
         {{u("anna"), u("hunter2"), u("https://accounts.example.com/signin")},
          {u("bob"), u("pw"), u("Example Forum")}},
         1,
         0},
        {"chrome with notes",
         "name,url,username,password,note\n"
         "example.org,https://example.org/,carla,\"two\nlines\",a note\n",
         Layout::Chrome,
         {{u("carla"), u("two\nlines"), u("https://example.org/")}},
         0,
         0},
        {"firefox",
         "\"url\",\"username\",\"password\",\"httpRealm\",\"formActionOrigin\",\"guid\","
         "\"timeCreated\",\"timeLastUsed\",\"timePasswordChanged\"\r\n"
         "\"https://www.example.com\",\"anna\",\"s3cr\xC3\xA9t\",,\"https://www.example.com\","
         "\"{5ec0a4b4-1b7e-4a8c-9d51-0c2f8e3a7b11}\",\"1690000000000\",\"1690000000000\","
         "\"1690000000000\"\r\n"
         "\"https://intranet.example\",\"bob\",\"pw\",\"Intranet\",,"
         "\"{0d9e7c3a-2f41-4b6e-8a90-5c1d3e7f9b22}\",\"1\",\"2\",\"3\"\r\n",
         Layout::Firefox,
         {{u("anna"), u("s3cr\xC3\xA9t"), u("https://www.example.com")},
          {u("bob"), u("pw"), u("https://intranet.example")}},
         0,
         0},
        {"keepassxc",
         "\"Group\",\"Title\",\"Username\",\"Password\",\"URL\",\"Notes\"\n"
         "\"Root\",\"Bank\",\"anna\",\"1234\",\"https://bank.example\",\"\"\n"
         "\"Root/Home\",\"Router\",\"admin\",\"admin\",\"\",\"Under the stairs\"\n",
         Layout::KeePassXC,
         {{u("anna"), u("1234"), u("https://bank.example")}, {u("admin"), u("admin"), u("Router")}},
         0,
         0},
        {"keepassxc, newer",
         "\"Group\",\"Title\",\"Username\",\"Password\",\"URL\",\"Notes\",\"TOTP\",\"Icon\","
         "\"Last Modified\",\"Created\"\n"
         "\"Root\",\"Mail\",\"anna\",\"pw\",\"https://mail.example\",\"\",\"\",\"0\","
         "\"2023-05-01T10:00:00Z\",\"2023-01-01T10:00:00Z\"\n"
         "\"Root\",\"\",\"\",\"\",\"\",\"only a note\",\"\",\"0\",\"\",\"\"\n",
         Layout::KeePassXC,
         {{u("anna"), u("pw"), u("https://mail.example")}},
         1,
         0},
        {"bitwarden",
         "folder,favorite,type,name,notes,fields,reprompt,login_uri,login_username,"
         "login_password,login_totp\n"
         ",1,login,Example,,,0,https://example.com,anna,pw,\n"
         "Personal,,note,My note,some text,,0,,,,\n"
         ",,login,Router,,\"pin: 1\",0,,admin,admin,JBSWY3DPEHPK3PXP\n",
         Layout::Bitwarden,
         {{u("anna"), u("pw"), u("https://example.com")}, {u("admin"), u("admin"), u("Router")}},
         0,
         1},
    };
    for (const auto& c : cases) {
        const interchange::Detection d = interchange::detect(c.bytes);
        EXPECT_TRUE(d.ok()) << c.what << ": " << d.error.toStdString();
        EXPECT_EQ(d.format, Format::Csv) << c.what;
        EXPECT_EQ(d.layout, c.layout) << c.what;
        const ImportResult r = interchange::importAny(c.bytes);
        ASSERT_TRUE(r.ok()) << c.what << ": " << r.error.toStdString();
        EXPECT_EQ(r.layout, c.layout) << c.what;
        EXPECT_EQ(r.entries, c.entries) << c.what;
        EXPECT_EQ(r.skippedEmpty, c.skippedEmpty) << c.what;
        EXPECT_EQ(r.skippedNotLogins, c.skippedNotLogins) << c.what;
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

    for (Layout layout :
         {Layout::Keynook, Layout::Chrome, Layout::Firefox, Layout::KeePassXC, Layout::Bitwarden})
        EXPECT_EQ(interchange::layoutNamed(interchange::layoutName(layout)), layout);
    EXPECT_EQ(interchange::layoutNamed(u("Chrome")), std::nullopt);
}
