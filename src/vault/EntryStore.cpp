#include "vault/EntryStore.h"

#include "secrets/Wipe.h"
#include "vault/Ansi.h"
#include "vault/LargeMemory.h"
#include "vault/VaultFormat.h"

#include <QRandomGenerator>

#include <algorithm>
#include <array>
#include <bit>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <optional>
#include <unordered_map>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace {

constexpr char kEscapeMarkerCiphered = vaultformat::kCipheredEscapeMarker;
constexpr unsigned char kBar = vaultformat::kCipheredBar;
constexpr qsizetype kSeparatorSize = sizeof vaultformat::kSeparator - 1;
// markersOf16() finds separators of three bars.
static_assert(kSeparatorSize == 3);

// The text with every character case-folded, as a comparison that ignores
// case sees it.
void appendFoldedText(std::vector<char16_t>& out, const QString& text) {
    const char16_t* p = reinterpret_cast<const char16_t*>(text.utf16());
    const qsizetype n = text.size();
    for (qsizetype i = 0; i < n; ++i) {
        const char16_t c = p[i];
        if (c < 0x80) {
            out.push_back(c >= 'A' && c <= 'Z' ? static_cast<char16_t>(c + 32) : c);
        } else if (QChar::isHighSurrogate(c) && i + 1 < n && QChar::isLowSurrogate(p[i + 1])) {
            const char32_t f = QChar::toCaseFolded(QChar::surrogateToUcs4(c, p[i + 1]));
            out.push_back(QChar::highSurrogate(f));
            out.push_back(QChar::lowSurrogate(f));
            ++i;
        } else {
            out.push_back(static_cast<char16_t>(QChar::toCaseFolded(static_cast<char32_t>(c))));
        }
    }
}

// For each ciphered byte, the case-folded character it reads as: the same
// units appendFoldedText() gives for the decoded text, without decoding it.
const std::array<char16_t, 256>& foldedCipheredBytes() {
    static const std::array<char16_t, 256> table = [] {
        std::array<char16_t, 256> t{};
        for (int b = 0; b < 256; ++b) {
            const char ciphered = static_cast<char>(b);
            const QString text = ansi::decodeCiphered(QByteArrayView(&ciphered, 1));
            std::vector<char16_t> folded;
            appendFoldedText(folded, text);
            t[static_cast<size_t>(b)] = folded.at(0);
        }
        return t;
    }();
    return table;
}

// Bit k is set when byte k of the sixteen at `p` is a CR, starts three
// ciphered bars (a separator), or is the ciphered escape marker, the one
// byte that may read as a character written otherwise (see isSavedForm()):
// the only places where a line or a field ends or a line needs a closer look.
// Reads eighteen bytes.
unsigned markersOf16(const unsigned char* p) {
#if defined(__SSE2__)
    auto is = [](__m128i x, int byte) {
        return _mm_cmpeq_epi8(x, _mm_set1_epi8(static_cast<char>(byte)));
    };
    const __m128i x0 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    const __m128i x1 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 1));
    const __m128i x2 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 2));
    const __m128i bars = _mm_and_si128(is(x0, kBar), _mm_and_si128(is(x1, kBar), is(x2, kBar)));
    const __m128i all =
        _mm_or_si128(_mm_or_si128(is(x0, '\r'), bars), is(x0, kEscapeMarkerCiphered));
    return static_cast<unsigned>(_mm_movemask_epi8(all));
#else
    unsigned m = 0;
    for (int k = 0; k < 16; ++k) {
        const unsigned c = p[k];
        const bool bars = c == kBar && p[k + 1] == kBar && p[k + 2] == kBar;
        const bool marker = c == static_cast<unsigned char>(kEscapeMarkerCiphered);
        m |= unsigned(c == '\r' || bars || marker) << k;
    }
    return m;
#endif
}

// What one pass over the lines finds out about a line.
struct ScannedLine {
    qsizetype start;
    qsizetype end;
    int separators; // as a reader finds them, left to right
    bool marker;    // holds the escape marker: an escape, or a character a save escapes
};

// One pass over the lines of `data`, visiting only the marked places, that
// may stop where the readable bytes end and go on when there are more; calls
// `line` with each line once it is whole. A line ends at CR LF, a lone CR or
// the end of the data. The same rules as forEachLine() and
// findCipheredSeparator(), without a call per line or field.
class LineScanner {
public:
    LineScanner(const char* data, qsizetype size, qsizetype from)
        : m_p(reinterpret_cast<const unsigned char*>(data)), m_size(size),
          m_at(from), m_current{from, 0, 0, false}, m_searchFrom(from) {}

    // Visits what lies in the first `readable` bytes: whole steps of sixteen
    // (each looks two bytes further), and at the end of the data the rest.
    template <class LineFound> void scanTo(qsizetype readable, LineFound line) {
        for (; m_at + 18 <= readable; m_at += 16)
            for (unsigned m = markersOf16(m_p + m_at); m != 0; m &= m - 1)
                visit(m_at + std::countr_zero(m), line);
        if (readable < m_size || m_at > m_size)
            return;
        // The last few bytes, from a copy padded with zeros: no marker there.
        unsigned char tail[34] = {};
        std::memcpy(tail, m_p + m_at, static_cast<size_t>(m_size - m_at));
        for (qsizetype half = 0; m_at + half < m_size; half += 16) {
            const qsizetype left = m_size - m_at - half;
            unsigned m = markersOf16(tail + half);
            if (left < 16)
                m &= (1u << left) - 1;
            for (; m != 0; m &= m - 1)
                visit(m_at + half + std::countr_zero(m), line);
        }
        if (m_current.start < m_size) {
            m_current.end = m_size;
            line(m_current);
        }
        m_at = m_size + 1; // done
    }

    // The same bytes, somewhere else.
    void rebase(const char* data) { m_p = reinterpret_cast<const unsigned char*>(data); }

private:
    template <class LineFound> void visit(qsizetype at, LineFound& line) {
        const unsigned char c = m_p[at];
        if (c == '\r') {
            m_current.end = at;
            line(m_current);
            qsizetype next = at + 1;
            if (next < m_size && m_p[next] == '\n')
                ++next;
            m_current = ScannedLine{next, 0, 0, false};
            m_searchFrom = next;
        } else if (c == kBar) {
            if (at >= m_searchFrom) { // not inside the separator just found
                ++m_current.separators;
                m_searchFrom = at + kSeparatorSize;
            }
        } else {
            m_current.marker = true;
        }
    }

    const unsigned char* m_p;
    qsizetype m_size;
    qsizetype m_at;         // where the next step starts
    ScannedLine m_current;  // the line being read
    qsizetype m_searchFrom; // where the next separator may begin
};

// The bytes of one field of a line in the form a save writes.
QByteArrayView fieldOf(QByteArrayView line, int field) {
    const qsizetype first = vaultformat::findCipheredSeparator(line, 0);
    if (field == EntryStore::Username)
        return line.first(first);
    const qsizetype second = vaultformat::findCipheredSeparator(line, first + kSeparatorSize);
    if (field == EntryStore::Password)
        return line.sliced(first + kSeparatorSize, second - first - kSeparatorSize);
    return line.sliced(second + kSeparatorSize);
}

} // namespace

// What a Loader has read so far.
struct EntryStore::Loader::State {
    explicit State(QByteArrayView file) : data(file.data()), size(file.size()) {}

    const char* data;
    qsizetype size;
    // Where the entries start, once the master password's line is whole;
    // until then, how far its end was looked for.
    std::optional<LineScanner> scanner;
    qsizetype masterSearched = 0;
    EntryStore store;
    // Lines that are not as a save writes them are written anew into a block
    // of their own; every other line stays where it is in the file's bytes.
    QByteArray rewritten;
    std::vector<qsizetype> rewrittenStarts;
    std::vector<size_t> rewrittenSlots;

    // The first line is the master password; the entries start after it.
    bool findEntries(qsizetype readable) {
        const void* cr = std::memchr(data + masterSearched, '\r',
                                     static_cast<size_t>(readable - masterSearched));
        qsizetype start = size;
        if (cr) {
            start = static_cast<const char*>(cr) - data + 1;
            // Its LF, if it has one, may not be readable yet.
            if (start == readable && readable < size) {
                masterSearched = start - 1;
                return false;
            }
            if (start < size && data[start] == '\n')
                ++start;
        } else if (readable < size) {
            masterSearched = readable;
            return false;
        }
        scanner.emplace(data, size, start);
        // Room for lines of a usual length; longer files grow it.
        store.m_lines.reserve(static_cast<size_t>((size - start) / 32 + 1));
        return true;
    }

    void take(const ScannedLine& scanned) {
        const QByteArrayView raw(data + scanned.start, scanned.end - scanned.start);
        if (vaultformat::isSkippedLine(raw))
            return;
        const bool kept = scanned.separators == vaultformat::kFields - 1 &&
                          (!scanned.marker || vaultformat::isSavedForm(raw));
        if (!kept) {
            rewrittenSlots.push_back(store.m_lines.size());
            rewrittenStarts.push_back(rewritten.size());
            vaultformat::appendEntryLine(rewritten, vaultformat::decodeEntryLine(raw));
        }
        store.m_lines.push_back(Line{scanned.start, raw.size(), 0});
    }
};

EntryStore::Loader::Loader(QByteArrayView file) : m_state(std::make_unique<State>(file)) {}

EntryStore::Loader::~Loader() = default;

void EntryStore::Loader::readTo(qsizetype readable) {
    State& s = *m_state;
    readable = std::min(readable, s.size);
    if (!s.scanner && !s.findEntries(readable))
        return;
    s.scanner->scanTo(readable, [&s](const ScannedLine& scanned) { s.take(scanned); });
}

EntryStore EntryStore::Loader::finish(QByteArray file) {
    State& s = *m_state;
    if (file.constData() != s.data) {
        s.data = file.constData();
        if (s.scanner)
            s.scanner->rebase(s.data);
    }
    readTo(s.size);
    EntryStore& store = s.store;
    if (store.m_lines.size() > s.rewrittenSlots.size()) {
        store.m_blocks.push_back(std::move(file));
        store.m_blockUsers.push_back(
            static_cast<qsizetype>(store.m_lines.size() - s.rewrittenSlots.size()));
    }
    if (!s.rewrittenSlots.empty()) {
        s.rewrittenStarts.push_back(s.rewritten.size());
        const int block = store.addBlock(std::move(s.rewritten));
        store.m_blockUsers[static_cast<size_t>(block)] =
            static_cast<qsizetype>(s.rewrittenSlots.size());
        for (size_t k = 0; k < s.rewrittenSlots.size(); ++k)
            store.m_lines[s.rewrittenSlots[k]] =
                Line{s.rewrittenStarts[k], s.rewrittenStarts[k + 1] - s.rewrittenStarts[k], block};
    }
    return std::move(store);
}

EntryStore::~EntryStore() {
    if (m_wipes)
        for (QByteArray& block : m_blocks)
            secrets::wipe(block);
}

EntryStore& EntryStore::operator=(EntryStore&& other) noexcept {
    if (this != &other) {
        if (m_wipes)
            for (QByteArray& block : m_blocks)
                secrets::wipe(block);
        m_lines = std::move(other.m_lines);
        m_blocks = std::move(other.m_blocks);
        m_blockUsers = std::move(other.m_blockUsers);
        m_freeBlocks = std::move(other.m_freeBlocks);
        m_wipes = other.m_wipes;
    }
    return *this;
}

void EntryStore::freeBlock(QByteArray& block) {
    if (m_wipes)
        secrets::wipe(block);
    else
        block = QByteArray();
}

EntryStore EntryStore::fromFile(QByteArray file) {
    Loader loader(file);
    return loader.finish(std::move(file));
}

QByteArrayView EntryStore::line(size_t slot) const {
    const Line& l = m_lines[slot];
    return QByteArrayView(m_blocks[static_cast<size_t>(l.block)].constData() + l.offset, l.size);
}

QByteArrayView EntryStore::fieldBytes(size_t slot, int field) const {
    return fieldOf(line(slot), field);
}

QString EntryStore::field(size_t slot, int field) const {
    return vaultformat::decodeCipheredField(fieldBytes(slot, field));
}

QString EntryStore::fieldStart(size_t slot, int field, qsizetype maxChars) const {
    const QByteArrayView bytes = fieldBytes(slot, field);
    // A plain byte is one character; an escaped field spends the marker and
    // four hex digits on each UTF-16 unit.
    const bool escaped = !bytes.isEmpty() && bytes[0] == kEscapeMarkerCiphered;
    const qsizetype budget = escaped ? 1 + 4 * maxChars : maxChars;
    if (bytes.size() <= budget)
        return vaultformat::decodeCipheredField(bytes);
    QString start = vaultformat::decodeCipheredField(bytes.first(budget));
    if (!start.isEmpty() && start.back().isHighSurrogate())
        start.chop(1);
    return start + QChar(0x2026);
}

Entry EntryStore::entry(size_t slot) const {
    return Entry{field(slot, Username), field(slot, Password), field(slot, Location)};
}

bool EntryStore::followsInMemory(size_t slot, size_t next) const {
    const Line& a = m_lines[slot];
    const Line& b = m_lines[next];
    if (a.block != b.block || b.offset != a.offset + a.size + 2)
        return false;
    const char* between = m_blocks[static_cast<size_t>(a.block)].constData() + a.offset + a.size;
    return between[0] == '\r' && between[1] == '\n';
}

qsizetype EntryStore::lineBytes() const {
    qsizetype total = 0;
    for (const Line& l : m_lines)
        total += l.size;
    return total;
}

void EntryStore::appendFolded(size_t slot, int field, std::vector<char16_t>& out) const {
    const QByteArrayView bytes = fieldBytes(slot, field);
    if (!bytes.isEmpty() && bytes[0] == kEscapeMarkerCiphered) {
        appendFoldedText(out, vaultformat::decodeCipheredField(bytes));
        return;
    }
    const std::array<char16_t, 256>& fold = foldedCipheredBytes();
    const size_t at = out.size();
    out.resize(at + static_cast<size_t>(bytes.size()));
    char16_t* d = out.data() + at;
    const unsigned char* b = reinterpret_cast<const unsigned char*>(bytes.data());
    for (qsizetype i = 0; i < bytes.size(); ++i)
        d[i] = fold[b[i]];
}

int EntryStore::addBlock(QByteArray bytes) {
    if (!m_freeBlocks.empty()) {
        const int block = m_freeBlocks.back();
        m_freeBlocks.pop_back();
        m_blocks[static_cast<size_t>(block)] = std::move(bytes);
        m_blockUsers[static_cast<size_t>(block)] = 0;
        return block;
    }
    m_blocks.push_back(std::move(bytes));
    m_blockUsers.push_back(0);
    return static_cast<int>(m_blocks.size() - 1);
}

void EntryStore::release(int block) {
    const size_t b = static_cast<size_t>(block);
    if (--m_blockUsers[b] == 0) {
        freeBlock(m_blocks[b]);
        m_freeBlocks.push_back(block);
    }
}

void EntryStore::makeRoom(size_t more) {
    // At least double, as push_back would: entries added one at a time must
    // not copy every line record each time.
    const size_t wanted = m_lines.size() + more;
    if (wanted <= m_lines.capacity())
        return;
    m_lines.reserve(std::max(wanted, 2 * m_lines.capacity()));
    Line* const unused = m_lines.data() + m_lines.size();
    largememory::adviseHugePages(unused, (m_lines.capacity() - m_lines.size()) * sizeof(Line));
}

void EntryStore::appendEncoded(QByteArray bytes, const std::vector<qsizetype>& starts) {
    const size_t count = starts.size();
    if (count == 0)
        return;
    const qsizetype end = bytes.size();
    const int block = addBlock(std::move(bytes));
    m_blockUsers[static_cast<size_t>(block)] = static_cast<qsizetype>(count);
    makeRoom(count);
    for (size_t k = 0; k < count; ++k) {
        const qsizetype next = k + 1 < count ? starts[k + 1] : end;
        m_lines.push_back(Line{starts[k], next - starts[k] - 2, block});
    }
}

void EntryStore::append(const std::vector<Entry>& entries) {
    QByteArray bytes;
    qsizetype size = 0;
    for (const Entry& e : entries)
        size += e.username.size() + e.password.size() + e.location.size() + 8;
    bytes.reserve(size);
    std::vector<qsizetype> starts;
    starts.reserve(entries.size());
    for (const Entry& e : entries) {
        starts.push_back(bytes.size());
        vaultformat::appendEntryLine(bytes, e);
        bytes.append("\r\n", 2);
    }
    appendEncoded(std::move(bytes), starts);
}

void EntryStore::append(const Entry& entry) {
    append(std::vector<Entry>{entry});
}

void EntryStore::append(EntryStore&& other) {
    if (m_lines.empty() && m_blocks.empty()) {
        const bool wipes = m_wipes;
        *this = std::move(other);
        m_wipes = m_wipes || wipes;
        return;
    }
    m_wipes = m_wipes || other.m_wipes;
    const int base = static_cast<int>(m_blocks.size());
    for (size_t b = 0; b < other.m_blocks.size(); ++b) {
        m_blocks.push_back(std::move(other.m_blocks[b]));
        m_blockUsers.push_back(other.m_blockUsers[b]);
    }
    for (int b : other.m_freeBlocks)
        m_freeBlocks.push_back(base + b);
    makeRoom(other.m_lines.size());
    for (Line line : other.m_lines) {
        line.block += base;
        m_lines.push_back(line);
    }
    other = EntryStore();
}

namespace {

// A line's hash, and whether it holds the escape marker, from one pass over
// it sixteen bytes at a time. The hash is keyed anew in every run, so that no
// file can be made to collide on purpose.
struct LineLook {
    std::uint64_t hash;
    bool marker;
};

LineLook lookAt(QByteArrayView line, std::uint64_t key) {
    constexpr std::uint64_t kOnes = 0x0101010101010101ull;
    constexpr std::uint64_t kTops = 0x8080808080808080ull;
    constexpr std::uint64_t kMarkers = kOnes * static_cast<unsigned char>(kEscapeMarkerCiphered);
    constexpr std::uint64_t kMix = 0x9E3779B97F4A7C15ull;
    const char* p = line.data();
    const qsizetype n = line.size();
    // Two words at a time, each pair folded by a wide multiply: the product's
    // halves together depend on every bit of both.
    const auto fold = [](std::uint64_t a, std::uint64_t b) {
        const unsigned __int128 product = static_cast<unsigned __int128>(a) * b;
        return static_cast<std::uint64_t>(product) ^ static_cast<std::uint64_t>(product >> 64);
    };
    std::uint64_t h = key ^ (static_cast<std::uint64_t>(n) * kMix);
    std::uint64_t marker = 0;
    const auto take = [&](std::uint64_t a, std::uint64_t b) {
        const std::uint64_t ma = a ^ kMarkers, mb = b ^ kMarkers; // zero bytes where markers were
        marker |= ((ma - kOnes) & ~ma) | ((mb - kOnes) & ~mb);
        h = fold(a ^ h, b ^ kMix);
    };
    const auto word = [p](qsizetype at) {
        std::uint64_t w;
        std::memcpy(&w, p + at, 8);
        return w;
    };
    qsizetype i = 0;
    for (; i + 16 <= n; i += 16)
        take(word(i), word(i + 8));
    // The last bytes are read as whole words that end with the line and may
    // reach back over bytes already taken, which is still a function of the
    // line: a word built from bytes just stored would wait on the stores.
    if (i < n) {
        if (n >= 16) {
            take(word(n - 16), word(n - 8));
        } else if (n >= 8) {
            take(word(0), word(n - 8));
        } else {
            std::uint64_t w = ~kMarkers; // never taken for a marker
            for (qsizetype k = 0; k < n; ++k)
                w = (w << 8) | static_cast<unsigned char>(p[k]);
            take(w, ~kMarkers);
        }
    }
    return {fold(h, kMix), (marker & kTops) != 0};
}

} // namespace

std::vector<std::uint32_t> EntryStore::numberedWith(const EntryStore& other) const {
    // A save writes one line for each entry and reads it back as that entry,
    // so two entries are the same exactly when the lines a save writes for
    // them are: they are compared as bytes, without a string made for them.
    // Only a line with the escape marker can differ from the line a save
    // writes now for the entry it reads as (it was kept as an earlier save
    // wrote it); such lines are made anew for the comparison.
    const size_t mine = size();
    const size_t total = mine + other.size();
    std::unordered_map<size_t, QByteArray> madeAnew;
    const auto lineOf = [&](size_t k) -> QByteArrayView {
        if (!madeAnew.empty()) {
            const auto it = madeAnew.find(k);
            if (it != madeAnew.end())
                return it->second;
        }
        return k < mine ? line(k) : other.line(k - mine);
    };
    // Open addressing: each slot holds the top half of a line's hash and the
    // number + 1 of the line that first held the entry, or 0. Half full at
    // most.
    const size_t mask = std::bit_ceil(2 * total + 1) - 1;
    const std::unique_ptr<std::uint64_t, decltype(&std::free)> cells(
        static_cast<std::uint64_t*>(std::calloc(mask + 1, sizeof(std::uint64_t))), &std::free);
    if (!cells)
        throw std::bad_alloc();
    largememory::adviseHugePages(cells.get(), (mask + 1) * sizeof(std::uint64_t));
    std::uint64_t* const table = cells.get();
    static const std::uint64_t key = QRandomGenerator::system()->generate64();
    const auto lookUp = [&](size_t k) {
        LineLook look = lookAt(lineOf(k), key);
        if (look.marker) {
            QByteArray now = vaultformat::encodeEntryLine(vaultformat::decodeEntryLine(lineOf(k)));
            look = lookAt(now, key);
            madeAnew.emplace(k, std::move(now));
        }
        return look.hash;
    };
    // Numbered in order, each line after the lines before it, so the
    // numbers are appended rather than written into zeroed memory.
    std::vector<std::uint32_t> numbers;
    numbers.reserve(total);
    std::uint32_t next = 0;
    const auto number = [&](size_t k, std::uint64_t hash) {
        const std::uint64_t tag = hash & ~std::uint64_t(0xFFFFFFFF);
        for (size_t at = hash & mask;; at = (at + 1) & mask) {
            const std::uint64_t slot = table[at];
            if (slot == 0) {
                table[at] = tag | (k + 1);
                return next++;
            }
            const size_t first = (slot & 0xFFFFFFFF) - 1;
            if ((slot & ~std::uint64_t(0xFFFFFFFF)) == tag && lineOf(first) == lineOf(k))
                return numbers[first];
        }
    };
    // The table outgrows the nearest cache for a large vault: the hashes of
    // a batch of lines are taken first, and their slots asked for, so that
    // the waits on memory overlap.
    constexpr size_t kBatch = 16;
    std::uint64_t hashes[kBatch];
    for (size_t first = 0; first < total; first += kBatch) {
        const size_t count = std::min(kBatch, total - first);
        for (size_t b = 0; b < count; ++b) {
            hashes[b] = lookUp(first + b);
            __builtin_prefetch(&table[hashes[b] & mask]);
        }
        for (size_t b = 0; b < count; ++b)
            numbers.push_back(number(first + b, hashes[b]));
    }
    return numbers;
}

void EntryStore::appendChosen(EntryStore&& other, const std::vector<bool>& chosen) {
    if (std::find(chosen.begin(), chosen.end(), false) == chosen.end()) {
        append(std::move(other));
        return;
    }
    QByteArray bytes;
    std::vector<qsizetype> starts;
    for (size_t s = 0; s < other.size(); ++s) {
        if (!chosen[s])
            continue;
        starts.push_back(bytes.size());
        bytes.append(other.line(s)).append("\r\n", 2);
    }
    appendEncoded(std::move(bytes), starts);
    other = EntryStore();
}

qsizetype EntryStore::appendAbsent(EntryStore&& other) {
    const std::vector<std::uint32_t> numbers = numberedWith(other);
    // Numbers count up as entries first appear: an entry of `other` is new
    // where its number does.
    std::uint32_t seen = 0;
    std::vector<bool> chosen(other.size());
    for (size_t k = 0; k < numbers.size(); ++k) {
        const bool first = numbers[k] == seen;
        seen += first ? 1 : 0;
        if (k >= size())
            chosen[k - size()] = first;
    }
    const qsizetype leftOut = std::count(chosen.begin(), chosen.end(), false);
    appendChosen(std::move(other), chosen);
    return leftOut;
}

void EntryStore::replace(size_t slot, const Entry& entry) {
    EntryStore one;
    one.append(entry);
    const int old = m_lines[slot].block;
    Line line = one.m_lines[0];
    line.block = addBlock(std::move(one.m_blocks[0]));
    m_blockUsers[static_cast<size_t>(line.block)] = 1;
    m_lines[slot] = line;
    release(old);
}

void EntryStore::erase(size_t slot) {
    const int block = m_lines[slot].block;
    m_lines.erase(m_lines.begin() + static_cast<std::ptrdiff_t>(slot));
    release(block);
}
