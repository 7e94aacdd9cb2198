#pragma once

#include "vault/VaultFormat.h"

#include <QByteArrayView>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

// The lines of copies of one vault as the merge of copies reads them: where
// the entries start, which lines the copies hold as the same bytes in the
// same order, walked in step, and each line's print and hash. It reads the
// ciphered bytes as the file holds them, and takes the separator, the
// number of fields and the bytes that stand for them from the vault format;
// what the lines mean to a merge is the merge's.
namespace linescan {

// The escape marker as the file holds it: a line with it may read as an
// entry that a save writes in other bytes.
inline constexpr char kMarkerCiphered = vaultformat::kCipheredEscapeMarker;
// A line of the usual form has one separator fewer than it has fields.
inline constexpr int kSeparators = vaultformat::kFields - 1;
inline constexpr qsizetype kSeparatorSize = sizeof vaultformat::kSeparator - 1;

// One copy's bytes; the first line is the master password's.
struct Text {
    const char* data = nullptr;
    qsizetype size = 0;
    qsizetype entries = 0; // where the line after the master password's starts
};

Text textOf(QByteArrayView file);

// A line's hash: two words at a time, each pair folded by a wide multiply
// whose halves together depend on every bit of both. The key is new in
// every run, so that no file can be made to collide on purpose.
inline std::uint64_t hashOf(const char* p, qsizetype n, std::uint64_t key) {
    constexpr std::uint64_t kMix = 0x9E3779B97F4A7C15ull;
    const auto fold = [](std::uint64_t a, std::uint64_t b) {
        const unsigned __int128 product = static_cast<unsigned __int128>(a) * b;
        return static_cast<std::uint64_t>(product) ^ static_cast<std::uint64_t>(product >> 64);
    };
    const auto word = [p](qsizetype at) {
        std::uint64_t w;
        std::memcpy(&w, p + at, 8);
        return w;
    };
    std::uint64_t h = key ^ (static_cast<std::uint64_t>(n) * kMix);
    qsizetype i = 0;
    for (; i + 16 <= n; i += 16)
        h = fold(word(i) ^ h, word(i + 8) ^ kMix);
    // The last bytes as whole words that end with the line, reaching back
    // over bytes already taken where the line is long enough.
    if (i < n) {
        if (n >= 16) {
            h = fold(word(n - 16) ^ h, word(n - 8) ^ kMix);
        } else if (n >= 8) {
            h = fold(word(0) ^ h, word(n - 8) ^ kMix);
        } else {
            std::uint64_t w = 0;
            for (qsizetype k = 0; k < n; ++k)
                w = (w << 8) | static_cast<unsigned char>(p[k]);
            h = fold(w ^ h, kMix);
        }
    }
    return fold(h, kMix);
}

// A cheap stand-in for a line's bytes: its length and its first and last
// eight bytes. Lines that differ there differ; most lines of a vault do.
[[gnu::always_inline]] inline std::uint64_t printOf(const char* p, qsizetype n) {
    std::uint64_t first = 0;
    std::uint64_t last = 0;
    if (n >= 8) {
        std::memcpy(&first, p, 8);
        std::memcpy(&last, p + n - 8, 8);
    } else {
        for (qsizetype k = 0; k < n; ++k)
            first = (first << 8) | static_cast<unsigned char>(p[k]);
    }
    return (first * 0x9E3779B97F4A7C15ull) ^
           ((last ^ static_cast<std::uint64_t>(n)) * 0xC2B2AE3D27D4EB4Full);
}

// The lined-up lines in order: where each starts in the first copy (ours,
// in a merge), and the top half of its print, taken while its bytes are at
// hand. Eight bytes a line, as few fresh pages as can be, written without a
// call in the scan's tightest loop. (A copy of 4 GiB or more is left to the
// merge that counts all.)
class LinedUp {
public:
    explicit LinedUp(size_t expected) : m_capacity(std::max<size_t>(expected, 64)) {
        m_lines = std::make_unique_for_overwrite<Line[]>(m_capacity);
    }
    [[gnu::always_inline]] void add(qsizetype start, const unsigned char* line, qsizetype size) {
        if (m_size == m_capacity)
            grow();
        m_lines[m_size++] = {
            static_cast<std::uint32_t>(start),
            static_cast<std::uint32_t>(printOf(reinterpret_cast<const char*>(line), size) >> 32)};
    }
    size_t size() const { return m_size; }
    qsizetype at(size_t k) const { return m_lines[k].at; }
    std::uint64_t print(size_t k) const { return std::uint64_t(m_lines[k].print) << 32; }

private:
    struct Line {
        std::uint32_t at;
        std::uint32_t print;
    };
    [[gnu::noinline]] void grow() {
        auto more = std::make_unique_for_overwrite<Line[]>(2 * m_capacity);
        std::copy(m_lines.get(), m_lines.get() + m_size, more.get());
        m_lines = std::move(more);
        m_capacity *= 2;
    }

    std::unique_ptr<Line[]> m_lines;
    size_t m_size = 0;
    size_t m_capacity;
};

// From `at` in each of the N copies, the lines all of them hold as the same
// bytes, each in the form a save writes (its fields, no escape marker) and
// ended by CR LF, so that each is its entry's line; their starts in the
// first copy go to `out`. Sixty-four bytes at a time, compared and searched
// for line ends and separators in one pass, with the widest instructions
// the machine has, or (`widest` false) with those every machine of its kind
// has. Returns how many bytes the lines take, the same in each copy. For
// two copies or three.
template <int N>
qsizetype takeAlike(const Text* texts, const qsizetype* at, LinedUp& out, bool widest);

// Whether the line of `size` bytes at `at` in a copy is in the form a save
// writes, without the escape marker: its fields split by separators that do
// not overlap, so that it is its entry's line as it is. Looked at in one
// chunk where the copy has the bytes for it; false leaves the line to the
// full reading.
bool plainLine(const Text& text, qsizetype at, qsizetype size);

// A line of one copy ahead of where the copies stopped being alike.
struct Ahead {
    qsizetype start;
    qsizetype end;  // where its bytes end: at its CR, or the file's end
    qsizetype next; // where the line after it starts
    std::uint64_t print;
    std::uint64_t hash = 0;
    // Whether it could be lined up: in the form a save writes, ended by
    // CR LF. 1 or 0 once looked at, -1 before.
    signed char alike = -1;
};

// The lines of one copy from where the copies stopped being alike, read as
// far as they are asked for; what only a line that may be lined up needs
// is found out when it is asked for. `work` counts the lines read.
class Lookahead {
public:
    Lookahead(const Text& text, std::uint64_t key, qsizetype& work)
        : m_text(text), m_key(key), m_work(work) {}

    void restart(qsizetype from) {
        m_at = from;
        m_lines.clear();
    }
    // The line k lines ahead, or null past the last.
    Ahead* line(size_t k) {
        while (m_lines.size() <= k)
            if (!readOne())
                return nullptr;
        return &m_lines[k];
    }
    // The lines read so far.
    size_t count() const { return m_lines.size(); }
    QByteArrayView bytes(const Ahead& a) const {
        return QByteArrayView(m_text.data + a.start, a.end - a.start);
    }
    bool alike(Ahead& a) const {
        if (a.alike < 0) {
            const QByteArrayView raw = bytes(a);
            bool form = a.next == a.end + 2 && !raw.contains(kMarkerCiphered);
            if (form) {
                // As many separators as a line of entry fields has, none more,
                // found left to right.
                int separators = 0;
                for (qsizetype at = vaultformat::findCipheredSeparator(raw, 0);
                     at >= 0 && separators <= kSeparators;
                     at = vaultformat::findCipheredSeparator(raw, at + kSeparatorSize))
                    ++separators;
                form = separators == kSeparators;
            }
            a.alike = form ? 1 : 0;
        }
        return a.alike == 1;
    }
    std::uint64_t hash(Ahead& a) const {
        if (a.hash == 0)
            a.hash = hashOf(m_text.data + a.start, a.end - a.start, m_key) | 1;
        return a.hash;
    }

private:
    bool readOne() {
        if (m_at >= m_text.size)
            return false;
        ++m_work;
        const char* const d = m_text.data;
        const void* cr = std::memchr(d + m_at, '\r', static_cast<size_t>(m_text.size - m_at));
        const qsizetype end = cr ? static_cast<const char*>(cr) - d : m_text.size;
        qsizetype next = cr ? end + 1 : m_text.size;
        if (next < m_text.size && d[next] == '\n')
            ++next;
        m_lines.push_back(Ahead{m_at, end, next, printOf(d + m_at, end - m_at)});
        m_at = next;
        return true;
    }

    const Text& m_text;
    std::uint64_t m_key;
    qsizetype& m_work;
    qsizetype m_at = 0;
    std::vector<Ahead> m_lines;
};

} // namespace linescan
