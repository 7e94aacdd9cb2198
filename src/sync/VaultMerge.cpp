#include "sync/VaultMerge.h"

#include "secrets/Wipe.h"
#include "sync/LineScanner.h"
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
#include <unordered_map>

namespace vaultmerge {

namespace {

using linescan::kMarkerCiphered;

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
    secrets::wipe(x);
    secrets::wipe(y);
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
// copies that holds one of them. The line scanner (LineScanner.h) walks the
// copies and reads their lines; what the lines count for is decided here.

constexpr int kOurs = 0;
constexpr int kTheirs = 1;
constexpr int kBase = 2;
constexpr char kCrLf[] = "\r\n";

using linescan::Ahead;
using linescan::hashOf;
using linescan::LinedUp;
using linescan::Lookahead;
using linescan::printOf;
using linescan::Text;
using linescan::textOf;

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

// An entry line's username, its first field, and location, its last.
Named namedOf(QByteArrayView line) {
    const qsizetype first = vaultformat::findCipheredSeparator(line, 0);
    const qsizetype second =
        vaultformat::findCipheredSeparator(line, first + linescan::kSeparatorSize);
    return {vaultformat::decodeCipheredField(line.first(first)),
            vaultformat::decodeCipheredField(line.sliced(second + linescan::kSeparatorSize))};
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
        s.bytes =
            linescan::takeAlike<N>(texts, at, w.linedUp, instructions == Instructions::Widest);
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
            if (linescan::plainLine(texts[f], h.at, raw.size())) {
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
