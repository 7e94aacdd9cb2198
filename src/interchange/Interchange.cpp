#include "interchange/Interchange.h"

#include "vault/Ansi.h"
#include "interchange/Csv.h"
#include "vault/LargeMemory.h"
#include "vault/Utf8.h"
#include "vault/VaultFormat.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonParseError>
#include <QJsonValue>
#include <QStringDecoder>
#include <QUrl>

#include <algorithm>
#include <array>
#include <bit>
#include <cstdint>
#include <cstring>
#include <optional>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

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
// KeePassXC's group is left empty rather than made up, and the four
// columns its newer exports add are left out, as its older ones did.
// Bitwarden wants its item type ("login") and a reprompt flag, and reads an
// empty folder as none, an empty favourite as no and empty notes as none.
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

// The bytes of an export, written through a plain pointer. Each writer
// makes room for the most it can write, once, and then writes without a
// library call per piece: an export of a large vault is mostly small fields.
class Sink {
public:
    explicit Sink(qsizetype expected)
        : m_bytes(std::max<qsizetype>(expected, 64), Qt::Uninitialized) {
        m_at = m_bytes.data();
        m_end = m_at + m_bytes.size();
    }

    // Makes room for `n` more bytes; at() is good until the next call.
    void room(qsizetype n) {
        if (m_end - m_at < n)
            grow(n);
    }
    char*& at() { return m_at; }
    void put(char c) { *m_at++ = c; }
    void put(QByteArrayView bytes) {
        std::memcpy(m_at, bytes.data(), static_cast<size_t>(bytes.size()));
        m_at += bytes.size();
    }
    QByteArray take() {
        m_bytes.resize(m_at - m_bytes.constData());
        return std::move(m_bytes);
    }

private:
    void grow(qsizetype n) {
        const qsizetype used = m_at - m_bytes.constData();
        m_bytes.resize(std::max(2 * m_bytes.size(), used + n));
        m_at = m_bytes.data() + used;
        m_end = m_bytes.data() + m_bytes.size();
    }

    QByteArray m_bytes;
    char* m_at;
    char* m_end;
};

// The most bytes writeJsonEscaped() writes for one byte: \u001f.
constexpr qsizetype kMaxJsonEscape = 6;

// UTF-8 as it stands between the quotes of a JSON string: a quote, a
// backslash and the control characters escaped, everything else as it is.
char* writeJsonEscaped(char* d, QByteArrayView utf8) {
    static const char hex[] = "0123456789abcdef";
    for (const char c : utf8) {
        const unsigned char u = static_cast<unsigned char>(c);
        const char* named = nullptr;
        switch (c) {
        case '"':
            named = "\\\"";
            break;
        case '\\':
            named = "\\\\";
            break;
        case '\b':
            named = "\\b";
            break;
        case '\f':
            named = "\\f";
            break;
        case '\n':
            named = "\\n";
            break;
        case '\r':
            named = "\\r";
            break;
        case '\t':
            named = "\\t";
            break;
        default:
            if (u < 0x20) {
                const char escape[] = {'\\', 'u', '0', '0', hex[u >> 4], hex[u & 0xF]};
                d = std::copy_n(escape, 6, d);
            } else {
                *d++ = c;
            }
            continue;
        }
        *d++ = named[0];
        *d++ = named[1];
    }
    return d;
}

void putCsvUtf8(Sink& out, QByteArrayView utf8) {
    out.room(csv::maxFieldSize(utf8.size()));
    out.at() = csv::writeField(out.at(), utf8);
}

void putJsonUtf8(Sink& out, QByteArrayView utf8) {
    out.room(kMaxJsonEscape * utf8.size() + 2);
    out.put('"');
    out.at() = writeJsonEscaped(out.at(), utf8);
    out.put('"');
}

// A field's text, through `scratch`. False for text with a lone surrogate.
template <class PutUtf8>
bool putText(Sink& out, QStringView text, QByteArray& scratch, PutUtf8 putUtf8) {
    scratch.resize(0);
    if (!utf8::append(scratch, text))
        return false;
    putUtf8(out, scratch);
    return true;
}

// For each ciphered byte of a plain field, the bytes its character is
// written as: its UTF-8 with a quote doubled (CSV; only quoted fields hold
// quotes), or escaped as inside a JSON string. Built with the same
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
        Piece& p = table[static_cast<size_t>(b)];
        p.size = static_cast<unsigned char>(escape(p.bytes, utf8) - p.bytes);
    }
    return table;
}

const PieceTable& csvPieces() {
    static const PieceTable table = makePieceTable([](char* d, QByteArrayView utf8) {
        d = std::copy(utf8.begin(), utf8.end(), d);
        if (utf8 == "\"")
            *d++ = '"';
        return d;
    });
    return table;
}

const PieceTable& jsonPieces() {
    static const PieceTable table = makePieceTable(writeJsonEscaped);
    return table;
}

// writePieces() copies whole pieces: room for the bytes one piece leaves
// unused at the end.
constexpr qsizetype kPieceSlack = sizeof(Piece::bytes);

char* writePieces(char* d, QByteArrayView ciphered, const PieceTable& table) {
    for (const char c : ciphered) {
        const Piece& p = table[static_cast<unsigned char>(c)];
        std::memcpy(d, p.bytes, sizeof p.bytes);
        d += p.size;
    }
    return d;
}

// The characters that need care as the vault holds them: ciphered, the
// top bit of each is toggled.
constexpr unsigned char kCipheredComma = ',' ^ 0x80;
constexpr unsigned char kCipheredQuote = '"' ^ 0x80;
constexpr unsigned char kCipheredCr = '\r' ^ 0x80;
constexpr unsigned char kCipheredLf = '\n' ^ 0x80;
constexpr unsigned char kCipheredSpace = ' ' ^ 0x80;
constexpr unsigned char kCipheredBackslash = '\\' ^ 0x80;
constexpr unsigned char kCipheredBar = '|' ^ 0x80;
constexpr char kCipheredEscapeMarker = vaultformat::kEscapeMarker ^ '\x80';

// Whether a ciphered byte is written otherwise than as itself deciphered:
// it is not ASCII (its top bit is clear), or the format quotes or escapes
// it. In JSON that is a control character too: below 0xA0 ciphered.
template <Format format> bool needsCare(unsigned char c) {
    if constexpr (format == Format::Csv)
        return c < 0x80 || c == kCipheredComma || c == kCipheredQuote || c == kCipheredCr ||
               c == kCipheredLf;
    else
        return c < 0xA0 || c == kCipheredQuote || c == kCipheredBackslash;
}

template <Format format> bool fieldNeedsCare(QByteArrayView ciphered) {
    bool care = false;
    for (const char c : ciphered)
        care = care || needsCare<format>(static_cast<unsigned char>(c));
    return care;
}

// A field that starts or ends with a space, which CSV quotes.
bool spaceAtEnd(QByteArrayView ciphered) {
    return !ciphered.isEmpty() && (static_cast<unsigned char>(ciphered.front()) == kCipheredSpace ||
                                   static_cast<unsigned char>(ciphered.back()) == kCipheredSpace);
}

bool isEscaped(QByteArrayView ciphered) {
    return !ciphered.isEmpty() && ciphered.front() == kCipheredEscapeMarker;
}

// Copies `n` ciphered bytes to `d` with their top bits toggled, eight at a
// time; the last eight overlap the ones before rather than going byte by
// byte.
void flipCopy(char* d, const char* s, qsizetype n) {
    constexpr std::uint64_t top8 = 0x8080808080808080ull;
    if (n >= 8) {
        std::uint64_t w;
        for (qsizetype i = 0; i + 8 <= n; i += 8) {
            std::memcpy(&w, s + i, 8);
            w ^= top8;
            std::memcpy(d + i, &w, 8);
        }
        std::memcpy(&w, s + n - 8, 8);
        w ^= top8;
        std::memcpy(d + n - 8, &w, 8);
    } else {
        for (qsizetype i = 0; i < n; ++i)
            d[i] = static_cast<char>(s[i] ^ '\x80');
    }
}

// One field of a vault line, written as its text would be; `care` is
// whether fieldNeedsCare(). False for an escaped field whose text has a
// lone surrogate.
template <Format format>
bool putCiphered(Sink& out, QByteArrayView ciphered, bool care, QByteArray& scratch) {
    if (isEscaped(ciphered))
        return putText(out, vaultformat::decodeCipheredField(ciphered), scratch,
                       format == Format::Csv ? putCsvUtf8 : putJsonUtf8);
    const qsizetype n = ciphered.size();
    if constexpr (format == Format::Csv) {
        // A character takes up to three bytes, a quote two; two quotes around.
        out.room(3 * n + 2 + kPieceSlack);
        bool quoted = spaceAtEnd(ciphered);
        if (!care && !quoted) {
            flipCopy(out.at(), ciphered.data(), n);
            out.at() += n;
            return true;
        }
        for (const char c : ciphered) {
            const unsigned char u = static_cast<unsigned char>(c);
            quoted = quoted || u == kCipheredComma || u == kCipheredQuote || u == kCipheredCr ||
                     u == kCipheredLf;
        }
        if (quoted)
            out.put('"');
        out.at() = writePieces(out.at(), ciphered, csvPieces());
        if (quoted)
            out.put('"');
    } else {
        out.room(kMaxJsonEscape * n + 2 + kPieceSlack);
        out.put('"');
        if (!care) {
            flipCopy(out.at(), ciphered.data(), n);
            out.at() += n;
        } else {
            out.at() = writePieces(out.at(), ciphered, jsonPieces());
        }
        out.put('"');
    }
    return true;
}

// Lines up to this long are scanned quickly; longer ones, which a vault
// rarely holds, go field by field.
constexpr qsizetype kQuickLine = 128;
// Fields are copied out of a line scanned quickly in moves of this many
// bytes, whatever their length: cheaper than deciding how to copy each.
constexpr qsizetype kQuickMove = 64;

// A line as the store keeps it: its three fields, split at the first two
// separators as a reader splits it, and whether each needs care.
struct ScannedLine {
    QByteArrayView fields[3];
    bool care[3];
    // For a line scanned quickly, the line deciphered: each field's text at
    // the offset it has in the line, and room to read whole moves past it.
    bool deciphered;
    char plain[kQuickLine + 2 * kQuickMove];
};

template <Format format> void scanSlowly(QByteArrayView line, ScannedLine& scan) {
    const qsizetype first = vaultformat::findCipheredSeparator(line, 0);
    const qsizetype second = vaultformat::findCipheredSeparator(line, first + 3);
    scan.fields[0] = line.first(first);
    scan.fields[1] = line.sliced(first + 3, second - first - 3);
    scan.fields[2] = line.sliced(second + 3);
    for (int k = 0; k < 3; ++k)
        scan.care[k] = fieldNeedsCare<format>(scan.fields[k]);
    scan.deciphered = false;
}

#if defined(__SSE2__)
// One bit per byte of a line scanned quickly.
using LineBits = unsigned __int128;

// The bytes b <= i < e.
LineBits bitsBetween(int b, int e) {
    if (b >= e) // an empty field, which may start at the line's end
        return 0;
    const LineBits one = 1;
    const LineBits below = e >= kQuickLine ? ~LineBits(0) : (one << e) - 1;
    return below & ~((one << b) - 1);
}

int lowestBit(LineBits bits) {
    const auto low = static_cast<std::uint64_t>(bits);
    return low != 0 ? std::countr_zero(low)
                    : 64 + std::countr_zero(static_cast<std::uint64_t>(bits >> 64));
}

// One pass over a short line, sixteen bytes at a time, deciphers it into
// the scan's buffer and marks its bars and the bytes that need care; the
// separators and each field's care then come from the marks, without going
// over the line again. Loads come straight from the line: loading from a
// copy just made would wait on the copy's stores.
template <Format format> void scanQuickly(QByteArrayView line, ScannedLine& scan) {
    const qsizetype n = line.size();
    if (n > kQuickLine) {
        scanSlowly<format>(line, scan);
        return;
    }
    const char* from = line.data();
    char padded[16] = {};
    if (n < 16) {
        std::memcpy(padded, from, static_cast<size_t>(n));
        from = padded;
    }
    const auto look = [&](qsizetype at, std::uint64_t& barsAt, std::uint64_t& careAt) {
        const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(from + at));
        const auto is = [&](unsigned char c) {
            return _mm_cmpeq_epi8(x, _mm_set1_epi8(static_cast<char>(c)));
        };
        const auto bitsOf = [](__m128i m) {
            return static_cast<std::uint64_t>(_mm_movemask_epi8(m));
        };
        const __m128i plain = _mm_xor_si128(x, _mm_set1_epi8(static_cast<char>(0x80)));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(scan.plain + at), plain);
        const __m128i quote = is(kCipheredQuote);
        barsAt = bitsOf(is(kCipheredBar));
        // needsCare(), sixteen at a time. Deciphered, a byte with its top
        // bit set is not ASCII; read as signed, one below 0x20 is that or a
        // control character.
        if constexpr (format == Format::Csv)
            careAt = bitsOf(_mm_or_si128(
                _mm_or_si128(plain, quote),
                _mm_or_si128(is(kCipheredComma), _mm_or_si128(is(kCipheredCr), is(kCipheredLf)))));
        else
            careAt = bitsOf(_mm_or_si128(_mm_cmplt_epi8(plain, _mm_set1_epi8(0x20)),
                                         _mm_or_si128(quote, is(kCipheredBackslash))));
    };
    // The marks of each sixteen bytes go into the 64-bit word they belong
    // to, stored and loaded whole (a wide load of narrow stores would wait).
    std::uint64_t bars[2] = {}, care[2] = {};
    qsizetype at = 0;
    for (; at + 16 <= n; at += 16) {
        std::uint64_t b, c;
        look(at, b, c);
        bars[at / 64] |= b << (at % 64);
        care[at / 64] |= c << (at % 64);
    }
    LineBits barBits = LineBits(bars[0]) | (LineBits(bars[1]) << 64);
    LineBits careBits = LineBits(care[0]) | (LineBits(care[1]) << 64);
    if (at < n) {
        // The last sixteen overlap the ones before: a byte seen twice is
        // marked the same twice. Marks past a short line are dropped.
        const qsizetype last = n >= 16 ? n - 16 : 0;
        std::uint64_t b, c;
        look(last, b, c);
        const LineBits inLine = bitsBetween(0, static_cast<int>(n));
        barBits = (barBits | (LineBits(b) << last)) & inLine;
        careBits = (careBits | (LineBits(c) << last)) & inLine;
    }
    // Bit i: bytes i, i + 1 and i + 2 are bars. The first separator is the
    // first such place, the second the first one after it.
    const LineBits starts = barBits & (barBits >> 1) & (barBits >> 2);
    const int first = starts != 0 ? lowestBit(starts) : -1;
    const LineBits later = first >= 0 ? starts & ~bitsBetween(0, first + 3) : 0;
    if (later == 0) { // not a line as a save writes it; read it the slow way
        scanSlowly<format>(line, scan);
        return;
    }
    const int second = lowestBit(later);
    const int bounds[3][2] = {{0, first}, {first + 3, second}, {second + 3, static_cast<int>(n)}};
    for (int k = 0; k < 3; ++k) {
        const int b = bounds[k][0], e = bounds[k][1];
        scan.fields[k] = line.sliced(b, e - b);
        scan.care[k] = careBits != 0 && (careBits & bitsBetween(b, e)) != 0;
    }
    scan.deciphered = true;
}
#else
template <Format format> void scanQuickly(QByteArrayView line, ScannedLine& scan) {
    scanSlowly<format>(line, scan);
}
#endif

// The fields of the entries to export, as text.
template <Format format> class EntryFields {
public:
    explicit EntryFields(const std::vector<Entry>& entries) : m_entries(entries) {}

    size_t size() const { return m_entries.size(); }
    qsizetype expectedSize() const {
        qsizetype size = 0;
        for (const Entry& e : m_entries)
            size += e.username.size() + e.password.size() + e.location.size();
        return size;
    }
    void select(size_t) {}
    bool putPlainRecord(Sink&) { return false; }
    bool put(Sink& out, size_t i, int field) {
        return putText(out, text(i, field), m_scratch,
                       format == Format::Csv ? putCsvUtf8 : putJsonUtf8);
    }
    QString location(size_t i) const { return m_entries[i].location; }

private:
    const QString& text(size_t i, int field) const {
        const Entry& e = m_entries[i];
        return field == EntryStore::Username   ? e.username
               : field == EntryStore::Password ? e.password
                                               : e.location;
    }

    const std::vector<Entry>& m_entries;
    QByteArray m_scratch;
};

// The fields of the entries to export, as the vault holds them. Each line
// is split and looked over once, when its entry is selected; a field that is
// all ASCII with nothing to quote or escape (most are) is written as its
// bytes deciphered.
template <Format format> class StoreFields {
public:
    explicit StoreFields(const EntryStore& store) : m_store(store) {}

    size_t size() const { return m_store.size(); }
    qsizetype expectedSize() const { return m_store.lineBytes(); }
    void select(size_t i) { scanQuickly<format>(m_store.line(i), m_line); }
    // A record of Keynook's own layout when no field needs care, which is
    // most of them: the three fields deciphered, commas between. False, with
    // nothing written, otherwise.
    bool putPlainRecord(Sink& out) {
        const QByteArrayView* const f = m_line.fields;
        if (!m_line.deciphered)
            return false;
        for (int k = 0; k < 3; ++k)
            if (m_line.care[k] || spaceAtEnd(f[k]))
                return false;
        out.room(f[0].size() + f[1].size() + f[2].size() + 2 * kQuickMove + 4);
        char* d = out.at();
        for (int k = 0; k < 3; ++k) {
            d = copyPlain(d, f[k]);
            *d++ = k < 2 ? ',' : '\r';
        }
        *d++ = '\n';
        out.at() = d;
        return true;
    }
    bool put(Sink& out, size_t, int field) {
        const QByteArrayView f = m_line.fields[field];
        const bool quoted = format == Format::Json || spaceAtEnd(f);
        if (!m_line.deciphered || m_line.care[field] || (format == Format::Csv && quoted))
            return putCiphered<format>(out, f, m_line.care[field], m_scratch);
        out.room(f.size() + 2 * kQuickMove + 2);
        if (quoted)
            out.put('"');
        out.at() = copyPlain(out.at(), f);
        if (quoted)
            out.put('"');
        return true;
    }
    QString location(size_t i) const { return m_store.field(i, EntryStore::Location); }

private:
    // Copies a field of the deciphered line in whole moves, which may write
    // up to two moves past its end (the caller made room); returns the end
    // of the field's bytes.
    char* copyPlain(char* d, QByteArrayView field) const {
        const char* from = m_line.plain + (field.data() - m_line.fields[0].data());
        std::memcpy(d, from, kQuickMove);
        if (field.size() > kQuickMove)
            std::memcpy(d + kQuickMove, from + kQuickMove, kQuickMove);
        return d + field.size();
    }

    const EntryStore& m_store;
    ScannedLine m_line{};
    QByteArray m_scratch;
};

// Longer than any row's fixed part: commas, a record end, "login", "0".
constexpr qsizetype kRowExtra = 32;

template <class Fields> ExportResult writeCsv(Fields fields, Layout layout) {
    const LayoutInfo& info = infoOf(layout);
    const size_t count = fields.size();
    Sink out(fields.expectedSize() + kRowExtra * static_cast<qsizetype>(count) + 256);
    for (size_t k = 0; k < info.written.size(); ++k) {
        out.room(1);
        if (k > 0)
            out.put(',');
        putCsvUtf8(out, info.header[k]);
    }
    out.room(2);
    out.put(csv::kRecordEnd);
    QByteArray scratch;
    const bool own = layout == Layout::Keynook;
    for (size_t i = 0; i < count; ++i) {
        fields.select(i);
        if (own && fields.putPlainRecord(out))
            continue;
        for (size_t k = 0; k < info.written.size(); ++k) {
            out.room(kRowExtra);
            if (k > 0)
                out.put(',');
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
                ok = putText(out, nameFor(fields.location(i)), scratch, putCsvUtf8);
                if (!ok)
                    field = EntryStore::Location;
                break;
            case Column::Login:
                out.put("login");
                break;
            case Column::Zero:
                out.put('0');
                break;
            }
            if (ok && field >= 0)
                ok = fields.put(out, i, field);
            if (!ok)
                return ExportResult{{}, unwritable(i, field)};
        }
        out.room(kRowExtra);
        out.put(csv::kRecordEnd);
    }
    return ExportResult{out.take(), {}};
}

template <class Fields> ExportResult writeJson(Fields fields) {
    static const QByteArrayView keys[3] = {"{\"username\":", ",\"password\":", ",\"location\":"};
    const size_t count = fields.size();
    Sink out(fields.expectedSize() + 48 * static_cast<qsizetype>(count) + 16);
    out.room(2);
    out.put("[\n");
    for (size_t i = 0; i < count; ++i) {
        fields.select(i);
        for (int field = 0; field < 3; ++field) {
            out.room(keys[field].size());
            out.put(keys[field]);
            if (!fields.put(out, i, field))
                return ExportResult{{}, unwritable(i, field)};
        }
        out.room(3);
        out.put(i + 1 < count ? "},\n" : "}\n");
    }
    out.room(2);
    out.put("]\n");
    return ExportResult{out.take(), {}};
}

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

const LayoutInfo* layoutOfHeader(const std::vector<QByteArrayView>& fields) {
    for (const LayoutInfo& info : layouts()) {
        const size_t n = fields.size();
        if (n != info.header.size() && (info.olderColumns == 0 || n != info.olderColumns))
            continue;
        bool same = true;
        for (size_t k = 0; k < n && same; ++k)
            same = fields[k] == QByteArrayView(info.header[k]);
        if (same)
            return &info;
    }
    return nullptr;
}

template <class Result> Result failed(Result r, QString error, int line, qsizetype item = -1) {
    r.entries = {};
    r.error = std::move(error);
    r.line = line;
    r.item = item;
    return r;
}

// Reads the header line: its layout, or null with what is wrong and the
// line it is on.
const LayoutInfo* readHeader(csv::Reader& reader, std::vector<QByteArrayView>& fields,
                             QString& error, int& line) {
    if (!reader.next(fields)) {
        const bool empty = reader.error().isEmpty();
        error = empty ? QStringLiteral("line 1: the file is empty; a header line was expected")
                      : reader.error();
        line = empty ? 1 : reader.errorLine();
        return nullptr;
    }
    const LayoutInfo* info = layoutOfHeader(fields);
    if (!info) {
        line = reader.line();
        error = QStringLiteral("line %1: %2").arg(line).arg(unknownHeaderMessage());
    }
    return info;
}

// Reads a CSV file of any layout and hands each record worth keeping to
// `take`, as its entry's username, password and location in UTF-8. In our
// own layout `quick` may read records first: it is given the input from a
// record on, and returns how many bytes it took as how many records, each
// one line; none leaves the next record to the reader. False, with the
// report saying why, at the first problem.
template <class Take, class Quick>
bool readCsv(QByteArrayView bytes, ImportReport& r, Take take, Quick quick) {
    r.format = Format::Csv;
    csv::Reader reader(bytes);
    std::vector<QByteArrayView> fields;
    const auto fail = [&r](QString error, int line) {
        r.error = std::move(error);
        r.line = line;
        return false;
    };
    const LayoutInfo* info = readHeader(reader, fields, r.error, r.line);
    if (!info)
        return false;
    r.layout = info->layout;
    const size_t columns = fields.size();
    const int username = columnOf(*info, Column::Username);
    const int password = columnOf(*info, Column::Password);
    const int address = columnOf(*info, Column::Location);
    const int title = columnOf(*info, Column::Name);
    const int type = columnOf(*info, Column::Login);
    const bool own = info->layout == Layout::Keynook;
    for (;;) {
        if (own) {
            int records = 0;
            const qsizetype taken = quick(reader.rest(), records);
            if (records > 0) {
                reader.passRecords(taken, records);
                continue;
            }
        }
        if (!reader.next(fields))
            break;
        if (fields.size() != columns)
            return fail(QStringLiteral("line %1: %2 fields where the header has %3")
                            .arg(reader.line())
                            .arg(fields.size())
                            .arg(columns),
                        reader.line());
        if (type >= 0 && fields[type] != QByteArrayView("login")) {
            ++r.skippedNotLogins;
            continue;
        }
        QByteArrayView location = fields[address];
        if (location.isEmpty() && title >= 0)
            location = fields[title];
        if (fields[username].isEmpty() && fields[password].isEmpty() && location.isEmpty()) {
            ++r.skippedEmpty;
            continue;
        }
        take(fields[username], fields[password], location);
    }
    if (!reader.error().isEmpty())
        return fail(reader.error(), reader.errorLine());
    return true;
}

// Text of a field in UTF-8 the reader has checked. Keeps a U+FEFF that
// starts a field: only the file's first bytes can be a byte order mark, and
// QString::fromUtf8() would drop it anywhere.
class FieldText {
public:
    QString operator()(QByteArrayView utf8) { return m_utf8(utf8); }

private:
    QStringDecoder m_utf8{QStringDecoder::Utf8, QStringDecoder::Flag::Stateless |
                                                    QStringDecoder::Flag::ConvertInitialBom};
};

// Enciphers a field that is ASCII without a bar, eight bytes at a time,
// writing it at `out`; returns false, having written what is then to be
// thrown away, for any other field. Such a field is its own bytes in the
// vault's code page, and a bar is the only ASCII character whose place in
// a line matters.
bool putAsciiCiphered(char*& out, QByteArrayView utf8) {
    constexpr std::uint64_t kTops = 0x8080808080808080ull;
    constexpr std::uint64_t kOnes = 0x0101010101010101ull;
    constexpr std::uint64_t kBars = kOnes * '|';
    const char* p = utf8.data();
    const qsizetype n = utf8.size();
    std::uint64_t bad = 0;
    qsizetype i = 0;
    for (; i + 8 <= n; i += 8) {
        std::uint64_t w;
        std::memcpy(&w, p + i, 8);
        const std::uint64_t bars = w ^ kBars; // a zero byte where a bar was
        bad |= (w & kTops) | ((bars - kOnes) & ~bars & kTops);
        w ^= kTops;
        std::memcpy(out + i, &w, 8);
    }
    for (; i < n; ++i) {
        const unsigned char c = static_cast<unsigned char>(p[i]);
        bad |= (c & 0x80u) | unsigned(c == '|');
        out[i] = static_cast<char>(c ^ 0x80u);
    }
    out += n;
    return bad == 0;
}

// Makes the vault's lines of imported entries, one after another in one
// block as a file holds them, as EntryStore::append() would make them of
// the same entries.
class LineMaker {
public:
    // Room for the lines of a file of `size` bytes whose records are of a
    // usual length, made at once; others grow it. A line holds its fields,
    // six bytes of separators and a line end where a record holds the same
    // fields and at least two commas and a line end, and most records are
    // longer than sixteen bytes. Room never used costs no memory.
    explicit LineMaker(qsizetype size) : m_bytes(size + size / 2 + 64, Qt::Uninitialized) {
        largememory::adviseHugePages(m_bytes.data(), static_cast<size_t>(m_bytes.size()));
        m_starts.reserve(static_cast<size_t>(size / 16 + 16));
    }

    // The line of an entry given as UTF-8.
    void add(QByteArrayView username, QByteArrayView password, QByteArrayView location) {
        const qsizetype size = username.size() + password.size() + location.size() + 8;
        char* d = room(size);
        bool plain = putAsciiCiphered(d, username);
        d = std::fill_n(d, 3, '\xFC');
        plain = putAsciiCiphered(d, password) && plain;
        d = std::fill_n(d, 3, '\xFC');
        plain = putAsciiCiphered(d, location) && plain;
        if (plain) {
            std::memcpy(d, "\r\n", 2);
            m_used += size;
            return;
        }
        // Any other entry takes the way of text, which says how.
        m_starts.pop_back();
        m_scratch.resize(0);
        vaultformat::appendEntryLine(m_scratch,
                                     Entry{m_text(username), m_text(password), m_text(location)});
        m_scratch.append("\r\n", 2);
        d = room(m_scratch.size());
        std::memcpy(d, m_scratch.constData(), static_cast<size_t>(m_scratch.size()));
        m_used += m_scratch.size();
    }

#if defined(__SSE2__)
    // Most records of our own layout are three fields, quoted or not, each
    // ASCII without a bar: such a field is its own bytes in the vault's code
    // page, and a bar is the only ASCII character whose place in a line
    // matters. The line of such a record is its fields ciphered, with
    // separators for the commas between them. Takes such records from the
    // start of `rest` while they come, and counts them in `records`; returns
    // the bytes taken, line ends included.
    qsizetype quick(QByteArrayView rest, int& records) {
        const char* const p = rest.data();
        const qsizetype n = rest.size();
        qsizetype taken = 0;
        for (;;) {
            const qsizetype size = quickRecord(p + taken, n - taken);
            if (size == 0)
                return taken;
            taken += size;
            ++records;
        }
    }
#else
    qsizetype quick(QByteArrayView, int&) {
        return 0;
    }
#endif

    EntryStore take() {
        m_bytes.resize(m_used);
        EntryStore store;
        store.appendEncoded(std::move(m_bytes), m_starts);
        return store;
    }

private:
#if defined(__SSE2__)
    // The marks of a record's bytes, one bit per byte: 64 bits hold most
    // records, 128 the rest.
    template <class Bits> struct RecordMarks { Bits ends = 0, commas = 0, quotes = 0, odd = 0; };
    static RecordMarks<std::uint64_t> mark(const char* p) {
        const auto is = [](__m128i x, char c) { return _mm_cmpeq_epi8(x, _mm_set1_epi8(c)); };
        const auto bits = [](__m128i x) {
            return static_cast<std::uint64_t>(static_cast<unsigned>(_mm_movemask_epi8(x)));
        };
        RecordMarks<std::uint64_t> m;
        for (int at = 0; at < 64; at += 16) {
            const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + at));
            m.ends |= bits(_mm_or_si128(is(x, '\r'), is(x, '\n'))) << at;
            m.commas |= bits(is(x, ',')) << at;
            m.quotes |= bits(is(x, '"')) << at;
            // Not ASCII (the top bit, which movemask reads), or a bar.
            m.odd |= bits(_mm_or_si128(x, is(x, '|'))) << at;
        }
        return m;
    }

    // One record for quick(): the bytes it took, or 0. The record's marks
    // come from whole blocks of 64 bytes, and everything after is worked out
    // from them, without going over the bytes again or a branch per byte.
    qsizetype quickRecord(const char* p, qsizetype n) {
        if (n < 64 + kCopy)
            return 0;
        const RecordMarks<std::uint64_t> first = mark(p);
        if (first.ends != 0)
            return takeRecord(p, first);
        if (n < 128 + kCopy)
            return 0;
        const RecordMarks<std::uint64_t> second = mark(p + 64);
        const auto join = [](std::uint64_t low, std::uint64_t high) {
            return LineBits(low) | (LineBits(high) << 64);
        };
        return takeRecord(p, RecordMarks<LineBits>{
                                 join(first.ends, second.ends), join(first.commas, second.commas),
                                 join(first.quotes, second.quotes), join(first.odd, second.odd)});
    }

    template <class Bits> static int lowest(Bits bits) {
        if constexpr (sizeof(Bits) == 8)
            return std::countr_zero(bits);
        else
            return lowestBit(bits);
    }

    // A record marked in `m`, whose bytes reach at least kCopy past the
    // marked ones.
    template <class Bits> qsizetype takeRecord(const char* p, const RecordMarks<Bits>& m) {
        constexpr int kWidth = 8 * sizeof(Bits);
        // Inside quotes: from an opening quote up to its closing one. A
        // doubled quote (or an empty quoted field) is left to the reader,
        // which undoes it; so every quote here opens or closes.
        Bits inside = 0;
        if (m.quotes != 0) {
            if ((m.quotes & (m.quotes >> 1)) != 0)
                return 0;
            inside = m.quotes;
            for (int shift = 1; shift < kWidth; shift *= 2)
                inside ^= inside << shift;
        }
        const Bits ends = m.ends & ~inside;
        if (ends == 0)
            return 0;
        const int end = lowest(ends);
        const Bits record = (Bits(1) << end) - 1;
        // A line end inside quotes would make the record two lines; a byte
        // that is not ASCII, or a bar, takes the way of text.
        if (((m.ends & inside) | m.odd) & record)
            return 0;
        const Bits commas = m.commas & ~inside & record;
        const Bits later = commas & (commas - 1);
        if (commas == 0 || later == 0 || (later & (later - 1)) != 0)
            return 0;
        const int c0 = lowest(commas), c1 = lowest(later);
        // Three empty fields make no entry: the reader counts them.
        if (end == 2)
            return 0;
        int parts[3][2] = {{0, c0}, {c0 + 1, c1}, {c1 + 1, end}};
        // A field with quotes is quoted as a whole: its first and last bytes,
        // and no others; what they hold is the field.
        if (m.quotes & record) {
            Bits allowed = 0;
            for (auto& [from, to] : parts) {
                if (to - from >= 2 && p[from] == '"' && p[to - 1] == '"') {
                    allowed |= (Bits(1) << from) | (Bits(1) << (to - 1));
                    ++from;
                    --to;
                }
            }
            if ((m.quotes & record) != allowed)
                return 0;
        }

        const __m128i top = _mm_set1_epi8(static_cast<char>(0x80));
        const auto copy16 = [&](char* to, const char* from) {
            _mm_storeu_si128(
                reinterpret_cast<__m128i*>(to),
                _mm_xor_si128(_mm_loadu_si128(reinterpret_cast<const __m128i*>(from)), top));
        };
        // Copies may write up to kCopy bytes past a field: every such byte
        // is written over by what follows, or left unused.
        char* d = room(end + 6, kCopy);
        for (int k = 0; k < 3; ++k) {
            if (k > 0) {
                std::memcpy(d, "\xFC\xFC\xFC", 3);
                d += 3;
            }
            const char* from = p + parts[k][0];
            const int size = parts[k][1] - parts[k][0];
            copy16(d, from);
            copy16(d + 16, from + 16);
            for (int i = kCopy; i < size; i += 16)
                copy16(d + i, from + i);
            d += size;
        }
        std::memcpy(d, "\r\n", 2);
        m_used = d + 2 - m_bytes.constData();
        const bool pair = p[end] == '\r' && p[end + 1] == '\n';
        return end + (pair ? 2 : 1);
    }

    // Fields are copied 32 bytes at a time, which may read up to that many
    // bytes past the record's end: quickRecord() leaves the last records of
    // the input to the reader.
    static constexpr int kCopy = 32;
#endif

    // Starts a line of `size` bytes, with `slack` more bytes it may write
    // over: where to write it.
    char* room(qsizetype size, qsizetype slack = 0) {
        m_starts.push_back(m_used);
        if (m_bytes.size() - m_used < size + slack)
            m_bytes.resize(std::max(2 * m_bytes.size(), m_used + size + slack));
        return m_bytes.data() + m_used;
    }

    QByteArray m_bytes;
    qsizetype m_used = 0;
    std::vector<qsizetype> m_starts;
    QByteArray m_scratch;
    FieldText m_text;
};

bool startsAsJson(QByteArrayView bytes) {
    for (qsizetype i = utf8::byteOrderMarkSize(bytes); i < bytes.size(); ++i) {
        const char c = bytes[i];
        if (c != ' ' && c != '\t' && c != '\r' && c != '\n')
            return c == '[';
    }
    return false;
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
    return writeCsv(EntryFields<Format::Csv>(entries), layout);
}

ExportResult exportCsv(const EntryStore& entries, Layout layout) {
    return writeCsv(StoreFields<Format::Csv>(entries), layout);
}

ExportResult exportJson(const std::vector<Entry>& entries) {
    return writeJson(EntryFields<Format::Json>(entries));
}

ExportResult exportJson(const EntryStore& entries) {
    return writeJson(StoreFields<Format::Json>(entries));
}

Detection detect(QByteArrayView bytes) {
    Detection d;
    if (startsAsJson(bytes)) {
        d.format = Format::Json;
        return d;
    }
    csv::Reader reader(bytes);
    std::vector<QByteArrayView> header;
    if (const LayoutInfo* info = readHeader(reader, header, d.error, d.line))
        d.layout = info->layout;
    return d;
}

ImportResult importCsv(QByteArrayView bytes) {
    ImportResult r;
    FieldText text;
    const bool read = readCsv(
        bytes, r,
        [&](QByteArrayView u, QByteArrayView p, QByteArrayView l) {
            r.entries.push_back(Entry{text(u), text(p), text(l)});
        },
        [](QByteArrayView, int&) { return qsizetype(0); });
    if (!read)
        r.entries.clear();
    return r;
}

ImportResult importJson(QByteArrayView bytes) {
    ImportResult r;
    r.format = Format::Json;
    const qsizetype bom = utf8::byteOrderMarkSize(bytes);
    // Qt reads JSON strictly as UTF-8 and keeps every character, U+0000
    // included, with two exceptions. It lets an escaped lone surrogate
    // through, so strings are checked for those below. And it drops a
    // U+FEFF that starts a string written without escapes, as if it were a
    // byte order mark, while it keeps an escaped one: so every U+FEFF is
    // handed to it escaped. In UTF-8 only U+FEFF is EF BB BF, and outside a
    // string it is no more JSON escaped than it was before.
    QByteArray text = QByteArray::fromRawData(bytes.data() + bom, bytes.size() - bom);
    if (text.contains(utf8::kFeff))
        text.replace(utf8::kFeff, "\\ufeff");
    QJsonParseError parseError;
    const QJsonDocument document = QJsonDocument::fromJson(text, &parseError);
    if (parseError.error != QJsonParseError::NoError) {
        // The escapes put no line end in: the line is the file's.
        const int line = utf8::lineAt(text, parseError.offset);
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
    // A file that is not JSON is CSV: its reader says what is wrong with it
    // as detect() does.
    return startsAsJson(bytes) ? importJson(bytes) : importCsv(bytes);
}

EncodedImport importEncoded(QByteArrayView bytes, std::optional<Format> format) {
    EncodedImport r;
    if (format ? *format == Format::Json : startsAsJson(bytes)) {
        const ImportResult json = importJson(bytes);
        static_cast<ImportReport&>(r) = json;
        r.entries.append(json.entries);
        return r;
    }
    LineMaker lines(bytes.size());
    if (readCsv(
            bytes, r,
            [&](QByteArrayView u, QByteArrayView p, QByteArrayView l) { lines.add(u, p, l); },
            [&](QByteArrayView rest, int& records) { return lines.quick(rest, records); }))
        r.entries = lines.take();
    return r;
}

} // namespace interchange
