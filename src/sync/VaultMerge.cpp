#include "sync/VaultMerge.h"

#include "seal/SealedVault.h"
#include "vault/EntryStore.h"
#include "vault/LargeMemory.h"
#include "vault/VaultFormat.h"

#include <QHash>
#include <QRandomGenerator>

#include <algorithm>
#include <array>
#include <bit>
#include <cstdint>
#include <cstring>
#include <deque>
#include <memory>
#include <type_traits>
#include <unordered_map>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif
// Where the machine may have wider instructions than every one of its kind,
// they are looked for when the program runs.
#if defined(__x86_64__) && defined(__GNUC__)
#include <immintrin.h>
#define KEYNOOK_WIDE_CHUNKS 1
#endif

namespace vaultmerge {

namespace {

constexpr char kMarkerCiphered = vaultformat::kEscapeMarker ^ '\x80';
// A line of the usual form has one separator fewer than it has fields.
constexpr int kSeparators = vaultformat::kFields - 1;
constexpr qsizetype kSeparatorSize = sizeof vaultformat::kSeparator - 1;
constexpr unsigned char kBar = vaultformat::kCipheredBar;

// One copy of the vault: its entries, and for each the bytes that stand for
// it in comparisons: the line a save writes for it now. Only a line with the
// escape marker can differ from that (kept as an earlier save escaped it),
// and only such a line is made anew.
struct Copy {
    explicit Copy(QByteArrayView file)
        : entries(EntryStore::fromFile(QByteArray::fromRawData(file.data(), file.size()))),
          masterLine(vaultformat::masterLineOf(file)) {
        keys.reserve(entries.size());
        for (size_t s = 0; s < entries.size(); ++s) {
            const QByteArrayView line = entries.line(s);
            if (!line.contains(kMarkerCiphered)) {
                keys.push_back(line);
                continue;
            }
            madeAnew.push_back(vaultformat::encodeEntryLine(vaultformat::decodeEntryLine(line)));
            keys.push_back(madeAnew.back());
        }
    }
    Named named(size_t slot) const {
        return {entries.field(slot, EntryStore::Username),
                entries.field(slot, EntryStore::Location)};
    }

    EntryStore entries;
    QByteArrayView masterLine;
    std::vector<QByteArrayView> keys;
    std::deque<QByteArray> madeAnew;
};

struct KeyHash {
    size_t operator()(QByteArrayView key) const noexcept { return qHash(key, 0x5eed); }
};

// How often each copy holds one entry, and where the merge stands with it.
struct Count {
    int base = 0;
    int ours = 0;
    int theirs = 0;
    // The merge's nodes of this entry that come from ours, in order.
    int firstNode = -1;
    int lastNode = -1;
    int oursSeen = 0;
    int theirsSeen = 0;

    // An addition or a removal made on both sides is made once.
    int merged() const {
        const int added = std::max({ours - base, theirs - base, 0});
        const int removed = std::max({base - ours, base - theirs, 0});
        return std::max(base + added - removed, 0);
    }
    int keptOfOurs() const { return std::min(ours, merged()); }
    int newFromTheirs() const { return std::max(merged() - ours, 0); }
};

// The distinct entries of the copies, found by open addressing: each line
// is hashed once and looked up once, with no allocation per entry. Half full
// at most.
class EntryTable {
public:
    explicit EntryTable(size_t lines)
        : m_mask(std::bit_ceil(2 * lines + 1) - 1), m_cells(m_mask + 1, 0) {
        counts.reserve(lines);
        m_keys.reserve(lines);
        m_hashes.reserve(lines);
    }
    std::vector<int> idsOf(const std::vector<QByteArrayView>& keys) {
        std::vector<int> ids;
        ids.reserve(keys.size());
        for (const QByteArrayView key : keys)
            ids.push_back(idOf(key));
        return ids;
    }

    std::vector<Count> counts; // one per distinct entry

private:
    int idOf(QByteArrayView key) {
        const size_t hash = KeyHash()(key);
        for (size_t at = hash & m_mask;; at = (at + 1) & m_mask) {
            const int cell = m_cells[at];
            if (cell == 0) {
                counts.emplace_back();
                m_keys.push_back(key);
                m_hashes.push_back(hash);
                m_cells[at] = static_cast<int>(counts.size());
                return static_cast<int>(counts.size()) - 1;
            }
            const size_t id = static_cast<size_t>(cell - 1);
            if (m_hashes[id] == hash && m_keys[id] == key)
                return cell - 1;
        }
    }

    size_t m_mask;
    std::vector<int> m_cells; // entry number + 1, or 0
    std::vector<QByteArrayView> m_keys;
    std::vector<size_t> m_hashes;
};

// The merged order: a list threaded through a vector, so that theirs' new
// entries go in after their neighbours at no cost.
struct Node {
    bool fromTheirs;
    int slot;
    int next = -1;
    int nextSame = -1; // the next node from ours of the same entry
};

// Whether two master lines hold one password. Lines are compared as bytes;
// only a line kept as an earlier save escaped it can hold the same password
// in other bytes, and only then is the text decoded (and wiped after).
bool sameMaster(QByteArrayView a, QByteArrayView b) {
    if (a == b)
        return true;
    if (!a.contains(kMarkerCiphered) && !b.contains(kMarkerCiphered))
        return false;
    QString x = vaultformat::decodeMasterLine(a);
    QString y = vaultformat::decodeMasterLine(b);
    const bool same = x == y;
    sealedvault::wipe(x);
    sealedvault::wipe(y);
    return same;
}

bool sameName(const Named& a, const Named& b) {
    return a.username == b.username || a.location == b.location;
}

// The entries of the base that both sides removed, each side adding one in
// its place: one entry edited on both sides. Read as a person would: the
// new versions keep its username or its location.
void findEditsOnBoth(const std::vector<Named>& removedByBoth, const std::vector<Named>& oursNew,
                     const std::vector<Named>& theirsNew, Report& report) {
    for (const Named& old : removedByBoth) {
        const auto o = std::find_if(oursNew.begin(), oursNew.end(),
                                    [&](const Named& n) { return sameName(n, old); });
        const auto t = std::find_if(theirsNew.begin(), theirsNew.end(),
                                    [&](const Named& n) { return sameName(n, old); });
        if (o != oursNew.end() && t != theirsNew.end())
            report.editedOnBoth.push_back({*o, *t});
    }
}

// Which master line the merge writes: a change on one side is taken. Both
// sides changing it, each to another password, is a conflict.
struct MasterChoice {
    bool conflict = false;
    QByteArrayView line;
    bool fromTheirs = false;
};

MasterChoice chooseMaster(std::optional<QByteArrayView> base, QByteArrayView ours,
                          QByteArrayView theirs) {
    if (sameMaster(ours, theirs))
        return {false, ours, false};
    if (base && sameMaster(theirs, *base))
        return {false, ours, false}; // only ours changed it
    if (base && sameMaster(ours, *base))
        return {false, theirs, true};
    return {true, {}, false};
}

// ---- The copies lined up
//
// Most lines of the copies are the same bytes in the same order: a side
// changes a few entries here and there. Those lines are walked in step,
// compared as bytes, and not counted: an entry whose every line, in every
// copy, lies in such a stretch is held as often by each copy, so the rules
// keep each of ours and take none of theirs, and the n-th of theirs stands
// for the n-th of ours. Only the entries of the lines between, where the
// copies differ, are counted as the rules say, with every line of the
// copies that holds one of them.

constexpr int kOurs = 0;
constexpr int kTheirs = 1;
constexpr int kBase = 2;
constexpr char kCrLf[] = "\r\n";

struct Text {
    const char* data = nullptr;
    qsizetype size = 0;
    qsizetype entries = 0; // where the line after the master password's starts
};

Text textOf(QByteArrayView file) {
    const qsizetype cr = file.indexOf('\r');
    qsizetype start = cr < 0 ? file.size() : cr + 1;
    if (start < file.size() && file[start] == '\n')
        ++start;
    return {file.data(), file.size(), start};
}

// A line's hash: two words at a time, each pair folded by a wide multiply
// whose halves together depend on every bit of both. The key is new in
// every run, so that no file can be made to collide on purpose.
std::uint64_t hashOf(const char* p, qsizetype n, std::uint64_t key) {
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

// What the sixty-four bytes at `at` in each copy hold, a bit per byte.
struct Chunk {
    std::uint64_t same = 0;     // all copies hold the same byte
    std::uint64_t cr = 0;       // ours holds a CR
    std::uint64_t bars = 0;     // three ciphered bars start (0xFC 0xFC 0xFC)
    std::uint64_t marker = 0;   // the ciphered escape marker: a line that may
                                // read as an entry a save writes otherwise
    std::uint64_t longBars = 0; // four bars or more start: separators found
                                // left to right may overlap there
};

// Where three bars start, and four or more, from where ours holds 0xFC in
// the chunk and in the three bytes after it.
[[gnu::always_inline]] inline void placeBars(Chunk& c, std::uint64_t fc,
                                             const unsigned char* after) {
    const std::uint64_t next = std::uint64_t(after[0] == kBar) |
                               std::uint64_t(after[1] == kBar) << 1 |
                               std::uint64_t(after[2] == kBar) << 2;
    c.bars = fc & ((fc >> 1) | next << 63) & ((fc >> 2) | next << 62);
    c.longBars = c.bars & ((fc >> 3) | next << 61);
}

// The chunk's bits are found sixteen bytes at a time, with the instructions
// every machine of its kind has, or thirty-two at a time where the machine
// has the wider ones (Wide).
struct Narrow {};
struct Wide {};

// Reads 67 bytes of ours, for bars that start near the end, and 64 of the
// other copies.
template <int N> Chunk chunkOf(Narrow, const unsigned char* const* p, qsizetype at) {
    Chunk c;
    std::uint64_t fc = 0;
#if defined(__SSE2__)
    const auto bitsOf = [](__m128i x) {
        return static_cast<std::uint64_t>(static_cast<unsigned>(_mm_movemask_epi8(x)));
    };
    const auto load = [](const unsigned char* from) {
        return _mm_loadu_si128(reinterpret_cast<const __m128i*>(from));
    };
    __m128i x[4];
    __m128i differ = _mm_setzero_si128();
    for (int k = 0; k < 4; ++k) {
        x[k] = load(p[0] + at + 16 * k);
        for (int f = 1; f < N; ++f)
            differ = _mm_or_si128(differ, _mm_xor_si128(x[k], load(p[f] + at + 16 * k)));
    }
    // The copies hardly ever differ, and ours hardly ever holds the marker:
    // each is looked for in all the bytes at once, and placed only when
    // there.
    const __m128i markerByte = _mm_set1_epi8(kMarkerCiphered);
    __m128i markers = _mm_cmpeq_epi8(x[0], markerByte);
    for (int k = 1; k < 4; ++k)
        markers = _mm_or_si128(markers, _mm_cmpeq_epi8(x[k], markerByte));
    const bool differs = _mm_movemask_epi8(_mm_cmpeq_epi8(differ, _mm_setzero_si128())) != 0xFFFF;
    const bool marked = _mm_movemask_epi8(markers) != 0;
    for (int k = 0; k < 4; ++k) {
        const int shift = 16 * k;
        if (differs) {
            __m128i same = _mm_set1_epi8(-1);
            for (int f = 1; f < N; ++f)
                same = _mm_and_si128(same, _mm_cmpeq_epi8(x[k], load(p[f] + at + shift)));
            c.same |= bitsOf(same) << shift;
        }
        c.cr |= bitsOf(_mm_cmpeq_epi8(x[k], _mm_set1_epi8('\r'))) << shift;
        fc |= bitsOf(_mm_cmpeq_epi8(x[k], _mm_set1_epi8(static_cast<char>(kBar)))) << shift;
        if (marked)
            c.marker |= bitsOf(_mm_cmpeq_epi8(x[k], markerByte)) << shift;
    }
    if (!differs)
        c.same = ~std::uint64_t(0);
#else
    for (int k = 0; k < 64; ++k) {
        const unsigned char b = p[0][at + k];
        bool same = true;
        for (int f = 1; f < N; ++f)
            same = same && p[f][at + k] == b;
        c.same |= std::uint64_t(same) << k;
        c.cr |= std::uint64_t(b == '\r') << k;
        fc |= std::uint64_t(b == kBar) << k;
        c.marker |= std::uint64_t(b == static_cast<unsigned char>(kMarkerCiphered)) << k;
    }
#endif
    placeBars(c, fc, p[0] + at + 64);
    return c;
}

#if defined(KEYNOOK_WIDE_CHUNKS)
[[gnu::target("avx2")]] inline std::uint64_t bitsOf(__m256i x) {
    return static_cast<std::uint64_t>(static_cast<unsigned>(_mm256_movemask_epi8(x)));
}

[[gnu::target("avx2")]] inline __m256i load(const unsigned char* from) {
    return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(from));
}

template <int N>
[[gnu::target("avx2")]] Chunk chunkOf(Wide, const unsigned char* const* p, qsizetype at) {
    Chunk c;
    std::uint64_t fc = 0;
    const __m256i x[2] = {load(p[0] + at), load(p[0] + at + 32)};
    __m256i differ = _mm256_setzero_si256();
    for (int k = 0; k < 2; ++k)
        for (int f = 1; f < N; ++f)
            differ = _mm256_or_si256(differ, _mm256_xor_si256(x[k], load(p[f] + at + 32 * k)));
    const __m256i markerByte = _mm256_set1_epi8(kMarkerCiphered);
    const __m256i markers =
        _mm256_or_si256(_mm256_cmpeq_epi8(x[0], markerByte), _mm256_cmpeq_epi8(x[1], markerByte));
    const bool differs = !_mm256_testz_si256(differ, differ);
    const bool marked = !_mm256_testz_si256(markers, markers);
    for (int k = 0; k < 2; ++k) {
        const int shift = 32 * k;
        if (differs) {
            __m256i same = _mm256_set1_epi8(-1);
            for (int f = 1; f < N; ++f)
                same = _mm256_and_si256(same, _mm256_cmpeq_epi8(x[k], load(p[f] + at + shift)));
            c.same |= bitsOf(same) << shift;
        }
        c.cr |= bitsOf(_mm256_cmpeq_epi8(x[k], _mm256_set1_epi8('\r'))) << shift;
        fc |= bitsOf(_mm256_cmpeq_epi8(x[k], _mm256_set1_epi8(static_cast<char>(kBar)))) << shift;
        if (marked)
            c.marker |= bitsOf(_mm256_cmpeq_epi8(x[k], markerByte)) << shift;
    }
    if (!differs)
        c.same = ~std::uint64_t(0);
    placeBars(c, fc, p[0] + at + 64);
    return c;
}
#endif

// How many bits are set, for the few a line's separators set: one step
// each, where the instruction that counts them is not there to be taken for
// granted.
template <class Width> [[gnu::always_inline]] inline int bitsIn(std::uint64_t m) {
    if constexpr (std::is_same_v<Width, Wide>) {
        return __builtin_popcountll(m);
    } else {
        int n = 0;
        for (; m != 0; m &= m - 1)
            ++n;
        return n;
    }
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

// The lined-up lines in order: where each starts in ours, and the top half
// of its print, taken while its bytes are at hand. Eight bytes a line, as
// few fresh pages as can be, written without a call in the scan's tightest
// loop. (A copy of 4 GiB or more is left to the merge that counts all.)
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

// From `at` in each copy, the lines all copies hold as the same bytes, each
// in the form a save writes (three fields, no escape marker) and ended by
// CR LF, so that each is its entry's line. One pass over the bytes compares
// the copies and finds the lines' ends and separators, sixty-four bytes at
// a time. Returns how many bytes the lines take, the same in each copy.
template <int N, class Width>
[[gnu::always_inline]] inline qsizetype takeAlikeWith(const Text* texts, const qsizetype* at,
                                                      LinedUp& out) {
    const unsigned char* p[3] = {};
    qsizetype avail = texts[0].size - at[0];
    for (int f = 0; f < N; ++f) {
        p[f] = reinterpret_cast<const unsigned char*>(texts[f].data) + at[f];
        avail = std::min(avail, texts[f].size - at[f]);
    }
    const unsigned char* const o = p[0];
    qsizetype lineStart = 0;
    qsizetype searchFrom = 0; // where the next separator may begin
    int separators = 0;       // of the line being read
    // The line being read ends at the CR at `cr`: taken when it has its
    // three fields and CR LF ends it in every copy.
    const auto take = [&](qsizetype cr) {
        if (separators != kSeparators || cr + 1 >= avail)
            return false;
        for (int f = 0; f < N; ++f)
            if (p[f][cr + 1] != '\n')
                return false;
        out.add(at[0] + lineStart, o + lineStart, cr - lineStart);
        lineStart = cr + 2;
        searchFrom = cr + 2;
        separators = 0;
        return true;
    };
    // One marked byte at a time: whether the line goes on.
    const auto visit = [&](qsizetype x) {
        const unsigned char c = o[x];
        if (c == '\r')
            return take(x);
        if (c == kBar) {
            if (x < searchFrom) // inside the separator just found
                return true;
            searchFrom = x + kSeparatorSize;
            return ++separators <= kSeparators;
        }
        return false; // the escape marker
    };
    qsizetype x = 0;
    for (; x + 67 <= avail; x += 64) {
        // Copies just read from their files are in memory, not in the
        // caches, on pages of 4 KiB at whose ends the machine stops reading
        // ahead by itself: it is asked to, a few chunks on.
        for (int f = 0; f < N; ++f)
            __builtin_prefetch(p[f] + x + 1024);
        const Chunk c = chunkOf<N>(Width{}, p, x);
        if (c.same != ~std::uint64_t(0) || c.marker != 0 || c.longBars != 0) {
            // Rare: one marked byte at a time, up to the first difference.
            const int limit = c.same == ~std::uint64_t(0) ? 64 : std::countr_zero(~c.same);
            std::uint64_t m = c.cr | c.bars | c.marker;
            if (limit < 64)
                m &= (std::uint64_t(1) << limit) - 1;
            for (; m != 0; m &= m - 1)
                if (!visit(x + std::countr_zero(m)))
                    return lineStart;
            if (limit < 64)
                return lineStart;
            continue;
        }
        // The usual chunk: the same in every copy, no escape marker, and
        // separators that do not overlap. Each one a line holds counts, but
        // for the end of one found in the chunk before.
        std::uint64_t bars = c.bars;
        if (searchFrom > x)
            bars &= ~std::uint64_t(0) << (searchFrom - x);
        int from = lineStart > x ? static_cast<int>(lineStart - x) : 0;
        for (std::uint64_t ends = c.cr; ends != 0; ends &= ends - 1) {
            const int cr = std::countr_zero(ends);
            separators +=
                bitsIn<Width>(bars & ((std::uint64_t(1) << cr) - 1) & (~std::uint64_t(0) << from));
            if (separators != kSeparators)
                return lineStart;
            // Its LF: in this chunk, the same in every copy.
            if (cr < 63 ? o[x + cr + 1] != '\n' : !take(x + cr))
                return lineStart;
            if (cr < 63) {
                out.add(at[0] + lineStart, o + lineStart, x + cr - lineStart);
                lineStart = x + cr + 2;
                separators = 0;
            }
            from = cr + 2;
        }
        if (from < 64) { // the line goes on into the next chunk
            separators += bitsIn<Width>(bars & (~std::uint64_t(0) << from));
            if (separators > 2)
                return lineStart;
        }
        // Where the next separator may begin: after the line's start, and
        // after one that reaches into the next chunk.
        searchFrom =
            bars >> 61 ? std::max(lineStart, x + 63 - std::countl_zero(bars) + 3) : lineStart;
    }
    for (; x < avail; ++x) {
        for (int f = 1; f < N; ++f)
            if (p[f][x] != o[x])
                return lineStart;
        const unsigned char c = o[x];
        const bool bars = c == kBar && x + 2 < avail && o[x + 1] == kBar && o[x + 2] == kBar;
        if ((c == '\r' || bars || c == static_cast<unsigned char>(kMarkerCiphered)) && !visit(x))
            return lineStart;
    }
    return lineStart;
}

template <int N> qsizetype takeAlikeNarrow(const Text* texts, const qsizetype* at, LinedUp& out) {
    return takeAlikeWith<N, Narrow>(texts, at, out);
}

#if defined(KEYNOOK_WIDE_CHUNKS)
template <int N>
[[gnu::target("avx2,bmi,bmi2,lzcnt,popcnt")]] qsizetype
takeAlikeWide(const Text* texts, const qsizetype* at, LinedUp& out) {
    return takeAlikeWith<N, Wide>(texts, at, out);
}
#endif

template <int N>
qsizetype takeAlike(const Text* texts, const qsizetype* at, LinedUp& out,
                    Instructions instructions) {
#if defined(KEYNOOK_WIDE_CHUNKS)
    static const bool wide = __builtin_cpu_supports("avx2") && __builtin_cpu_supports("bmi") &&
                             __builtin_cpu_supports("bmi2") && __builtin_cpu_supports("lzcnt") &&
                             __builtin_cpu_supports("popcnt");
    if (wide && instructions == Instructions::Widest)
        return takeAlikeWide<N>(texts, at, out);
#else
    (void)instructions;
#endif
    return takeAlikeNarrow<N>(texts, at, out);
}

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
                const qsizetype first = vaultformat::findCipheredSeparator(raw, 0);
                const qsizetype second =
                    first < 0 ? -1 : vaultformat::findCipheredSeparator(raw, first + 3);
                form = second >= 0 && vaultformat::findCipheredSeparator(raw, second + 3) < 0;
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

// Where the copies are alike again: for each copy, how many of its lines
// ahead come before a line that all hold as the same bytes. Few lines
// passed over are looked for first, each way of passing them over; then
// ever more lines ahead, through a table of the lines of each. None when no
// line ahead is in every copy.
template <int N> std::optional<std::array<size_t, 3>> findAlike(Lookahead* ahead, qsizetype& work) {
    const auto same = [&](const std::array<size_t, 3>& k) {
        ++work;
        Ahead* lines[3] = {};
        for (int f = 0; f < N; ++f) {
            lines[f] = ahead[f].line(k[static_cast<size_t>(f)]);
            if (!lines[f] || lines[f]->print != lines[0]->print ||
                ahead[f].bytes(*lines[f]) != ahead[0].bytes(*lines[0]))
                return false;
        }
        // Whether the line can be lined up is left to the scan: when it
        // cannot, the search goes on from after it.
        return true;
    };
    for (int f = 0; f < N; ++f)
        if (!ahead[f].line(0))
            return std::nullopt;
    constexpr size_t kNear = 8;
    for (size_t s = 1; s <= kNear; ++s) {
        for (size_t i = 0; i <= s; ++i) {
            if (N == 2) {
                if (same({i, s - i, 0}))
                    return std::array<size_t, 3>{i, s - i, 0};
                continue;
            }
            for (size_t j = 0; i + j <= s; ++j)
                if (same({i, j, s - i - j}))
                    return std::array<size_t, 3>{i, j, s - i - j};
        }
    }
    for (size_t window = 64;; window *= 4) {
        bool allEnded = true;
        size_t counts[3] = {};
        for (int f = 0; f < N; ++f) {
            ahead[f].line(window - 1);
            counts[f] = std::min(window, ahead[f].count());
            allEnded = allEnded && counts[f] < window;
        }
        // The first line of each hash in the copies after the first.
        std::unordered_map<std::uint64_t, size_t> firstOf[3];
        for (int f = 1; f < N; ++f) {
            firstOf[f].reserve(counts[f]);
            for (size_t k = 0; k < counts[f]; ++k)
                if (Ahead* a = ahead[f].line(k); ahead[f].alike(*a))
                    firstOf[f].emplace(ahead[f].hash(*a), k);
        }
        work += static_cast<qsizetype>(counts[0] + counts[1] + counts[2]);
        std::optional<std::array<size_t, 3>> best;
        size_t bestSum = 0;
        for (size_t i = 0; i < counts[0]; ++i) {
            Ahead* a = ahead[0].line(i);
            if (!ahead[0].alike(*a))
                continue;
            std::array<size_t, 3> k{i, 0, 0};
            bool found = true;
            for (int f = 1; f < N && found; ++f) {
                const auto it = firstOf[f].find(ahead[0].hash(*a));
                found = it != firstOf[f].end();
                if (found)
                    k[static_cast<size_t>(f)] = it->second;
            }
            if (!found || !same(k))
                continue;
            const size_t sum = k[0] + k[1] + k[2];
            if (!best || sum < bestSum) {
                best = k;
                bestSum = sum;
            }
        }
        if (best || allEnded)
            return best;
    }
}

// The lines of the copies from one place: first those lined up, then those
// of each copy up to where the copies are alike again.
struct Stretch {
    qsizetype at[3] = {}; // where the lined-up lines start in each copy
    qsizetype bytes = 0;  // how many bytes they take
    size_t first = 0;     // the lined-up lines [first, last) in LinedUp
    size_t last = 0;
    size_t held[3] = {}; // where its counted lines start in each copy's list
};

// A line of one copy whose entry is counted.
struct Held {
    qsizetype at = 0;      // where it starts in its copy
    qsizetype next = 0;    // where the line after it starts
    QByteArrayView line;   // as a save writes it
    int id = -1;           // its entry; -1 for a line that reading passes over
    long linedUp = -1;     // in LinedUp, for a lined-up line
    bool asInFile = false; // `line` is the copy's own bytes, and CR LF ends it
    bool removed = false;  // of ours: theirs removed it
};

// The distinct entries of the counted lines, by open addressing: a cell
// holds the top half of an entry's hash and its number + 1, so that most
// cells are passed over without a look at an entry's bytes. Half full at
// most.
class Entries {
public:
    explicit Entries(size_t most)
        : m_mask(std::bit_ceil(2 * most + 1) - 1), m_cells(m_mask + 1, 0) {}
    int find(QByteArrayView key, std::uint64_t hash) const {
        const std::uint64_t tag = hash & ~std::uint64_t(0xFFFFFFFF);
        for (size_t at = hash & m_mask;; at = (at + 1) & m_mask) {
            const std::uint64_t cell = m_cells[at];
            if (cell == 0)
                return -1;
            if ((cell & ~std::uint64_t(0xFFFFFFFF)) == tag) {
                const size_t id = (cell & 0xFFFFFFFF) - 1;
                if (m_keys[id] == key)
                    return static_cast<int>(id);
            }
        }
    }
    int add(QByteArrayView key, std::uint64_t hash) {
        const int found = find(key, hash);
        if (found >= 0)
            return found;
        size_t at = hash & m_mask;
        while (m_cells[at] != 0)
            at = (at + 1) & m_mask;
        m_keys.push_back(key);
        m_cells[at] = (hash & ~std::uint64_t(0xFFFFFFFF)) | m_keys.size();
        return static_cast<int>(m_keys.size()) - 1;
    }
    size_t size() const { return m_keys.size(); }

private:
    size_t m_mask;
    std::vector<std::uint64_t> m_cells;
    std::vector<QByteArrayView> m_keys;
};

// The prints of the counted entries, a bit each (by their top bits) in a
// set of bits that stays in the nearest cache: a lined-up line whose bit is
// clear holds none of those entries, and is not looked up further. A bit in
// thirty-two is set at most, so that few lines are looked up for nothing.
class Prints {
public:
    explicit Prints(size_t most)
        : m_bits(std::max(6, static_cast<int>(std::bit_width(32 * most)))),
          m_words(size_t(1) << (m_bits - 6), 0) {}
    void add(std::uint64_t print) {
        const std::uint64_t bit = print >> (64 - m_bits);
        m_words[bit >> 6] |= std::uint64_t(1) << (bit & 63);
    }
    bool mayHold(std::uint64_t print) const {
        const std::uint64_t bit = print >> (64 - m_bits);
        return (m_words[bit >> 6] >> (bit & 63)) & 1;
    }

private:
    int m_bits;
    std::vector<std::uint64_t> m_words;
};

// A buffer of `size` bytes, not yet written. The merged file of a large
// vault is megabytes of memory never touched, and a fault for each page of
// 4 KiB costs more than writing it: such a buffer starts on a huge page of
// 2 MiB and asks for huge pages throughout, so that a few faults map it.
// It is allocated that much larger; the bytes before its start are never
// touched, and Qt drops them from the front without moving anything.
QByteArray freshBuffer(qsizetype size) {
    constexpr qsizetype kHugePage = qsizetype(2) << 20;
    if (size < qsizetype(largememory::kWorthAsking))
        return QByteArray(size, Qt::Uninitialized);
    QByteArray buffer(size + 2 * kHugePage, Qt::Uninitialized);
    const auto address = reinterpret_cast<std::uintptr_t>(buffer.data());
    const qsizetype skip = static_cast<qsizetype>(
        ((address + kHugePage - 1) & ~std::uintptr_t(kHugePage - 1)) - address);
    const qsizetype mapped = (size + kHugePage - 1) & ~(kHugePage - 1);
    largememory::adviseHugePages(buffer.data() + skip, static_cast<size_t>(mapped));
    buffer.remove(0, skip);
    buffer.truncate(size);
    return buffer;
}

// What the merged file is written to: first only its size is learnt.
struct Sizer {
    qsizetype size = 0;
    void add(const char*, qsizetype n) { size += n; }
    void addLine(const Held& h) { size += h.line.size() + 2; }
};

struct Writer {
    char* at;
    void add(const char* data, qsizetype n) {
        std::memcpy(at, data, static_cast<size_t>(n));
        at += n;
    }
    void addLine(const Held& h) {
        if (h.asInFile) {
            add(h.line.data(), h.line.size() + 2);
        } else {
            add(h.line.data(), h.line.size());
            add(kCrLf, 2);
        }
    }
};

Named namedOf(QByteArrayView line) {
    const qsizetype first = vaultformat::findCipheredSeparator(line, 0);
    const qsizetype second = vaultformat::findCipheredSeparator(line, first + 3);
    return {vaultformat::decodeCipheredField(line.first(first)),
            vaultformat::decodeCipheredField(line.sliced(second + 3))};
}

// Whether a line of one copy is in the form a save writes, without the
// escape marker: three fields, split by two separators that do not
// overlap, so that it is its entry's line as it is. Looked at in one chunk
// where the copy has the bytes for it; false leaves the line to the full
// reading.
bool plainLine(const Text& text, qsizetype at, qsizetype size) {
    if (size > 64 || at + 67 > text.size)
        return false;
    const unsigned char* const p[1] = {reinterpret_cast<const unsigned char*>(text.data) + at};
    const Chunk c = chunkOf<1>(Narrow{}, p, 0);
    const std::uint64_t line = size == 64 ? ~std::uint64_t(0) : (std::uint64_t(1) << size) - 1;
    return ((c.marker | c.longBars) & line) == 0 && bitsIn<Narrow>(c.bars & line) == 2;
}

// The copies walked in step: the lined-up lines, and each copy's lines
// where the copies differ, stretch by stretch.
struct Walk {
    explicit Walk(size_t expected) : linedUp(expected) {}
    LinedUp linedUp;
    std::vector<Stretch> stretches;
    std::vector<Held> differing[3];       // `line` their bytes as the copy holds them
    std::vector<size_t> differingFrom[3]; // per stretch, and the end
};

// None when lining the copies up costs more than it saves: looking for
// where they are alike again reads lines ahead, some of them more than
// once, and copies that differ throughout are counted line by line in the
// end all the same. Past a few lines looked at for each line passed, or
// more differing lines than lined-up ones, it does not pay.
template <int N>
std::optional<Walk> walk(const Text* texts, Instructions instructions, std::uint64_t key) {
    if (texts[kOurs].size > qsizetype(UINT32_MAX))
        return std::nullopt;
    Walk w(static_cast<size_t>(texts[kOurs].size / 32));
    // Room reserved is not touched until used: generous room spares the
    // fresh pages that growing by copying would fault in.
    w.stretches.reserve(static_cast<size_t>(texts[kOurs].size / 256) + 16);
    for (int f = 0; f < N; ++f)
        w.differing[f].reserve(static_cast<size_t>(texts[f].size / 256) + 16);
    qsizetype work = 0;
    const auto pays = [&] {
        const size_t differing =
            w.differing[0].size() + w.differing[1].size() + w.differing[2].size();
        const size_t linedUp = N * w.linedUp.size();
        return differing <= linedUp + 4096 &&
               work <= 32 * static_cast<qsizetype>(linedUp + differing) + 16384;
    };
    qsizetype at[3] = {texts[0].entries, texts[1].entries, texts[2].entries};
    Lookahead ahead[3] = {{texts[0], key, work}, {texts[1], key, work}, {texts[2], key, work}};
    for (bool more = true; more;) {
        Stretch s;
        std::copy(at, at + 3, s.at);
        s.first = w.linedUp.size();
        s.bytes = takeAlike<N>(texts, at, w.linedUp, instructions);
        s.last = w.linedUp.size();
        for (int f = 0; f < N; ++f) {
            at[f] += s.bytes;
            w.differingFrom[f].push_back(w.differing[f].size());
        }
        w.stretches.push_back(s);
        more = false;
        for (int f = 0; f < N; ++f)
            more = more || at[f] < texts[f].size;
        if (!more)
            break;
        for (int f = 0; f < N; ++f)
            ahead[f].restart(at[f]);
        const std::optional<std::array<size_t, 3>> alike = findAlike<N>(ahead, work);
        for (int f = 0; f < N; ++f) {
            const size_t passed = alike ? (*alike)[static_cast<size_t>(f)] : SIZE_MAX;
            for (size_t k = 0; k < passed; ++k) {
                const Ahead* line = ahead[f].line(k);
                if (!line)
                    break;
                Held& h = w.differing[f].emplace_back();
                h.at = line->start;
                h.next = line->next;
                h.line = ahead[f].bytes(*line);
                at[f] = line->next;
            }
        }
        more = alike.has_value();
        if (!pays())
            return std::nullopt;
    }
    for (int f = 0; f < N; ++f)
        w.differingFrom[f].push_back(w.differing[f].size());
    return w;
}

// The counted lines of the copies, and how often each copy holds each of
// their entries.
struct Counted {
    std::vector<Held> held[3];   // each copy's, in order
    std::vector<Count> counts;   // per entry
    std::deque<QByteArray> made; // lines made anew, which `held` points into
};

// The entries of the differing lines, each as a save writes it now (a
// line kept as an earlier save escaped it is made anew, as reading and
// comparing entries do it), and every line of each copy that holds one of
// them: the lined-up ones and the differing ones, stretch by stretch.
template <int N> Counted count(const Text* texts, Walk& w, std::uint64_t key) {
    Counted c;
    size_t differingLines = 0;
    for (int f = 0; f < N; ++f)
        differingLines += w.differing[f].size();
    Entries entries(differingLines);
    Prints prints(differingLines);
    for (int f = 0; f < N; ++f) {
        for (Held& h : w.differing[f]) {
            const QByteArrayView raw = h.line;
            QByteArrayView entry = raw;
            if (plainLine(texts[f], h.at, raw.size())) {
                h.asInFile = h.next == h.at + raw.size() + 2;
            } else {
                if (vaultformat::isSkippedLine(raw))
                    continue;
                if (vaultformat::isSavedForm(raw))
                    h.asInFile = h.next == h.at + raw.size() + 2;
                else
                    h.line = c.made.emplace_back(
                        vaultformat::encodeEntryLine(vaultformat::decodeEntryLine(raw)));
                entry = h.line.contains(kMarkerCiphered)
                            ? QByteArrayView(c.made.emplace_back(vaultformat::encodeEntryLine(
                                  vaultformat::decodeEntryLine(h.line))))
                            : h.line;
            }
            h.id = entries.add(entry, hashOf(entry.data(), entry.size(), key));
            prints.add(printOf(entry.data(), entry.size()));
        }
    }
    // The lined-up lines of a counted entry: few, or none.
    std::vector<std::pair<size_t, int>> linedUpHeld; // the line in LinedUp, its entry
    for (const Stretch& st : w.stretches) {
        for (size_t a = st.first; a < st.last && entries.size() > 0; ++a) {
            if (!prints.mayHold(w.linedUp.print(a)))
                continue;
            const qsizetype start = w.linedUp.at(a);
            const qsizetype next = a + 1 < st.last ? w.linedUp.at(a + 1) : st.at[0] + st.bytes;
            const QByteArrayView line(texts[kOurs].data + start, next - 2 - start);
            const int id = entries.find(line, hashOf(line.data(), line.size(), key));
            if (id >= 0)
                linedUpHeld.emplace_back(a, id);
        }
    }
    // Each copy's counted lines in order, stretch by stretch: its lined-up
    // ones, then its differing ones but those reading passes over. Without
    // lined-up ones, the differing lines close up where they are.
    for (int f = 0; f < N; ++f) {
        std::vector<Held>& differing = w.differing[f];
        std::vector<Held>& held = linedUpHeld.empty() ? differing : c.held[f];
        size_t kept = 0;
        size_t next = 0;
        for (size_t s = 0; s < w.stretches.size(); ++s) {
            Stretch& st = w.stretches[s];
            st.held[f] = linedUpHeld.empty() ? kept : held.size();
            for (; next < linedUpHeld.size() && linedUpHeld[next].first < st.last; ++next) {
                const auto [a, id] = linedUpHeld[next];
                const qsizetype start = w.linedUp.at(a);
                const qsizetype end = a + 1 < st.last ? w.linedUp.at(a + 1) : st.at[0] + st.bytes;
                Held& h = held.emplace_back();
                h.at = start - st.at[0] + st.at[f];
                h.next = end - st.at[0] + st.at[f];
                h.line = QByteArrayView(texts[f].data + h.at, end - 2 - start);
                h.id = id;
                h.linedUp = static_cast<long>(a);
                h.asInFile = true;
            }
            for (size_t d = w.differingFrom[f][s]; d < w.differingFrom[f][s + 1]; ++d) {
                if (differing[d].id < 0)
                    continue;
                if (linedUpHeld.empty())
                    differing[kept++] = differing[d];
                else
                    held.push_back(differing[d]);
            }
        }
        if (linedUpHeld.empty()) {
            differing.resize(kept);
            c.held[f] = std::move(differing);
        }
    }
    c.counts.resize(entries.size());
    for (const Held& h : c.held[kOurs])
        ++c.counts[static_cast<size_t>(h.id)].ours;
    for (const Held& h : c.held[kTheirs])
        ++c.counts[static_cast<size_t>(h.id)].theirs;
    for (const Held& h : c.held[kBase])
        ++c.counts[static_cast<size_t>(h.id)].base;
    return c;
}

// The merge with the copies lined up. None when lining them up does not
// pay, or when a side holds the base's entries in other bytes or order:
// the merge that counts every line decides then.
template <int N>
std::optional<Result> mergeLinedUpOf(std::optional<QByteArrayView> base, QByteArrayView ours,
                                     QByteArrayView theirs, QByteArrayView masterLine,
                                     Instructions instructions, Result result) {
    const Text texts[3] = {textOf(ours), textOf(theirs), base ? textOf(*base) : Text{}};
    static const std::uint64_t key = QRandomGenerator::system()->generate64();
    std::optional<Walk> walked = walk<N>(texts, instructions, key);
    if (!walked)
        return std::nullopt;
    const LinedUp& linedUp = walked->linedUp;
    const std::vector<Stretch>& stretches = walked->stretches;
    Counted counted = count<N>(texts, *walked, key);
    std::vector<Count>& counts = counted.counts;
    std::vector<Held>* held = counted.held;

    // A side that holds the base's entries, as often each, changed nothing
    // when it holds them in the base's order: only the merge that counts
    // every line tells, unless ours is the base's very bytes.
    bool oursAsBase = N == 3;
    bool theirsAsBase = N == 3;
    for (const Count& c : counts) {
        oursAsBase = oursAsBase && c.ours == c.base;
        theirsAsBase = theirsAsBase && c.theirs == c.base;
    }
    if (theirsAsBase || (oursAsBase && ours != *base))
        return std::nullopt;
    const bool oursUnchanged = oursAsBase;

    // Ours, without what theirs removed. The kept lines of each entry are
    // chained, for theirs to find the n-th.
    std::vector<Held>& oursHeld = held[kOurs];
    std::vector<int> nextSame(oursHeld.size(), -1);
    for (size_t k = 0; k < oursHeld.size(); ++k) {
        Held& h = oursHeld[k];
        Count& c = counts[static_cast<size_t>(h.id)];
        if (c.oursSeen++ >= c.keptOfOurs()) {
            h.removed = true;
            result.report.removedByTheirs.push_back(namedOf(h.line));
            continue;
        }
        if (c.lastNode >= 0)
            nextSame[static_cast<size_t>(c.lastNode)] = static_cast<int>(k);
        else
            c.firstNode = static_cast<int>(k);
        c.lastNode = static_cast<int>(k);
        if (c.oursSeen > c.base && c.oursSeen > c.theirs)
            ++result.report.oursOnly;
    }

    // Theirs' new entries, each after the entry before it in theirs that the
    // merge holds: each run of them is a chain after one line of ours (or
    // at the end, before any such line).
    struct Chain {
        qsizetype after; // where that line of ours starts; -1 for the end
        qsizetype afterNext;
        size_t first;
        size_t count;
    };
    std::vector<Chain> chains;
    std::vector<const Held*> fresh;
    enum class Anchor { End, Ours, Fresh } anchor = Anchor::End;
    qsizetype anchorAt = -1;
    qsizetype anchorNext = -1;
    const auto anchorOn = [&](qsizetype start, qsizetype next) {
        anchor = Anchor::Ours;
        anchorAt = start;
        anchorNext = next;
    };
    const auto linedUpNext = [&](const Stretch& st, size_t a) {
        return a + 1 < st.last ? linedUp.at(a + 1) : st.at[0] + st.bytes;
    };
    const std::vector<Held>& theirsHeld = held[kTheirs];
    for (size_t s = 0; s < stretches.size(); ++s) {
        const Stretch& st = stretches[s];
        const size_t end =
            s + 1 < stretches.size() ? stretches[s + 1].held[kTheirs] : theirsHeld.size();
        size_t from = st.first; // the lined-up lines before it are passed
        for (size_t k = st.held[kTheirs]; k < end; ++k) {
            const Held& h = theirsHeld[k];
            if (h.linedUp >= 0) {
                const size_t a = static_cast<size_t>(h.linedUp);
                if (a > from)
                    anchorOn(linedUp.at(a - 1), linedUpNext(st, a - 1));
                from = a + 1;
            } else if (from < st.last) {
                anchorOn(linedUp.at(st.last - 1), linedUpNext(st, st.last - 1));
                from = st.last;
            }
            Count& c = counts[static_cast<size_t>(h.id)];
            const int seen = c.theirsSeen++;
            if (seen >= c.theirs - c.newFromTheirs()) {
                if (anchor != Anchor::Fresh)
                    chains.push_back(
                        {anchor == Anchor::Ours ? anchorAt : -1, anchorNext, fresh.size(), 0});
                ++chains.back().count;
                fresh.push_back(&h);
                anchor = Anchor::Fresh;
                result.report.fromTheirs.push_back(namedOf(h.line));
            } else if (seen < c.keptOfOurs()) {
                int n = c.firstNode;
                for (int i = 0; i < seen; ++i)
                    n = nextSame[static_cast<size_t>(n)];
                const Held& o = oursHeld[static_cast<size_t>(n)];
                anchorOn(o.at, o.next);
            }
        }
        if (from < st.last)
            anchorOn(linedUp.at(st.last - 1), linedUpNext(st, st.last - 1));
    }

    if (N == 3) {
        std::vector<Named> removedByBoth;
        for (const Held& h : held[kBase]) {
            const Count& c = counts[static_cast<size_t>(h.id)];
            if (c.ours < c.base && c.theirs < c.base)
                removedByBoth.push_back(namedOf(h.line));
        }
        if (!removedByBoth.empty()) {
            std::vector<Named> oursNew;
            for (const Held& h : oursHeld) {
                const Count& c = counts[static_cast<size_t>(h.id)];
                if (c.ours > c.base && c.theirs < c.ours)
                    oursNew.push_back(namedOf(h.line));
            }
            findEditsOnBoth(removedByBoth, oursNew, result.report.fromTheirs, result.report);
        }
    }

    if (oursUnchanged) {
        result.file = theirs.toByteArray();
        return result;
    }
    // Ours stretch by stretch: its lined-up lines as they are, but for those
    // theirs removed, with theirs' chains after their lines.
    std::stable_sort(chains.begin(), chains.end(), [](const Chain& a, const Chain& b) {
        return static_cast<quint64>(a.after) < static_cast<quint64>(b.after); // the end last
    });
    // Written twice over: once to learn the file's size, once into it.
    const auto write = [&](auto& out) {
        const auto addChain = [&](const Chain& c) {
            for (size_t k = c.first; k < c.first + c.count; ++k)
                out.addLine(*fresh[k]);
        };
        // The master line, and its line end where its file has one.
        const Text& master = texts[result.report.masterFromTheirs ? kTheirs : kOurs];
        if (master.entries == masterLine.size() + 2) {
            out.add(master.data, master.entries);
        } else {
            out.add(masterLine.data(), masterLine.size());
            out.add(kCrLf, 2);
        }
        const char* const o = texts[kOurs].data;
        size_t chain = 0;
        for (size_t s = 0; s < stretches.size(); ++s) {
            const Stretch& st = stretches[s];
            const size_t end =
                s + 1 < stretches.size() ? stretches[s + 1].held[kOurs] : oursHeld.size();
            const qsizetype stEnd = st.at[0] + st.bytes;
            qsizetype from = st.at[0];
            size_t k = st.held[kOurs];
            for (;;) {
                while (k < end && oursHeld[k].linedUp >= 0 && !oursHeld[k].removed)
                    ++k;
                const bool removedNext = k < end && oursHeld[k].linedUp >= 0;
                const bool chainNext = chain < chains.size() && chains[chain].after >= 0 &&
                                       chains[chain].after < stEnd;
                if (removedNext && (!chainNext || oursHeld[k].at < chains[chain].after)) {
                    out.add(o + from, oursHeld[k].at - from);
                    from = oursHeld[k].next;
                    ++k;
                } else if (chainNext) {
                    out.add(o + from, chains[chain].afterNext - from);
                    from = chains[chain].afterNext;
                    addChain(chains[chain++]);
                } else {
                    break;
                }
            }
            out.add(o + from, stEnd - from);
            for (; k < end; ++k) {
                const Held& h = oursHeld[k];
                if (h.removed)
                    continue;
                out.addLine(h);
                if (chain < chains.size() && chains[chain].after == h.at)
                    addChain(chains[chain++]);
            }
        }
        if (chain < chains.size())
            addChain(chains[chain]); // the end's
        out.add(kCrLf, 2);
    };
    Sizer sizer;
    write(sizer);
    result.file = freshBuffer(sizer.size);
    Writer writer{result.file.data()};
    write(writer);
    return result;
}

} // namespace

Result merge(std::optional<QByteArrayView> base, QByteArrayView ours, QByteArrayView theirs) {
    if (std::optional<Result> linedUp = mergeLinedUp(base, ours, theirs))
        return std::move(*linedUp);
    return mergeCountingAll(base, ours, theirs);
}

std::optional<Result> mergeLinedUp(std::optional<QByteArrayView> base, QByteArrayView ours,
                                   QByteArrayView theirs, Instructions instructions) {
    Result result;
    result.report.twoWay = !base.has_value();
    // A side that changed nothing leaves the other as it is, byte for byte,
    // its order included.
    if (theirs == ours || (base && theirs == *base)) {
        result.file = ours.toByteArray();
        return result;
    }
    const MasterChoice master = chooseMaster(
        base ? std::optional<QByteArrayView>(vaultformat::masterLineOf(*base)) : std::nullopt,
        vaultformat::masterLineOf(ours), vaultformat::masterLineOf(theirs));
    if (master.conflict) {
        result.outcome = Outcome::MasterConflict;
        return result;
    }
    result.report.masterFromTheirs = master.fromTheirs;
    return base
               ? mergeLinedUpOf<3>(base, ours, theirs, master.line, instructions, std::move(result))
               : mergeLinedUpOf<2>(base, ours, theirs, master.line, instructions,
                                   std::move(result));
}

Result mergeCountingAll(std::optional<QByteArrayView> base, QByteArrayView ours,
                        QByteArrayView theirs) {
    Result result;
    result.report.twoWay = !base.has_value();
    // A side that changed nothing leaves the other as it is, byte for byte,
    // its order included.
    if (theirs == ours || (base && theirs == *base)) {
        result.file = ours.toByteArray();
        return result;
    }
    Copy o(ours);
    Copy t(theirs);
    std::optional<Copy> b;
    if (base)
        b.emplace(*base);

    // The master password: a change on one side is taken.
    const MasterChoice master =
        chooseMaster(b ? std::optional<QByteArrayView>(b->masterLine) : std::nullopt, o.masterLine,
                     t.masterLine);
    if (master.conflict) {
        result.outcome = Outcome::MasterConflict;
        return result;
    }
    const QByteArrayView masterLine = master.line;
    result.report.masterFromTheirs = master.fromTheirs;
    // A side whose entries are the base's, in the base's order, changed
    // nothing, whatever bytes it wrote them in.
    const auto unchanged = [&](const Copy& side) {
        return b && side.keys == b->keys && sameMaster(side.masterLine, b->masterLine);
    };
    if (unchanged(o)) {
        result.file = theirs.toByteArray();
    } else if (unchanged(t)) {
        result.file = ours.toByteArray();
        return result;
    }

    // Each line is hashed once: its copy keeps the number of its entry.
    EntryTable table(o.keys.size() + t.keys.size() + (b ? b->keys.size() : 0));
    const std::vector<int> bIds = b ? table.idsOf(b->keys) : std::vector<int>();
    const std::vector<int> oIds = table.idsOf(o.keys);
    const std::vector<int> tIds = table.idsOf(t.keys);
    std::vector<Count>& counts = table.counts;
    for (const int id : bIds)
        ++counts[static_cast<size_t>(id)].base;
    for (const int id : oIds)
        ++counts[static_cast<size_t>(id)].ours;
    for (const int id : tIds)
        ++counts[static_cast<size_t>(id)].theirs;

    std::vector<Node> nodes;
    nodes.reserve(o.keys.size() + t.keys.size());
    int head = -1;
    int tail = -1;
    const auto linkAfter = [&](int after, Node node) {
        const int n = static_cast<int>(nodes.size());
        if (after < 0) { // at the end
            if (tail >= 0)
                nodes[static_cast<size_t>(tail)].next = n;
            else
                head = n;
            tail = n;
        } else {
            node.next = nodes[static_cast<size_t>(after)].next;
            nodes[static_cast<size_t>(after)].next = n;
            if (after == tail)
                tail = n;
        }
        nodes.push_back(node);
        return n;
    };

    // Ours, without what theirs removed.
    for (size_t s = 0; s < o.keys.size(); ++s) {
        Count& c = counts[static_cast<size_t>(oIds[s])];
        if (c.oursSeen++ >= c.keptOfOurs()) {
            result.report.removedByTheirs.push_back(o.named(s));
            continue;
        }
        const int n = linkAfter(-1, Node{false, static_cast<int>(s)});
        if (c.lastNode >= 0)
            nodes[static_cast<size_t>(c.lastNode)].nextSame = n;
        else
            c.firstNode = n;
        c.lastNode = n;
        if (c.oursSeen > c.base && c.oursSeen > c.theirs)
            ++result.report.oursOnly;
    }
    // Theirs' new entries, each after the entry before it in theirs that the
    // merge holds. A repeated entry's new occurrences are its last ones.
    int anchor = -1;
    for (size_t s = 0; s < t.keys.size(); ++s) {
        Count& c = counts[static_cast<size_t>(tIds[s])];
        const int seen = c.theirsSeen++;
        if (seen >= c.theirs - c.newFromTheirs()) {
            anchor = linkAfter(anchor, Node{true, static_cast<int>(s)});
            result.report.fromTheirs.push_back(t.named(s));
        } else if (seen < c.keptOfOurs()) {
            int n = c.firstNode;
            for (int k = 0; k < seen; ++k)
                n = nodes[static_cast<size_t>(n)].nextSame;
            anchor = n;
        }
    }

    if (b) {
        std::vector<Named> removedByBoth;
        std::vector<Named> oursNew;
        for (size_t s = 0; s < b->keys.size(); ++s) {
            const Count& c = counts[static_cast<size_t>(bIds[s])];
            if (c.ours < c.base && c.theirs < c.base)
                removedByBoth.push_back(b->named(s));
        }
        if (!removedByBoth.empty()) {
            for (size_t s = 0; s < o.keys.size(); ++s) {
                const Count& c = counts[static_cast<size_t>(oIds[s])];
                if (c.ours > c.base && c.theirs < c.ours)
                    oursNew.push_back(o.named(s));
            }
            findEditsOnBoth(removedByBoth, oursNew, result.report.fromTheirs, result.report);
        }
    }

    if (result.file.isNull()) {
        // One store for both sides' lines, theirs' slots after ours'.
        const int theirsStart = static_cast<int>(o.entries.size());
        EntryStore merged;
        merged.append(std::move(o.entries));
        merged.append(std::move(t.entries));
        std::vector<int> order;
        order.reserve(nodes.size());
        for (int n = head; n >= 0; n = nodes[static_cast<size_t>(n)].next) {
            const Node& node = nodes[static_cast<size_t>(n)];
            order.push_back(node.fromTheirs ? theirsStart + node.slot : node.slot);
        }
        result.file = vaultformat::savedPiecesWithLine(masterLine, merged, order).joined();
    }
    return result;
}

} // namespace vaultmerge
