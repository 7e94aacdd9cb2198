#include "interchange/Interchange.h"

#include "interchange/Csv.h"
#include "interchange/LineBits.h"
#include "interchange/Places.h"
#include "interchange/Shared.h"
#include "vault/LargeMemory.h"
#include "vault/Utf8.h"
#include "vault/VaultFormat.h"

#include <QHashFunctions>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonParseError>
#include <QJsonValue>
#include <QStringDecoder>

#include <algorithm>
#include <array>
#include <bit>
#include <cstdint>
#include <cstring>
#include <map>
#include <memory>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

// Reading entries in: CSV through the layouts' tables, and JSON.
namespace interchange {
namespace {

// The bars of a separator as the vault holds them, ciphered.
constexpr char kBar = static_cast<char>(vaultformat::kCipheredBar);
constexpr qsizetype kSeparatorSize = sizeof vaultformat::kSeparator - 1;

template <class Result> Result failed(Result r, QString error, int line, qsizetype item = -1) {
    r.entries = {};
    r.notKept = {};
    r.dropped = {};
    r.error = std::move(error);
    r.line = line;
    r.item = item;
    return r;
}

// Reads the header line: which table it is of, or false with what is wrong
// and the line it is on.
bool readHeader(QByteArrayView bytes, csv::Reader& reader, std::vector<QByteArrayView>& fields,
                HeaderMatch& match, QString& error, int& line) {
    if (!reader.next(fields)) {
        const bool empty = reader.error().isEmpty();
        error = empty ? QStringLiteral("line 1: the file is empty; a header line was expected")
                      : headerLineError(bytes, reader);
        line = empty ? 1 : reader.errorLine();
        return false;
    }
    match = matchHeader(fields);
    if (!match.table) {
        line = reader.line();
        error = QStringLiteral("line %1: %2").arg(line).arg(match.error);
    }
    return match.table != nullptr;
}

// Counts a record of a kind column's value other than a login's, named as
// its manager names the kind: Bitwarden's CSV holds secure notes ("note")
// beside logins.
void skipKind(ImportReport& r, QByteArrayView kind) {
    static const struct {
        const char* value;
        const char* one;
        const char* many;
    } kKinds[] = {{"note", "secure note", "secure notes"},
                  {"card", "card", "cards"},
                  {"identity", "identity", "identities"},
                  {"sshkey", "SSH key", "SSH keys"}};
    for (const auto& k : kKinds)
        if (kind == QByteArrayView(k.value))
            return skipNotLogin(r, QString::fromUtf8(k.one), QString::fromUtf8(k.many));
    const QString value = QString::fromUtf8(kind);
    skipNotLogin(r, QStringLiteral("item of the type \"%1\"").arg(value),
                 QStringLiteral("items of the type \"%1\"").arg(value));
}

// Whether a record's group path, from the root on, is the recycle bin
// right under the root, or a group inside it.
bool inRecycleBin(QByteArrayView path, QByteArrayView bin) {
    const qsizetype slash = path.indexOf('/');
    if (slash < 0)
        return false;
    const QByteArrayView below = path.sliced(slash + 1);
    return below.startsWith(bin) && (below.size() == bin.size() || below[bin.size()] == '/');
}

// The addresses of a cell that holds several, as Bitwarden's importer reads
// them: the fields of a CSV record, each without the white space around it,
// the empty ones none. A quoted field is taken as its quotes hold it, a
// doubled quote standing for one. A line break parts addresses as a comma
// does.
std::vector<QByteArray> splitAddresses(QByteArrayView cell) {
    std::vector<QByteArray> addresses;
    const qsizetype n = cell.size();
    for (qsizetype i = 0; i <= n; ++i) {
        const auto blank = [](char c) { return c == ' ' || c == '\t'; };
        while (i < n && blank(cell[i]))
            ++i;
        QByteArray address;
        if (i < n && cell[i] == '"') {
            for (++i; i < n; ++i) {
                if (cell[i] == '"' && (i + 1 >= n || cell[i + 1] != '"')) {
                    ++i;
                    break;
                }
                i += cell[i] == '"' ? 1 : 0;
                address += cell[i];
            }
        }
        const qsizetype from = i;
        while (i < n && cell[i] != ',' && cell[i] != '\r' && cell[i] != '\n')
            ++i;
        address += cell.sliced(from, i - from).trimmed();
        if (!address.isEmpty())
            addresses.push_back(std::move(address));
    }
    return addresses;
}

} // namespace

bool holdsSeveralAddresses(QByteArrayView cell) {
    return cell.contains(',') || cell.contains('\n') || cell.contains('\r') ||
           cell.trimmed().startsWith('"');
}

namespace {

// The field references of KeePassXC's CSV, which holds an entry's title,
// username, password, URL and notes, and no identities: a reference by
// identity, which KeePassXC makes of a clone, finds nothing. Null when the
// file cannot be read; the reading proper says why.
std::unique_ptr<FieldReferences> csvFieldReferences(QByteArrayView bytes,
                                                    const std::vector<QString>& names, int title,
                                                    int username, int password, int address) {
    csv::Reader reader(bytes);
    std::vector<QByteArrayView> fields;
    if (!reader.next(fields))
        return nullptr;
    int notes = -1;
    for (size_t k = 0; k < names.size(); ++k)
        if (names[k].compare(QLatin1String("notes"), Qt::CaseInsensitive) == 0)
            notes = static_cast<int>(k);
    const int at[5] = {title, username, password, address, notes};
    auto records = std::make_shared<std::vector<std::array<QByteArray, 5>>>();
    while (reader.next(fields)) {
        if (fields.size() != names.size())
            return nullptr;
        std::array<QByteArray, 5>& record = records->emplace_back();
        for (int k = 0; k < 5; ++k)
            if (at[k] >= 0)
                record[static_cast<size_t>(k)] = fields[static_cast<size_t>(at[k])].toByteArray();
    }
    if (!reader.error().isEmpty())
        return nullptr;
    return std::make_unique<FieldReferences>(
        records->size(), [records](size_t i, char letter) -> QByteArray {
            const qsizetype k = QByteArrayView("TUPAN").indexOf(letter);
            return k < 0 ? QByteArray() : (*records)[i][static_cast<size_t>(k)];
        });
}

// Reads a CSV file of any layout and hands each record worth keeping to
// `take`, as its entry's username, password and location in UTF-8, and
// counts what each column held that is not kept. In our own layout, with
// its columns in their order, `quick` may read records first: it is given
// the input from a record on, and returns how many bytes it took as how
// many records, each one line and one entry; none leaves the next record
// to the reader. False, with the report saying why, at the first problem.
template <class Take, class Quick>
bool readCsv(QByteArrayView bytes, ImportReport& r, Take take, Quick quick) {
    r.format = Format::Csv;
    csv::Reader reader(bytes);
    std::vector<QByteArrayView> fields;
    const auto fail = [&r](QString error, int line) {
        r.error = std::move(error);
        r.line = line;
        r.dropped = {};
        return false;
    };
    HeaderMatch header;
    if (!readHeader(bytes, reader, fields, header, r.error, r.line))
        return false;
    const LayoutTable& table = *header.table;
    r.layout = table.layout;
    const size_t columns = fields.size();
    std::vector<QString> names;
    for (const QByteArrayView name : fields)
        names.push_back(QString::fromUtf8(name.trimmed()));
    int username = -1, password = -1, address = -1, title = -1, kind = -1;
    struct Counted {
        size_t at;
        const Column* column;
        qsizetype cells;
    };
    // The columns not kept, and the title, whose cells are lost where the
    // address is kept instead and they say more than it.
    std::vector<Counted> counted;
    for (size_t k = 0; k < columns; ++k) {
        const Column* c = header.columns[k];
        const int at = static_cast<int>(k);
        switch (c->role) {
        case Role::Username:
            username = at;
            break;
        case Role::Password:
            password = at;
            break;
        case Role::Address:
            address = at;
            // Its further addresses, where one cell holds several.
            if (table.addressesInOneCell)
                counted.push_back({k, c, 0});
            break;
        case Role::Title:
            title = at;
            counted.push_back({k, c, 0});
            break;
        case Role::Kind:
            kind = at;
            break;
        case Role::NotKept:
            counted.push_back({k, c, 0});
            break;
        case Role::Bookkeeping:
            break;
        }
    }
    const bool quickly =
        table.layout == Layout::Keynook && username == 0 && password == 1 && address == 2;
    std::unique_ptr<FieldReferences> references =
        table.layout == Layout::KeePassXC && FieldReferences::mayHold(bytes)
            ? csvFieldReferences(bytes, names, title, username, password, address)
            : nullptr;
    qsizetype unresolved = 0;
    // The fields of a record that refers to others, resolved.
    QByteArray resolved[4];
    int group = -1;
    for (size_t k = 0; k < columns && table.recycleBin; ++k)
        if (names[k].compare(QLatin1String("group"), Qt::CaseInsensitive) == 0)
            group = static_cast<int>(k);
    // An address cell that holds several addresses: the first, and how many
    // follow it.
    QByteArray firstAddress;
    qsizetype furtherAddresses = 0;
    const QByteArrayView login = kind >= 0 ? QByteArrayView(header.columns[kind]->value) : "";
    const QByteArrayView note = table.noteAddress ? QByteArrayView(table.noteAddress) : "";
    size_t taken = 0;
    for (;;) {
        if (quickly) {
            int records = 0;
            const qsizetype size = quick(reader.rest(), records);
            if (records > 0) {
                reader.passRecords(size, records);
                taken += static_cast<size_t>(records);
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
        if (kind >= 0 && fields[kind] != login) {
            skipKind(r, fields[kind]);
            continue;
        }
        if (table.noteAddress && fields[address] == note) {
            skipNotLogin(r, QStringLiteral("secure note"), QStringLiteral("secure notes"));
            continue;
        }
        if (group >= 0 && inRecycleBin(fields[group], table.recycleBin)) {
            ++r.skippedRecycled;
            continue;
        }
        std::uint64_t dropped = 0;
        if (references) {
            qsizetype failed = 0;
            const int at[4] = {title, username, password, address};
            for (int k = 0; k < 4; ++k) {
                QByteArrayView& cell = fields[static_cast<size_t>(at[k])];
                if (FieldReferences::mayHold(cell)) {
                    resolved[k] = references->resolved(cell, failed);
                    cell = resolved[k];
                }
            }
            if (failed > 0) {
                unresolved += failed;
                dropped = mixCell(dropped, columns, QByteArray::number(failed));
            }
        }
        furtherAddresses = 0;
        if (table.addressesInOneCell && holdsSeveralAddresses(fields[address])) {
            const std::vector<QByteArray> addresses = splitAddresses(fields[address]);
            firstAddress = addresses.empty() ? QByteArray() : addresses.front();
            furtherAddresses = addresses.empty() ? 0 : qsizetype(addresses.size()) - 1;
            fields[address] = firstAddress;
        }
        QByteArrayView location = fields[address];
        for (Counted& c : counted) {
            const QByteArrayView cell = fields[c.at];
            const Role role = c.column->role;
            const qsizetype lost =
                role == Role::Title ? !location.isEmpty() && !titleSpelledOut(cell, location)
                : role == Role::Address
                    ? furtherAddresses
                    : !cell.isEmpty() && !(c.column->unset && cell == c.column->unset);
            if (lost > 0) {
                c.cells += lost;
                dropped = mixCell(dropped, c.at, cell);
            }
        }
        if (location.isEmpty() && title >= 0)
            location = fields[title];
        if (fields[username].isEmpty() && fields[password].isEmpty() && location.isEmpty()) {
            ++r.skippedEmpty;
            continue;
        }
        r.guardedCells += qsizetype(startsGuarded(fields[username])) +
                          qsizetype(startsGuarded(fields[password])) +
                          qsizetype(startsGuarded(location));
        noteDropped(r, taken++, dropped);
        take(fields[username], fields[password], location);
    }
    if (!reader.error().isEmpty())
        return fail(reader.error(), reader.errorLine());
    for (const Counted& c : counted) {
        if (c.cells == 0)
            continue;
        const Role role = c.column->role;
        r.notKept.push_back({names[c.at],
                             role == Role::Title     ? QStringLiteral("title")
                             : role == Role::Address ? QStringLiteral("further URI")
                                                     : QString::fromUtf8(c.column->one),
                             role == Role::Title     ? QStringLiteral("titles")
                             : role == Role::Address ? QStringLiteral("further URIs")
                                                     : QString::fromUtf8(c.column->many),
                             c.cells});
    }
    if (unresolved > 0)
        r.notKept.push_back({QStringLiteral("{REF:…}"),
                             QStringLiteral("unresolved field reference"),
                             QStringLiteral("unresolved field references"), unresolved});
    return true;
}

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
        d = std::fill_n(d, kSeparatorSize, kBar);
        plain = putAsciiCiphered(d, password) && plain;
        d = std::fill_n(d, kSeparatorSize, kBar);
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
        // A field that may be guarded against spreadsheets is counted by
        // the reader.
        for (const auto& [from, to] : parts)
            if (to > from && p[from] == '\'')
                return 0;

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
                d = std::fill_n(d, kSeparatorSize, kBar);
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

// Where the first byte at or after `at` that is a quote, a backslash or a
// control character is, or `n`: sixteen bytes are looked at together while
// sixteen are left, as a JSON file is mostly the text of its strings.
qsizetype stringStop(const char* p, qsizetype at, qsizetype n) {
#if defined(__SSE2__)
    const __m128i quote = _mm_set1_epi8('"'), backslash = _mm_set1_epi8('\\');
    const __m128i high = _mm_set1_epi8(static_cast<char>(0xE0));
    for (; at + 16 <= n; at += 16) {
        const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + at));
        const __m128i control = _mm_cmpeq_epi8(_mm_and_si128(x, high), _mm_setzero_si128());
        const __m128i stops = _mm_or_si128(
            control, _mm_or_si128(_mm_cmpeq_epi8(x, quote), _mm_cmpeq_epi8(x, backslash)));
        const unsigned bits = static_cast<unsigned>(_mm_movemask_epi8(stops));
        if (bits != 0)
            return at + std::countr_zero(bits);
    }
#endif
    while (at < n && p[at] != '"' && p[at] != '\\' && static_cast<unsigned char>(p[at]) >= 0x20)
        ++at;
    return at;
}

// Where the first string of a JSON text that does not end on the line it
// starts on starts: a line break or another control character comes before
// its closing quote, or the end of the text does. JSON escapes those, and
// a quote left open is best told where it opens, not where a parser gives
// up on what follows. -1 when there is none.
qsizetype firstUnendedString(QByteArrayView text, bool& atEnd) {
    const char* const p = text.data();
    const qsizetype n = text.size();
    for (qsizetype i = 0; i < n; ++i) {
        const void* quote = std::memchr(p + i, '"', static_cast<size_t>(n - i));
        if (!quote)
            return -1;
        const qsizetype start = static_cast<const char*>(quote) - p;
        for (i = start + 1;; i += 2) {
            i = stringStop(p, i, n);
            if (i >= n) {
                atEnd = true;
                return start;
            }
            if (p[i] == '"')
                break;
            if (p[i] != '\\') {
                atEnd = false;
                return start;
            }
        }
    }
    return -1;
}

} // namespace

// What a record holds that is not kept, hashed cell by cell with the
// column's place, so that two records compare by it; never 0, which is
// nothing left out.
std::uint64_t mixCell(std::uint64_t hash, size_t column, QByteArrayView cell) {
    const std::uint64_t h = qHashBits(cell.data(), static_cast<size_t>(cell.size()), column);
    return ((hash ^ h) * 0x9E3779B97F4A7C15ull + column) | 1;
}

// Adds what a record dropped to the report: `hash` for the entry taken
// next, which is entry number `taken`.
void noteDropped(ImportReport& r, size_t taken, std::uint64_t hash) {
    if (hash == 0 && r.dropped.empty())
        return;
    if (r.dropped.empty())
        r.dropped.assign(taken, 0);
    r.dropped.push_back(hash);
}

QString headerLineError(QByteArrayView bytes, const csv::Reader& reader) {
    if (reader.errorLine() == 1) {
        const QString semicolons = semicolonsBetweenColumns(csv::firstLine(bytes));
        if (!semicolons.isEmpty())
            return QStringLiteral("line 1: ") + semicolons;
    }
    return reader.error();
}

void skipNotLogin(ImportReport& r, const QString& one, const QString& many) {
    ++r.skippedNotLogins;
    for (SkippedKind& k : r.notLogins) {
        if (k.one == one) {
            ++k.items;
            return;
        }
    }
    r.notLogins.push_back({one, many, 1});
}

bool startsGuarded(QByteArrayView cell) {
    if (cell.size() < 2 || cell[0] != '\'')
        return false;
    const char c = cell[1];
    return c == '=' || c == '+' || c == '-' || c == '@' || c == '\t' || c == '\r';
}

// Whether a JSON value holds anything: null, false and empty ones do not.
bool holdsSomething(const QJsonValue& v) {
    switch (v.type()) {
    case QJsonValue::Null:
    case QJsonValue::Undefined:
        return false;
    case QJsonValue::Bool:
        return v.toBool();
    case QJsonValue::String:
        return !v.toString().isEmpty();
    case QJsonValue::Array:
        return !v.toArray().isEmpty();
    case QJsonValue::Object:
        return !v.toObject().isEmpty();
    case QJsonValue::Double:
        return true;
    }
    return true;
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

class EncodedLines::Maker : public LineMaker {
public:
    using LineMaker::LineMaker;
};

EncodedLines::EncodedLines(qsizetype size) : m_maker(std::make_unique<Maker>(size)) {}

EncodedLines::~EncodedLines() = default;

void EncodedLines::add(QByteArrayView username, QByteArrayView password, QByteArrayView location) {
    m_maker->add(username, password, location);
}

EntryStore EncodedLines::take() {
    return m_maker->take();
}

EncodedImport importCsvEncoded(QByteArrayView bytes) {
    EncodedImport r;
    LineMaker lines(bytes.size());
    if (readCsv(
            bytes, r,
            [&](QByteArrayView u, QByteArrayView p, QByteArrayView l) { lines.add(u, p, l); },
            [&](QByteArrayView rest, int& records) { return lines.quick(rest, records); }))
        r.entries = lines.take();
    return r;
}

QByteArray jsonForQt(QByteArrayView bytes) {
    const qsizetype bom = utf8::byteOrderMarkSize(bytes);
    QByteArray text = QByteArray::fromRawData(bytes.data() + bom, bytes.size() - bom);
    if (text.contains(utf8::kFeff))
        text.replace(utf8::kFeff, "\\ufeff");
    return text;
}

ImportResult importJson(QByteArrayView bytes) {
    ImportResult r;
    r.format = Format::Json;
    const qsizetype bom = utf8::byteOrderMarkSize(bytes);
    // Qt reads JSON strictly as UTF-8 and keeps every character, U+0000
    // included, with three exceptions. It takes line breaks and other
    // control characters in a string as they are, which JSON escapes: the
    // strings are checked for those first. It lets an escaped lone
    // surrogate through, so strings are checked for those below. And it
    // drops a U+FEFF that starts a string written without escapes, as if it
    // were a byte order mark, while it keeps an escaped one: so every
    // U+FEFF is handed to it escaped. In UTF-8 only U+FEFF is EF BB BF, and
    // outside a string it is no more JSON escaped than it was before.
    const QByteArray text = QByteArray::fromRawData(bytes.data() + bom, bytes.size() - bom);
    bool atEnd = false;
    if (const qsizetype open = firstUnendedString(text, atEnd); open >= 0) {
        const int line = utf8::lineAt(text, open);
        return failed(std::move(r),
                      QStringLiteral("line %1: a quoted text that starts here %2")
                          .arg(line)
                          .arg(atEnd
                                   ? QStringLiteral("never ends")
                                   : QStringLiteral("does not end on its line (JSON writes a line "
                                                    "break in a text as \\n)")),
                      line);
    }
    const QByteArray forQt = jsonForQt(bytes);
    QJsonParseError parseError;
    const QJsonDocument document = QJsonDocument::fromJson(forQt, &parseError);
    if (parseError.error != QJsonParseError::NoError) {
        // The escapes put no line end in: the line is the file's.
        const int line = utf8::lineAt(forQt, parseError.offset);
        return failed(
            std::move(r),
            QStringLiteral("line %1: not JSON (%2)").arg(line).arg(parseError.errorString()), line);
    }
    if (!document.isArray())
        return failed(std::move(r), QStringLiteral("the JSON is not an array of entries"), 0);
    const QJsonArray items = document.array();
    r.entries.reserve(static_cast<size_t>(items.size()));
    // Keys of ours only: any other key that holds something is counted as
    // not kept, in the order the keys first come.
    std::map<QString, size_t> otherKeys;
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
        std::uint64_t dropped = 0;
        if (object.size() > 3) {
            for (auto it = object.constBegin(); it != object.constEnd(); ++it) {
                const QString& key = it.key();
                if (key == kFieldNames[0] || key == kFieldNames[1] || key == kFieldNames[2] ||
                    !holdsSomething(it.value()))
                    continue;
                const auto [at, added] = otherKeys.emplace(key, r.notKept.size());
                if (added)
                    r.notKept.push_back({key, QStringLiteral("value of \"%1\"").arg(key),
                                         QStringLiteral("values of \"%1\"").arg(key), 0});
                ++r.notKept[at->second].cells;
                const QByteArray value =
                    QJsonDocument(QJsonArray{it.value()}).toJson(QJsonDocument::Compact);
                dropped = mixCell(dropped, at->second, value);
            }
        }
        Entry e{std::move(texts[0]), std::move(texts[1]), std::move(texts[2])};
        if (e.username.isEmpty() && e.password.isEmpty() && e.location.isEmpty()) {
            ++r.skippedEmpty;
            continue;
        }
        noteDropped(r, r.entries.size(), dropped);
        r.entries.push_back(std::move(e));
    }
    return r;
}

} // namespace interchange
