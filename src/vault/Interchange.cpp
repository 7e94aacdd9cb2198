#include "vault/Interchange.h"

#include "vault/Ansi.h"
#include "vault/Csv.h"
#include "vault/Utf8.h"
#include "vault/VaultFormat.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonParseError>
#include <QJsonValue>
#include <QUrl>

#include <array>
#include <cstring>

namespace interchange {
namespace {

// What an exported column holds. Import reads the same columns back: the
// user name, the password, the address (Location) and, when the address is
// empty, the title (Name) as the location; a Bitwarden record is a login
// only when its Login column says so.
enum class Column : unsigned char {
    Empty,
    Username,
    Password,
    Location,
    Name,  // the host of the location when it is a web address, else the location
    Login, // Bitwarden's item type: "login", the only kind we have
    Zero,  // Bitwarden's "reprompt": 0, no master password asked again
};

struct LayoutInfo {
    Layout layout;
    const char* name;
    const char* shownAs;
    // The header of the newest version of the format.
    std::vector<const char*> header;
    // The number of leading columns an older version's header has, when the
    // format has grown at its end; 0 when it has not.
    size_t olderColumns;
    // What export writes: as many columns as there are here.
    std::vector<Column> written;
};

// Firefox fills its guid and its three times itself when an import leaves
// them empty, and a made-up guid would make two exports of the same vault
// differ. The form's origin and the HTTP realm are ours to leave empty too.
// KeePassXC's group stays empty: the entries land in the database's root
// group, and the four columns its newer exports add are left out, as its
// older ones did. Bitwarden wants its item type ("login") and reads an
// empty folder, no favourite and no notes.
const std::array<LayoutInfo, 5>& layouts() {
    using C = Column;
    static const std::array<LayoutInfo, 5> all = {{
        {Layout::Keynook,
         "keynook",
         "Keynook",
         {"username", "password", "location"},
         0,
         {C::Username, C::Password, C::Location}},
        {Layout::Chrome,
         "chrome",
         "Chrome or Edge",
         {"name", "url", "username", "password", "note"},
         4,
         {C::Name, C::Location, C::Username, C::Password}},
        {Layout::Firefox,
         "firefox",
         "Firefox",
         {"url", "username", "password", "httpRealm", "formActionOrigin", "guid", "timeCreated",
          "timeLastUsed", "timePasswordChanged"},
         0,
         {C::Location, C::Username, C::Password, C::Empty, C::Empty, C::Empty, C::Empty, C::Empty,
          C::Empty}},
        {Layout::KeePassXC,
         "keepassxc",
         "KeePassXC",
         {"Group", "Title", "Username", "Password", "URL", "Notes", "TOTP", "Icon", "Last Modified",
          "Created"},
         6,
         {C::Empty, C::Name, C::Username, C::Password, C::Location, C::Empty}},
        {Layout::Bitwarden,
         "bitwarden",
         "Bitwarden",
         {"folder", "favorite", "type", "name", "notes", "fields", "reprompt", "login_uri",
          "login_username", "login_password", "login_totp"},
         0,
         {C::Empty, C::Empty, C::Login, C::Name, C::Empty, C::Empty, C::Zero, C::Location,
          C::Username, C::Password, C::Empty}},
    }};
    return all;
}

const LayoutInfo& infoOf(Layout layout) {
    return layouts()[static_cast<size_t>(layout)];
}

// The column that holds `what`, or -1.
int columnOf(const LayoutInfo& info, Column what) {
    for (size_t k = 0; k < info.written.size(); ++k)
        if (info.written[k] == what)
            return static_cast<int>(k);
    return -1;
}

const QString kFieldNames[3] = {QStringLiteral("username"), QStringLiteral("password"),
                                QStringLiteral("location")};

// ---- Writing ----

QString unwritable(size_t entry, int field) {
    return QStringLiteral("entry %1: the %2 holds a lone surrogate (half of a UTF-16 pair "
                          "without the other half), which a UTF-8 file cannot hold")
        .arg(entry + 1)
        .arg(kFieldNames[field]);
}

// The label a manager shows for an entry: the host when the location is a
// web address, otherwise the location itself.
QString nameFor(const QString& location) {
    if (!location.contains(QLatin1String("://")))
        return location;
    const QUrl url(location, QUrl::StrictMode);
    const QString host = url.isValid() ? url.host() : QString();
    return host.isEmpty() ? location : host;
}

bool needsJsonEscape(QByteArrayView utf8) {
    for (const char c : utf8)
        if (c == '"' || c == '\\' || static_cast<unsigned char>(c) < 0x20)
            return true;
    return false;
}

// UTF-8 as it stands between the quotes of a JSON string: a quote, a
// backslash and the control characters escaped, everything else as it is.
void appendJsonEscaped(QByteArray& out, QByteArrayView utf8) {
    static const char hex[] = "0123456789abcdef";
    for (const char c : utf8) {
        const unsigned char u = static_cast<unsigned char>(c);
        switch (c) {
        case '"':
            out.append("\\\"", 2);
            break;
        case '\\':
            out.append("\\\\", 2);
            break;
        case '\b':
            out.append("\\b", 2);
            break;
        case '\f':
            out.append("\\f", 2);
            break;
        case '\n':
            out.append("\\n", 2);
            break;
        case '\r':
            out.append("\\r", 2);
            break;
        case '\t':
            out.append("\\t", 2);
            break;
        default:
            if (u < 0x20) {
                const char escape[] = {'\\', 'u', '0', '0', hex[u >> 4], hex[u & 0xF]};
                out.append(escape, 6);
            } else {
                out.append(c);
            }
        }
    }
}

// A JSON string of the text, quotes included. False, with `out` as it was,
// for a lone surrogate.
bool appendJsonString(QByteArray& out, QStringView text) {
    const qsizetype at = out.size();
    out.append('"');
    if (!utf8::append(out, text)) {
        out.resize(at);
        return false;
    }
    const QByteArrayView written(out.constData() + at + 1, out.size() - at - 1);
    if (needsJsonEscape(written)) {
        const QByteArray plain = written.toByteArray();
        out.resize(at + 1);
        appendJsonEscaped(out, plain);
    }
    out.append('"');
    return true;
}

// For each ciphered byte of a plain field, the bytes its character is
// written as: its UTF-8 with a quote doubled (CSV; only quoted fields hold
// quotes), or escaped as inside a JSON string. Built from the same
// conversions as text takes, so both ways give the same bytes.
struct Piece {
    unsigned char size;
    char bytes[7];
};
using PieceTable = std::array<Piece, 256>;

template <class Escape> PieceTable makePieceTable(Escape escape) {
    PieceTable table{};
    for (int b = 0; b < 256; ++b) {
        const char ciphered = static_cast<char>(b);
        QByteArray utf8;
        utf8::append(utf8, ansi::decodeCiphered(QByteArrayView(&ciphered, 1)));
        QByteArray piece;
        escape(piece, utf8);
        Piece& p = table[static_cast<size_t>(b)];
        p.size = static_cast<unsigned char>(piece.size());
        std::memcpy(p.bytes, piece.constData(), static_cast<size_t>(piece.size()));
    }
    return table;
}

const PieceTable& csvPieces() {
    static const PieceTable table = makePieceTable([](QByteArray& out, QByteArrayView utf8) {
        out.append(utf8);
        if (utf8 == "\"")
            out.append('"');
    });
    return table;
}

const PieceTable& jsonPieces() {
    static const PieceTable table = makePieceTable(appendJsonEscaped);
    return table;
}

void appendPieces(QByteArray& out, QByteArrayView ciphered, const PieceTable& table) {
    for (const char c : ciphered) {
        const Piece& p = table[static_cast<unsigned char>(c)];
        out.append(p.bytes, p.size);
    }
}

// The characters that need care as the vault holds them: ciphered, the
// top bit of each is toggled.
constexpr unsigned char kCipheredComma = ',' ^ 0x80;
constexpr unsigned char kCipheredQuote = '"' ^ 0x80;
constexpr unsigned char kCipheredCr = '\r' ^ 0x80;
constexpr unsigned char kCipheredLf = '\n' ^ 0x80;
constexpr unsigned char kCipheredSpace = ' ' ^ 0x80;
constexpr unsigned char kCipheredBackslash = '\\' ^ 0x80;
constexpr char kCipheredEscapeMarker = vaultformat::kEscapeMarker ^ '\x80';

// Writes a plain field's ciphered bytes with their top bits toggled: its
// UTF-8 when every character is ASCII. `bad` tells, for one ciphered byte,
// whether that is not enough. Returns false, with `out` as it was, when
// some byte is bad. One pass without an early exit, so that the compiler
// runs it many bytes wide.
template <class Bad> bool putAscii(QByteArray& out, QByteArrayView ciphered, Bad bad) {
    const qsizetype at = out.size();
    const qsizetype n = ciphered.size();
    out.resize(at + n);
    char* const d = out.data() + at;
    const unsigned char* const b = reinterpret_cast<const unsigned char*>(ciphered.data());
    unsigned any = 0;
    for (qsizetype i = 0; i < n; ++i) {
        any |= bad(b[i]);
        d[i] = static_cast<char>(b[i] ^ 0x80u);
    }
    if (any == 0)
        return true;
    out.resize(at);
    return false;
}

// A ciphered byte that is not ASCII (top bit clear), or that CSV treats
// specially.
unsigned csvBad(unsigned char c) {
    return unsigned(c < 0x80) | unsigned(c == kCipheredComma) | unsigned(c == kCipheredQuote) |
           unsigned(c == kCipheredCr) | unsigned(c == kCipheredLf);
}

// Below 0xA0 ciphered is either not ASCII or a control character.
unsigned jsonBad(unsigned char c) {
    return unsigned(c < 0xA0) | unsigned(c == kCipheredQuote) | unsigned(c == kCipheredBackslash);
}

bool isEscaped(QByteArrayView ciphered) {
    return !ciphered.isEmpty() && ciphered.front() == kCipheredEscapeMarker;
}

// One field of a vault line, as csv::appendField() writes its text.
bool putCsvField(QByteArray& out, QByteArrayView ciphered) {
    if (isEscaped(ciphered))
        return csv::appendField(out, vaultformat::decodeCipheredField(ciphered));
    const bool spaceAtEnd =
        !ciphered.isEmpty() && (static_cast<unsigned char>(ciphered.front()) == kCipheredSpace ||
                                static_cast<unsigned char>(ciphered.back()) == kCipheredSpace);
    if (!spaceAtEnd && putAscii(out, ciphered, csvBad))
        return true;
    bool quoted = spaceAtEnd;
    for (const char c : ciphered) {
        const unsigned char u = static_cast<unsigned char>(c);
        quoted = quoted || u == kCipheredComma || u == kCipheredQuote || u == kCipheredCr ||
                 u == kCipheredLf;
    }
    if (quoted)
        out.append('"');
    appendPieces(out, ciphered, csvPieces());
    if (quoted)
        out.append('"');
    return true;
}

// One field of a vault line, as appendJsonString() writes its text.
bool putJsonField(QByteArray& out, QByteArrayView ciphered) {
    if (isEscaped(ciphered))
        return appendJsonString(out, vaultformat::decodeCipheredField(ciphered));
    out.append('"');
    if (!putAscii(out, ciphered, jsonBad))
        appendPieces(out, ciphered, jsonPieces());
    out.append('"');
    return true;
}

// The three fields of a line as the store keeps it: split at the first two
// separators, as a reader splits it.
void splitLine(QByteArrayView line, QByteArrayView fields[3]) {
    const qsizetype first = vaultformat::findCipheredSeparator(line, 0);
    const qsizetype second = vaultformat::findCipheredSeparator(line, first + 3);
    fields[0] = line.first(first);
    fields[1] = line.sliced(first + 3, second - first - 3);
    fields[2] = line.sliced(second + 3);
}

// Writes every entry in a layout. `put(out, entry, field)` writes one field
// and is false for text UTF-8 cannot carry; `location(entry)` is the
// location's text, for the name column.
template <class Put, class LocationOf>
ExportResult writeCsv(size_t count, Layout layout, qsizetype expectedSize, Put put,
                      LocationOf location) {
    const LayoutInfo& info = infoOf(layout);
    ExportResult result;
    QByteArray& out = result.bytes;
    out.reserve(expectedSize);
    for (size_t k = 0; k < info.written.size(); ++k) {
        if (k > 0)
            out.append(',');
        csv::appendUtf8Field(out, info.header[k]);
    }
    out.append(csv::kRecordEnd);
    for (size_t i = 0; i < count; ++i) {
        for (size_t k = 0; k < info.written.size(); ++k) {
            if (k > 0)
                out.append(',');
            int field = -1;
            bool ok = true;
            switch (info.written[k]) {
            case Column::Empty:
                break;
            case Column::Username:
                field = EntryStore::Username;
                break;
            case Column::Password:
                field = EntryStore::Password;
                break;
            case Column::Location:
                field = EntryStore::Location;
                break;
            case Column::Name:
                ok = csv::appendField(out, nameFor(location(i)));
                if (!ok)
                    field = EntryStore::Location;
                break;
            case Column::Login:
                out.append("login");
                break;
            case Column::Zero:
                out.append('0');
                break;
            }
            if (ok && field >= 0)
                ok = put(out, i, field);
            if (!ok)
                return ExportResult{{}, unwritable(i, field)};
        }
        out.append(csv::kRecordEnd);
    }
    return result;
}

template <class Put> ExportResult writeJson(size_t count, qsizetype expectedSize, Put put) {
    ExportResult result;
    QByteArray& out = result.bytes;
    out.reserve(expectedSize);
    static const QByteArrayView keys[3] = {"{\"username\":", ",\"password\":", ",\"location\":"};
    out.append("[\n");
    for (size_t i = 0; i < count; ++i) {
        for (int field = 0; field < 3; ++field) {
            out.append(keys[field]);
            if (!put(out, i, field))
                return ExportResult{{}, unwritable(i, field)};
        }
        out.append(i + 1 < count ? "},\n" : "}\n");
    }
    out.append("]\n");
    return result;
}

const QString& textOf(const Entry& e, int field) {
    return field == EntryStore::Username   ? e.username
           : field == EntryStore::Password ? e.password
                                           : e.location;
}

qsizetype textSize(const std::vector<Entry>& entries) {
    qsizetype size = 0;
    for (const Entry& e : entries)
        size += e.username.size() + e.password.size() + e.location.size();
    return size;
}

// Splits each line once per entry, not once per field: the fields of the
// entry last asked for are kept.
class StoreFields {
public:
    explicit StoreFields(const EntryStore& store) : m_store(store) {}

    QByteArrayView field(size_t slot, int field) {
        if (slot != m_slot) {
            splitLine(m_store.line(slot), m_fields);
            m_slot = slot;
        }
        return m_fields[field];
    }

private:
    const EntryStore& m_store;
    size_t m_slot = static_cast<size_t>(-1);
    QByteArrayView m_fields[3];
};

// ---- Reading ----

const QString& unknownHeaderMessage() {
    static const QString message = [] {
        QString m = QStringLiteral("the first line is not the header of a layout Keynook reads; "
                                   "expected one of:");
        for (const LayoutInfo& info : layouts()) {
            QStringList names;
            for (const char* column : info.header)
                names.append(QString::fromUtf8(column));
            m += QStringLiteral("\n  %1: ").arg(QString::fromUtf8(info.shownAs));
            if (info.olderColumns > 0)
                m +=
                    names.mid(0, static_cast<qsizetype>(info.olderColumns)).join(QLatin1Char(',')) +
                    QStringLiteral(" (newer versions add ,") +
                    names.mid(static_cast<qsizetype>(info.olderColumns)).join(QLatin1Char(',')) +
                    QLatin1Char(')');
            else
                m += names.join(QLatin1Char(','));
        }
        return m;
    }();
    return message;
}

const LayoutInfo* layoutOfHeader(const std::vector<QString>& fields) {
    for (const LayoutInfo& info : layouts()) {
        const size_t n = fields.size();
        if (n != info.header.size() && (info.olderColumns == 0 || n != info.olderColumns))
            continue;
        bool same = true;
        for (size_t k = 0; k < n && same; ++k)
            same = fields[k] == QLatin1String(info.header[k]);
        if (same)
            return &info;
    }
    return nullptr;
}

ImportResult failed(ImportResult r, QString error, int line, qsizetype item = -1) {
    r.entries.clear();
    r.error = std::move(error);
    r.line = line;
    r.item = item;
    return r;
}

constexpr char kBom[] = "\xEF\xBB\xBF";

qsizetype bomSize(QByteArrayView bytes) {
    return bytes.startsWith(QByteArrayView(kBom, 3)) ? 3 : 0;
}

} // namespace

QString layoutName(Layout layout) {
    return QString::fromUtf8(infoOf(layout).name);
}

std::optional<Layout> layoutNamed(QStringView name) {
    for (const LayoutInfo& info : layouts())
        if (name == QLatin1String(info.name))
            return info.layout;
    return std::nullopt;
}

ExportResult exportCsv(const std::vector<Entry>& entries, Layout layout) {
    return writeCsv(
        entries.size(), layout, textSize(entries) + 16 * static_cast<qsizetype>(entries.size()),
        [&](QByteArray& out, size_t i, int field) {
            return csv::appendField(out, textOf(entries[i], field));
        },
        [&](size_t i) { return entries[i].location; });
}

ExportResult exportCsv(const EntryStore& entries, Layout layout) {
    StoreFields fields(entries);
    return writeCsv(
        entries.size(), layout, entries.lineBytes() + 16 * static_cast<qsizetype>(entries.size()),
        [&](QByteArray& out, size_t i, int field) {
            return putCsvField(out, fields.field(i, field));
        },
        [&](size_t i) { return entries.field(i, EntryStore::Location); });
}

ExportResult exportJson(const std::vector<Entry>& entries) {
    return writeJson(entries.size(),
                     textSize(entries) + 48 * static_cast<qsizetype>(entries.size()),
                     [&](QByteArray& out, size_t i, int field) {
                         return appendJsonString(out, textOf(entries[i], field));
                     });
}

ExportResult exportJson(const EntryStore& entries) {
    StoreFields fields(entries);
    return writeJson(entries.size(),
                     entries.lineBytes() + 48 * static_cast<qsizetype>(entries.size()),
                     [&](QByteArray& out, size_t i, int field) {
                         return putJsonField(out, fields.field(i, field));
                     });
}

Detection detect(QByteArrayView bytes) {
    Detection d;
    for (qsizetype i = bomSize(bytes); i < bytes.size(); ++i) {
        const char c = bytes[i];
        if (c == ' ' || c == '\t' || c == '\r' || c == '\n')
            continue;
        if (c == '[') {
            d.format = Format::Json;
            return d;
        }
        break;
    }
    csv::Reader reader(bytes);
    std::vector<QString> header;
    if (!reader.next(header)) {
        d.error = reader.error().isEmpty()
                      ? QStringLiteral("line 1: the file is empty; a header line was expected")
                      : reader.error();
        d.line = reader.error().isEmpty() ? 1 : reader.errorLine();
        return d;
    }
    const LayoutInfo* info = layoutOfHeader(header);
    if (!info) {
        d.line = reader.line();
        d.error = QStringLiteral("line %1: %2").arg(d.line).arg(unknownHeaderMessage());
        return d;
    }
    d.layout = info->layout;
    return d;
}

ImportResult importCsv(QByteArrayView bytes) {
    ImportResult r;
    r.format = Format::Csv;
    csv::Reader reader(bytes);
    std::vector<QString> fields;
    if (!reader.next(fields)) {
        if (!reader.error().isEmpty())
            return failed(std::move(r), reader.error(), reader.errorLine());
        return failed(std::move(r),
                      QStringLiteral("line 1: the file is empty; a header line was expected"), 1);
    }
    const LayoutInfo* info = layoutOfHeader(fields);
    if (!info)
        return failed(std::move(r),
                      QStringLiteral("line %1: %2").arg(reader.line()).arg(unknownHeaderMessage()),
                      reader.line());
    r.layout = info->layout;
    const size_t columns = fields.size();
    const int username = columnOf(*info, Column::Username);
    const int password = columnOf(*info, Column::Password);
    const int address = columnOf(*info, Column::Location);
    const int title = columnOf(*info, Column::Name);
    const int type = columnOf(*info, Column::Login);
    while (reader.next(fields)) {
        if (fields.size() != columns)
            return failed(std::move(r),
                          QStringLiteral("line %1: %2 fields where the header has %3")
                              .arg(reader.line())
                              .arg(fields.size())
                              .arg(columns),
                          reader.line());
        if (type >= 0 && fields[type] != QLatin1String("login")) {
            ++r.skippedNotLogins;
            continue;
        }
        Entry e{fields[username], fields[password], fields[address]};
        if (e.location.isEmpty() && title >= 0)
            e.location = fields[title];
        if (e.username.isEmpty() && e.password.isEmpty() && e.location.isEmpty()) {
            ++r.skippedEmpty;
            continue;
        }
        r.entries.push_back(std::move(e));
    }
    if (!reader.error().isEmpty())
        return failed(std::move(r), reader.error(), reader.errorLine());
    return r;
}

ImportResult importJson(QByteArrayView bytes) {
    ImportResult r;
    r.format = Format::Json;
    const qsizetype bom = bomSize(bytes);
    // Qt reads JSON strictly as UTF-8 and keeps every character, U+0000
    // included; it does let an escaped lone surrogate through, so strings
    // are checked for those below.
    QJsonParseError parseError;
    const QJsonDocument document = QJsonDocument::fromJson(
        QByteArray::fromRawData(bytes.data() + bom, bytes.size() - bom), &parseError);
    if (parseError.error != QJsonParseError::NoError) {
        const int line = utf8::lineAt(bytes, bom + parseError.offset);
        return failed(
            std::move(r),
            QStringLiteral("line %1: not JSON (%2)").arg(line).arg(parseError.errorString()), line);
    }
    if (!document.isArray())
        return failed(std::move(r), QStringLiteral("the JSON is not an array of entries"), 0);
    const QJsonArray items = document.array();
    r.entries.reserve(static_cast<size_t>(items.size()));
    for (qsizetype i = 0; i < items.size(); ++i) {
        const QJsonValue item = items.at(i);
        const auto itemError = [&](const QString& why) {
            return failed(
                std::move(r),
                QStringLiteral("item %1 of the array (counting from 0): %2").arg(i).arg(why), 0, i);
        };
        if (!item.isObject())
            return itemError(QStringLiteral("not an object"));
        const QJsonObject object = item.toObject();
        QString texts[3];
        for (int field = 0; field < 3; ++field) {
            const auto it = object.constFind(kFieldNames[field]);
            if (it == object.constEnd())
                return itemError(QStringLiteral("no \"%1\"").arg(kFieldNames[field]));
            if (!it->isString())
                return itemError(QStringLiteral("\"%1\" is not a string").arg(kFieldNames[field]));
            texts[field] = it->toString();
            if (utf8::firstLoneSurrogate(texts[field]) >= 0)
                return itemError(QStringLiteral("\"%1\" holds a lone surrogate (an escape of half "
                                                "a UTF-16 pair), which is not text")
                                     .arg(kFieldNames[field]));
        }
        Entry e{std::move(texts[0]), std::move(texts[1]), std::move(texts[2])};
        if (e.username.isEmpty() && e.password.isEmpty() && e.location.isEmpty()) {
            ++r.skippedEmpty;
            continue;
        }
        r.entries.push_back(std::move(e));
    }
    return r;
}

ImportResult importAny(QByteArrayView bytes) {
    const Detection d = detect(bytes);
    if (!d.ok()) {
        ImportResult r;
        return failed(std::move(r), d.error, d.line);
    }
    return d.format == Format::Json ? importJson(bytes) : importCsv(bytes);
}

} // namespace interchange
