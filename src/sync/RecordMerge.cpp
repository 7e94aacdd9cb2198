#include "sync/RecordMerge.h"

#include "vault/VaultFormat.h"

#include <algorithm>
#include <cstring>
#include <unordered_map>

namespace recordmerge {

namespace {

bool sameMark(const record::Mark& a, const record::Mark& b) {
    return a.replica == b.replica && a.counter == b.counter;
}

// Whether ours' entry and theirs' are one change: the same replica and
// count, or for content marks the same line and occurrence, which is what
// their digest is made of, known yet or not.
bool sameEntry(const record::Mark& a, QByteArrayView la, const record::Mark& b, QByteArrayView lb) {
    if (a.replica != b.replica)
        return false;
    if (!a.isContent())
        return a.counter == b.counter;
    return a.occurrence == b.occurrence && la == lb;
}

constexpr quint32 kUnmatched = 0xFFFFFFFF;

// Entries of one copy not yet matched, by their mark: a content mark by its
// line, with this run's seeded digest, so that no file can be made to pile
// its lines onto one key.
class Waiting {
public:
    Waiting(const std::vector<record::Mark>& marks, const record::Lines& lines)
        : m_marks(marks), m_lines(lines) {}
    void add(size_t at) { m_waiting.emplace(keyOf(m_marks[at], m_lines.entries[at]), at); }
    // The entry waiting with the mark `m` of the line `line`, taken out.
    quint32 take(const record::Mark& m, QByteArrayView line) {
        if (m_waiting.empty())
            return kUnmatched;
        const auto [first, last] = m_waiting.equal_range(keyOf(m, line));
        for (auto it = first; it != last; ++it)
            if (sameEntry(m_marks[it->second], m_lines.entries[it->second], m, line)) {
                const auto at = static_cast<quint32>(it->second);
                m_waiting.erase(it);
                return at;
            }
        return kUnmatched;
    }

private:
    static quint64 keyOf(const record::Mark& m, QByteArrayView line) {
        return m.isContent() ? record::runDigest(line) ^ m.occurrence
                             : m.replica ^ (m.counter * 0x9E3779B97F4A7C15ULL);
    }
    const std::vector<record::Mark>& m_marks;
    const record::Lines& m_lines;
    std::unordered_multimap<quint64, size_t> m_waiting;
};

// For each of ours' entries, theirs' entry with the same mark (kUnmatched
// when none). Both copies mostly hold their entries in one order, so the
// two are walked side by side and only entries that do not line up wait in
// a table until their match comes: a table of every entry spent most of a
// large merge on its memory.
std::vector<quint32> matchOfOurs(const Side& ours, const Side& theirs) {
    const std::vector<record::Mark>& om = ours.record.marks;
    const std::vector<record::Mark>& tm = theirs.record.marks;
    const record::Lines& lo = ours.lines;
    const record::Lines& lt = theirs.lines;
    std::vector<quint32> match(om.size(), kUnmatched);
    Waiting oursWaiting(om, lo);
    Waiting theirsWaiting(tm, lt);
    size_t i = 0;
    size_t j = 0;
    while (i < om.size() && j < tm.size()) {
        if (sameEntry(om[i], lo.entries[i], tm[j], lt.entries[j])) {
            match[i++] = static_cast<quint32>(j++);
        } else if (const quint32 t = theirsWaiting.take(om[i], lo.entries[i]); t != kUnmatched) {
            match[i++] = t;
        } else if (const quint32 o = oursWaiting.take(tm[j], lt.entries[j]); o != kUnmatched) {
            match[o] = static_cast<quint32>(j++);
        } else {
            oursWaiting.add(i++);
            theirsWaiting.add(j++);
        }
    }
    for (; i < om.size(); ++i)
        match[i] = theirsWaiting.take(om[i], lo.entries[i]);
    for (; j < tm.size(); ++j)
        if (const quint32 o = oursWaiting.take(tm[j], lt.entries[j]); o != kUnmatched)
            match[o] = static_cast<quint32>(j);
    return match;
}

vaultmerge::Named named(QByteArrayView line) {
    const Entry e = vaultformat::decodeEntryLine(line);
    return {e.username, e.location};
}

std::vector<quint64> unionOf(const std::vector<quint64>& a, const std::vector<quint64>& b) {
    std::vector<quint64> out;
    out.reserve(a.size() + b.size());
    std::set_union(a.begin(), a.end(), b.begin(), b.end(), std::back_inserter(out));
    return out;
}

enum class MasterFrom { Ours, Theirs, Conflict };

MasterFrom masterFrom(const Side& ours, const Side& theirs) {
    const record::Lines& lo = ours.lines;
    const record::Lines& lt = theirs.lines;
    const record::Mark& om = ours.record.master;
    const record::Mark& tm = theirs.record.master;
    const bool sameLine = lo.master == lt.master;
    if (sameMark(om, tm))
        return sameLine ? MasterFrom::Ours : MasterFrom::Conflict;
    const bool theirsSawOurs = theirs.record.covers(om);
    const bool oursSawTheirs = ours.record.covers(tm);
    if (theirsSawOurs && !oursSawTheirs)
        return MasterFrom::Theirs;
    if (oursSawTheirs && !theirsSawOurs)
        return MasterFrom::Ours;
    // Changed on both sides: only the same password merges.
    return sameLine ? MasterFrom::Ours : MasterFrom::Conflict;
}

} // namespace

Result merge(const Side& ours, const Side& theirs) {
    Result result;
    const record::Lines& lo = ours.lines;
    const record::Lines& lt = theirs.lines;
    const MasterFrom from = masterFrom(ours, theirs);
    if (from == MasterFrom::Conflict) {
        result.outcome = vaultmerge::Outcome::MasterConflict;
        return result;
    }
    const std::vector<record::Mark>& om = ours.record.marks;
    const std::vector<record::Mark>& tm = theirs.record.marks;

    const std::vector<quint32> match = matchOfOurs(ours, theirs);

    // The merged order as a list threaded through `next`: node i < n is
    // ours' entry i, node n + j theirs' entry j.
    // Nodes count in 32 bits: a vault file of the largest size holds far
    // fewer lines, and the list is half the memory.
    const auto n = static_cast<quint32>(om.size());
    constexpr quint32 kNone = kUnmatched;
    std::vector<quint32> next(n + tm.size(), kNone);
    std::vector<quint32> oursNodeOfTheirs(tm.size(), kNone);
    enum class Theirs : quint8 { Open, Held, Kept };
    std::vector<Theirs> state(tm.size(), Theirs::Open);
    quint32 head = kNone;
    quint32 tail = kNone;
    const auto append = [&](quint32 node) {
        if (tail == kNone)
            head = node;
        else
            next[tail] = node;
        tail = node;
    };
    for (quint32 i = 0; i < n; ++i) {
        const quint32 j = match[i];
        if (j != kUnmatched) {
            // The same mark for another line is no change of ours or theirs
            // but two computers that drew one id: both lines stay.
            // (A content mark is its line: matched, the lines are one.)
            if (om[i].isContent() || lt.entries[j] == lo.entries[i]) {
                state[j] = Theirs::Held;
                oursNodeOfTheirs[j] = i;
            } else {
                state[j] = Theirs::Kept;
            }
            append(i);
        } else if (theirs.record.covers(record::withDigest(om[i], lo.entries[i]))) {
            result.report.removedByTheirs.push_back(named(lo.entries[i]));
        } else {
            ++result.report.oursOnly;
            append(i);
        }
    }
    // Theirs' new entries, each after the one before it in theirs.
    quint32 after = kNone;
    for (quint32 j = 0; j < tm.size(); ++j) {
        if (state[j] == Theirs::Held) {
            after = oursNodeOfTheirs[j];
            continue;
        }
        if (state[j] != Theirs::Kept &&
            ours.record.covers(record::withDigest(tm[j], lt.entries[j])))
            continue; // ours removed it
        const quint32 node = n + j;
        result.report.fromTheirs.push_back(named(lt.entries[j]));
        if (after == kNone) {
            append(node);
        } else {
            next[node] = next[after];
            next[after] = node;
            if (tail == after)
                tail = node;
        }
        after = node;
    }

    const QByteArrayView master = from == MasterFrom::Theirs ? lt.master : lo.master;
    result.report.masterFromTheirs = from == MasterFrom::Theirs && lt.master != lo.master;
    record::Record& r = result.record;
    r.master = from == MasterFrom::Theirs ? theirs.record.master : ours.record.master;
    r.vector = ours.record.vector;
    for (const auto& [replica, counter] : theirs.record.vector)
        r.see(replica, counter);
    r.removedContent = unionOf(ours.record.removedContent, theirs.record.removedContent);

    qsizetype size = master.size() + 4;
    size_t count = 0;
    for (quint32 node = head; node != kNone; node = next[node]) {
        size += (node < n ? lo.entries[node] : lt.entries[node - n]).size() + 2;
        ++count;
    }
    // Written once into a buffer of its final size.
    result.file = QByteArray(size, Qt::Uninitialized);
    char* out = result.file.data();
    const auto put = [&out](QByteArrayView bytes) {
        std::memcpy(out, bytes.data(), static_cast<size_t>(bytes.size()));
        out += bytes.size();
        *out++ = '\r';
        *out++ = '\n';
    };
    put(master);
    r.marks.resize(count);
    record::Mark* mark = r.marks.data();
    for (quint32 node = head; node != kNone; node = next[node]) {
        put(node < n ? lo.entries[node] : lt.entries[node - n]);
        *mark++ = node < n ? om[node] : tm[node - n];
    }
    *out++ = '\r';
    *out++ = '\n';
    return result;
}

} // namespace recordmerge
