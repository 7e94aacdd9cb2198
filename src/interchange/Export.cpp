#include "interchange/Interchange.h"

#include "interchange/Csv.h"
#include "interchange/LineBits.h"
#include "interchange/Places.h"
#include "interchange/Shared.h"
#include "vault/Ansi.h"
#include "vault/Utf8.h"
#include "vault/VaultFormat.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cstdint>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

// Writing entries out: CSV in the columns of a layout's table, and JSON.
namespace interchange {
namespace {

QString unwritable(size_t entry, int field) {
    return QStringLiteral("entry %1: the %2 holds a lone surrogate (half of a UTF-16 pair "
                          "without the other half), which a UTF-8 file cannot hold")
        .arg(entry + 1)
        .arg(kFieldNames[field]);
}

// A cell that starts with one of these is run as a formula by spreadsheets
// that open the file (a tab or a CR before the formula too).
bool startsAsFormula(char16_t c) {
    return c == '=' || c == '+' || c == '-' || c == '@' || c == '\t' || c == '\r';
}

bool startsAsFormula(QStringView text) {
    return !text.isEmpty() && startsAsFormula(text.front().unicode());
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
constexpr unsigned char kCipheredBar = vaultformat::kCipheredBar;
constexpr char kCipheredEscapeMarker = vaultformat::kCipheredEscapeMarker;

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
// The bytes b <= i < e.
LineBits bitsBetween(int b, int e) {
    if (b >= e) // an empty field, which may start at the line's end
        return 0;
    const LineBits one = 1;
    const LineBits below = e >= kQuickLine ? ~LineBits(0) : (one << e) - 1;
    return below & ~((one << b) - 1);
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
    bool putPlainRecord(Sink&, bool, qsizetype&) { return false; }
    bool put(Sink& out, size_t i, int field) {
        return putText(out, text(i, field), m_scratch,
                       format == Format::Csv ? putCsvUtf8 : putJsonUtf8);
    }
    bool startsAsFormula(size_t i, int field) const {
        return interchange::startsAsFormula(text(i, field));
    }
    const QString& text(size_t i, int field) const {
        const Entry& e = m_entries[i];
        return field == EntryStore::Username   ? e.username
               : field == EntryStore::Password ? e.password
                                               : e.location;
    }

private:
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
    // A record of Keynook's own layout when no field needs care, nor a
    // guard against a formula, which is most of them: the three fields
    // deciphered, commas between, and `formulas` counts the cells that
    // start one. False, with nothing written or counted, otherwise.
    bool putPlainRecord(Sink& out, bool guard, qsizetype& formulas) {
        const QByteArrayView* const f = m_line.fields;
        if (!m_line.deciphered)
            return false;
        int starts = 0;
        for (int k = 0; k < 3; ++k) {
            if (m_line.care[k] || spaceAtEnd(f[k]))
                return false;
            starts += startsAsFormula(f[k]) ? 1 : 0;
        }
        if (guard && starts > 0)
            return false;
        formulas += starts;
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
    // The escape marker never starts a formula: an escaped field is looked
    // at as text.
    bool startsAsFormula(size_t, int field) const {
        const QByteArrayView f = m_line.fields[field];
        if (isEscaped(f))
            return interchange::startsAsFormula(vaultformat::decodeCipheredField(f));
        return startsAsFormula(f);
    }
    QString text(size_t i, int field) const { return m_store.field(i, field); }

private:
    static bool startsAsFormula(QByteArrayView ciphered) {
        return !ciphered.isEmpty() &&
               interchange::startsAsFormula(static_cast<unsigned char>(ciphered.front()) ^ 0x80);
    }

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

// Longer than any row's fixed part: commas, a record end, a column's value.
constexpr qsizetype kRowExtra = 32;

template <class Fields> ExportResult writeCsv(Fields fields, Layout layout, Cells cells) {
    const LayoutTable& table = layoutTable(layout);
    std::vector<const Column*> written;
    bool titled = false;
    for (const Column& c : table.columns) {
        if (c.exported)
            written.push_back(&c);
        titled = titled || (c.exported && c.role == Role::Title);
    }
    const size_t count = fields.size();
    Sink out(fields.expectedSize() + kRowExtra * static_cast<qsizetype>(count) + 256);
    for (size_t k = 0; k < written.size(); ++k) {
        out.room(1);
        if (k > 0)
            out.put(',');
        putCsvUtf8(out, written[k]->name);
    }
    out.room(2);
    out.put(csv::kRecordEnd);
    ExportResult r;
    QByteArray scratch;
    const bool guard = cells == Cells::SpreadsheetSafe;
    // A cell that would start a formula is counted, and guarded when asked
    // with a ' before it, which spreadsheets take for "this is text".
    const auto putGuarded = [&](const QString& text) {
        return putText(out, QLatin1Char('\'') + text, scratch, putCsvUtf8);
    };
    const auto putField = [&](size_t i, int field) {
        if (!fields.startsAsFormula(i, field))
            return fields.put(out, i, field);
        ++r.formulaCells;
        return guard ? putGuarded(fields.text(i, field)) : fields.put(out, i, field);
    };
    const auto putCell = [&](const QString& text) {
        if (!startsAsFormula(text))
            return putText(out, text, scratch, putCsvUtf8);
        ++r.formulaCells;
        return guard ? putGuarded(text) : putText(out, text, scratch, putCsvUtf8);
    };
    const bool own = layout == Layout::Keynook;
    for (size_t i = 0; i < count; ++i) {
        fields.select(i);
        Place place;
        // A location that the manager's importer would take for several
        // addresses, written as one: quoted within its cell.
        QString oneAddress;
        if (titled || table.webAddressesOnly || table.addressesInOneCell) {
            const QString location = fields.text(i, EntryStore::Location);
            place = placeOf(location);
            bool aboutLocation = false;
            const QString rule =
                table.webAddressesOnly
                    ? browserRefusal(layout, fields.text(i, EntryStore::Username),
                                     fields.text(i, EntryStore::Password), location, aboutLocation)
                    : QString();
            if (!rule.isEmpty()) {
                r.passedOver.push_back({i, rule, aboutLocation});
                if (aboutLocation)
                    r.notWebAddresses.push_back(i);
            }
            if (table.addressesInOneCell && holdsSeveralAddresses(location.toUtf8()))
                oneAddress = QLatin1Char('"') +
                             QString(location).replace(QLatin1Char('"'), QLatin1String("\"\"")) +
                             QLatin1Char('"');
        }
        if (own && fields.putPlainRecord(out, guard, r.formulaCells))
            continue;
        for (size_t k = 0; k < written.size(); ++k) {
            const Column& column = *written[k];
            out.room(kRowExtra);
            if (k > 0)
                out.put(',');
            // The field a cell is written from; a title is made of the
            // location.
            int field = -1;
            switch (column.role) {
            case Role::Username:
                field = EntryStore::Username;
                break;
            case Role::Password:
                field = EntryStore::Password;
                break;
            case Role::Address:
            case Role::Title:
                field = EntryStore::Location;
                break;
            case Role::Kind:
            case Role::NotKept:
            case Role::Bookkeeping:
                if (column.value)
                    out.put(column.value);
                break;
            }
            const bool ok = field < 0                    ? true
                            : column.role == Role::Title ? putCell(place.name)
                            : column.role == Role::Address && !oneAddress.isNull()
                                ? putCell(oneAddress)
                                : putField(i, field);
            if (!ok)
                return ExportResult{{}, unwritable(i, field), {}, {}, 0};
        }
        out.room(kRowExtra);
        out.put(csv::kRecordEnd);
    }
    r.bytes = out.take();
    return r;
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
                return ExportResult{{}, unwritable(i, field), {}, {}, 0};
        }
        out.room(3);
        out.put(i + 1 < count ? "},\n" : "}\n");
    }
    out.room(2);
    out.put("]\n");
    return ExportResult{out.take(), {}, {}, {}, 0};
}

} // namespace

ExportResult exportCsv(const std::vector<Entry>& entries, Layout layout, Cells cells) {
    return writeCsv(EntryFields<Format::Csv>(entries), layout, cells);
}

ExportResult exportCsv(const EntryStore& entries, Layout layout, Cells cells) {
    return writeCsv(StoreFields<Format::Csv>(entries), layout, cells);
}

ExportResult exportJson(const std::vector<Entry>& entries) {
    return writeJson(EntryFields<Format::Json>(entries));
}

ExportResult exportJson(const EntryStore& entries) {
    return writeJson(StoreFields<Format::Json>(entries));
}

} // namespace interchange
