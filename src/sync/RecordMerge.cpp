#include "sync/RecordMerge.h"

#include "vault/VaultFormat.h"

#include <algorithm>
#include <cstring>

namespace recordmerge {

namespace {

struct MarkEqual {
    bool operator()(const record::Mark& a, const record::Mark& b) const {
        return a.replica == b.replica && a.counter == b.counter;
    }
};

// Where each of theirs' marks is, in one open-addressed table: a node-based
// map spent most of a large merge waiting on memory.
class MarkIndex {
public:
    explicit MarkIndex(const std::vector<record::Mark>& marks) : m_marks(marks) {
        size_t size = 16;
        while (size < marks.size() * 2)
            size *= 2;
        m_mask = size - 1;
        m_slots.assign(size, kEmpty);
        for (size_t j = 0; j < marks.size(); ++j) {
            size_t at = slotOf(marks[j]);
            while (m_slots[at] != kEmpty) {
                if (MarkEqual()(marks[m_slots[at]], marks[j]))
                    break; // the first holder of a mark is the one found
                at = (at + 1) & m_mask;
            }
            if (m_slots[at] == kEmpty)
                m_slots[at] = static_cast<quint32>(j);
        }
    }
    static constexpr size_t kNone = size_t(-1);
    size_t find(const record::Mark& m) const {
        for (size_t at = slotOf(m); m_slots[at] != kEmpty; at = (at + 1) & m_mask)
            if (MarkEqual()(m_marks[m_slots[at]], m))
                return m_slots[at];
        return kNone;
    }

private:
    static constexpr quint32 kEmpty = 0xFFFFFFFF;
    size_t slotOf(const record::Mark& m) const {
        quint64 h = (m.replica ^ (m.counter * 0x9E3779B97F4A7C15ULL)) * 0xBF58476D1CE4E5B9ULL;
        return static_cast<size_t>(h ^ (h >> 31)) & m_mask;
    }
    const std::vector<record::Mark>& m_marks;
    std::vector<quint32> m_slots;
    size_t m_mask = 0;
};

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
    if (MarkEqual()(om, tm))
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

    const MarkIndex theirsAt(tm);

    // The merged order as a list threaded through `next`: node i < n is
    // ours' entry i, node n + j theirs' entry j.
    const size_t n = om.size();
    constexpr size_t kNone = size_t(-1);
    std::vector<size_t> next(n + tm.size(), kNone);
    std::vector<size_t> oursNodeOfTheirs(tm.size(), kNone);
    enum class Theirs : quint8 { Open, Held, Kept };
    std::vector<Theirs> state(tm.size(), Theirs::Open);
    size_t head = kNone;
    size_t tail = kNone;
    const auto append = [&](size_t node) {
        if (tail == kNone)
            head = node;
        else
            next[tail] = node;
        tail = node;
    };
    for (size_t i = 0; i < n; ++i) {
        const size_t j = theirsAt.find(om[i]);
        if (j != MarkIndex::kNone) {
            // The same mark for another line is no change of ours or theirs
            // but two computers that drew one id: both lines stay.
            if (lt.entries[j] == lo.entries[i]) {
                state[j] = Theirs::Held;
                oursNodeOfTheirs[j] = i;
            } else {
                state[j] = Theirs::Kept;
            }
            append(i);
        } else if (theirs.record.covers(om[i])) {
            result.report.removedByTheirs.push_back(named(lo.entries[i]));
        } else {
            ++result.report.oursOnly;
            append(i);
        }
    }
    // Theirs' new entries, each after the one before it in theirs.
    size_t after = kNone;
    for (size_t j = 0; j < tm.size(); ++j) {
        if (state[j] == Theirs::Held) {
            after = oursNodeOfTheirs[j];
            continue;
        }
        if (state[j] != Theirs::Kept && ours.record.covers(tm[j]))
            continue; // ours removed it
        const size_t node = n + j;
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
    for (size_t node = head; node != kNone; node = next[node]) {
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
    r.marks.reserve(count);
    for (size_t node = head; node != kNone; node = next[node]) {
        put(node < n ? lo.entries[node] : lt.entries[node - n]);
        r.marks.push_back(node < n ? om[node] : tm[node - n]);
    }
    *out++ = '\r';
    *out++ = '\n';
    return result;
}

} // namespace recordmerge
