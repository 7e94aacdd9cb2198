#include "sync/LineScanner.h"

#include <bit>
#include <type_traits>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif
// Where the machine may have wider instructions than every one of its kind,
// they are looked for when the program runs.
#if defined(__x86_64__) && defined(__GNUC__)
#include <immintrin.h>
#define KEYNOOK_WIDE_CHUNKS 1
#endif

namespace linescan {

namespace {

constexpr unsigned char kBar = vaultformat::kCipheredBar;
// A chunk's bars are found with shifts made for separators of three bars.
static_assert(kSeparatorSize == 3, "placeBars() places separators of three bars");

// What the sixty-four bytes at `at` in each copy hold, a bit per byte.
struct Chunk {
    std::uint64_t same = 0;     // all copies hold the same byte
    std::uint64_t cr = 0;       // the first copy holds a CR
    std::uint64_t bars = 0;     // a separator starts: its ciphered bars
    std::uint64_t marker = 0;   // the ciphered escape marker: a line that may
                                // read as an entry a save writes otherwise
    std::uint64_t longBars = 0; // four bars or more start: separators found
                                // left to right may overlap there
};

// Where separators start, and four bars or more, from where the first copy
// holds a ciphered bar in the chunk and in the separator's length after it.
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

// Reads 64 bytes of each copy, and of the first the separator's length
// more, for bars that start near the end.
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

// takeAlike() with the chunks' bits found one way: one pass over the bytes
// compares the copies and finds the lines' ends and separators.
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
    // The line being read ends at the CR at `cr`: taken when it has all its
    // fields and CR LF ends it in every copy.
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
    for (; x + 64 + kSeparatorSize <= avail; x += 64) {
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
            if (separators > kSeparators)
                return lineStart;
        }
        // Where the next separator may begin: after the line's start, and
        // after one that reaches into the next chunk.
        searchFrom = bars >> (64 - kSeparatorSize)
                         ? std::max(lineStart, x + 63 - std::countl_zero(bars) + kSeparatorSize)
                         : lineStart;
    }
    for (; x < avail; ++x) {
        for (int f = 1; f < N; ++f)
            if (p[f][x] != o[x])
                return lineStart;
        const unsigned char c = o[x];
        const bool bars = c == kBar && x + kSeparatorSize <= avail &&
                          std::all_of(o + x + 1, o + x + kSeparatorSize,
                                      [](unsigned char b) { return b == kBar; });
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

} // namespace

Text textOf(QByteArrayView file) {
    const qsizetype cr = file.indexOf('\r');
    qsizetype start = cr < 0 ? file.size() : cr + 1;
    if (start < file.size() && file[start] == '\n')
        ++start;
    return {file.data(), file.size(), start};
}

template <int N>
qsizetype takeAlike(const Text* texts, const qsizetype* at, LinedUp& out, bool widest) {
#if defined(KEYNOOK_WIDE_CHUNKS)
    static const bool wide = __builtin_cpu_supports("avx2") && __builtin_cpu_supports("bmi") &&
                             __builtin_cpu_supports("bmi2") && __builtin_cpu_supports("lzcnt") &&
                             __builtin_cpu_supports("popcnt");
    if (wide && widest)
        return takeAlikeWide<N>(texts, at, out);
#else
    (void)widest;
#endif
    return takeAlikeNarrow<N>(texts, at, out);
}

template qsizetype takeAlike<2>(const Text*, const qsizetype*, LinedUp&, bool);
template qsizetype takeAlike<3>(const Text*, const qsizetype*, LinedUp&, bool);

bool plainLine(const Text& text, qsizetype at, qsizetype size) {
    if (size > 64 || at + 64 + kSeparatorSize > text.size)
        return false;
    const unsigned char* const p[1] = {reinterpret_cast<const unsigned char*>(text.data) + at};
    const Chunk c = chunkOf<1>(Narrow{}, p, 0);
    const std::uint64_t line = size == 64 ? ~std::uint64_t(0) : (std::uint64_t(1) << size) - 1;
    return ((c.marker | c.longBars) & line) == 0 && bitsIn<Narrow>(c.bars & line) == kSeparators;
}

} // namespace linescan
