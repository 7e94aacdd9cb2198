#include "sync/VaultMerge.h"

#include "vault/EntryStore.h"
#include "vault/SealedVault.h"
#include "vault/VaultFormat.h"

#include <QHash>

#include <algorithm>
#include <bit>
#include <deque>
#include <unordered_map>

namespace vaultmerge {

namespace {

constexpr char kMarkerCiphered = vaultformat::kEscapeMarker ^ '\x80';

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

} // namespace

Result merge(std::optional<QByteArrayView> base, QByteArrayView ours, QByteArrayView theirs) {
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
    QByteArrayView masterLine = o.masterLine;
    if (!sameMaster(o.masterLine, t.masterLine)) {
        if (b && sameMaster(t.masterLine, b->masterLine)) {
            // only ours changed it
        } else if (b && sameMaster(o.masterLine, b->masterLine)) {
            masterLine = t.masterLine;
            result.report.masterFromTheirs = true;
        } else {
            result.outcome = Outcome::MasterConflict;
            return result;
        }
    }
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

std::optional<size_t> chooseBase(const std::vector<Seen>& states, QByteArrayView theirs) {
    using Counts = std::unordered_map<QByteArrayView, int, KeyHash>;
    const auto countsOf = [](QByteArrayView plain, std::deque<QByteArray>& made) {
        Copy copy(plain);
        Counts counts;
        for (const QByteArrayView k : copy.keys)
            ++counts[k];
        // Keys made anew live with the copy: keep them.
        for (QByteArray& m : copy.madeAnew)
            made.push_back(std::move(m));
        return counts;
    };
    std::deque<QByteArray> made;
    std::vector<Counts> held;
    held.reserve(states.size());
    for (const Seen& state : states)
        held.push_back(countsOf(state.plain, made));
    const Counts inTheirs = countsOf(theirs, made);
    const auto countIn = [](const Counts& counts, QByteArrayView key) {
        const auto it = counts.find(key);
        return it == counts.end() ? 0 : it->second;
    };
    // What this computer added, at any time, and what it deleted in each
    // state it wrote: the change of each entry's count over the state before.
    Counts addedHere;
    std::vector<std::vector<QByteArrayView>> deletedAt(states.size());
    for (size_t i = 1; i < states.size(); ++i) {
        if (!states[i].written)
            continue;
        for (const auto& [key, count] : held[i])
            if (count > countIn(held[i - 1], key))
                addedHere[key] = 1;
        for (const auto& [key, count] : held[i - 1])
            if (countIn(held[i], key) < count)
                deletedAt[i].push_back(key);
    }
    if (!states.empty() && states[0].written)
        for (const auto& [key, count] : held[0])
            addedHere[key] = 1;
    // A state fits when the other copy holds every entry added here that
    // the state holds, and no more of what this computer deleted up to it
    // than the state does: a copy that still has those never had the state.
    for (size_t i = states.size(); i-- > 0;) {
        bool fits = std::all_of(held[i].begin(), held[i].end(), [&](const auto& entry) {
            return !addedHere.contains(entry.first) ||
                   entry.second <= countIn(inTheirs, entry.first);
        });
        for (size_t j = 1; fits && j <= i; ++j)
            for (const QByteArrayView key : deletedAt[j])
                if (countIn(inTheirs, key) > countIn(held[i], key))
                    fits = false;
        if (fits)
            return i;
    }
    return std::nullopt;
}

std::optional<size_t> chooseConflictBase(const std::vector<Seen>& states, QByteArrayView vault,
                                         QByteArrayView copy) {
    // Two versions changed apart are not each other's past: a state that is
    // either of them is no base (the vault as first read here, its lineage
    // unknown, among them).
    std::vector<Seen> candidates;
    std::vector<size_t> at;
    for (size_t i = states.size(); i-- > 0;) {
        if (states[i].written && states[i].plain == copy) {
            // The copy is this computer's own version: its past is what came
            // before it.
            candidates.clear();
            at.clear();
            for (size_t k = 0; k < i; ++k) {
                if (states[k].plain != vault) {
                    candidates.push_back(states[k]);
                    at.push_back(k);
                }
            }
            const std::optional<size_t> chosen = chooseBase(candidates, vault);
            return chosen ? std::optional<size_t>(at[*chosen]) : std::nullopt;
        }
    }
    for (size_t i = 0; i < states.size(); ++i) {
        if (states[i].plain != vault && states[i].plain != copy) {
            candidates.push_back(states[i]);
            at.push_back(i);
        }
    }
    const std::optional<size_t> chosen = chooseBase(candidates, copy);
    return chosen ? std::optional<size_t>(at[*chosen]) : std::nullopt;
}

} // namespace vaultmerge
