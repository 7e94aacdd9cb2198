#include "sync/RecordMerge.h"

#include "vault/VaultFormat.h"

#include <algorithm>
#include <unordered_map>

namespace recordmerge {

namespace {

struct MarkHash {
    size_t operator()(const record::Mark& m) const {
        return std::hash<quint64>()(m.replica * 0x9E3779B97F4A7C15ULL ^ m.counter);
    }
};
struct MarkEqual {
    bool operator()(const record::Mark& a, const record::Mark& b) const {
        return a.replica == b.replica && a.counter == b.counter;
    }
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

MasterFrom masterFrom(const Side& ours, const record::Lines& lo, const Side& theirs,
                      const record::Lines& lt) {
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
    const record::Lines lo = record::linesOf(ours.plain);
    const record::Lines lt = record::linesOf(theirs.plain);
    const MasterFrom from = masterFrom(ours, lo, theirs, lt);
    if (from == MasterFrom::Conflict) {
        result.outcome = vaultmerge::Outcome::MasterConflict;
        return result;
    }
    const std::vector<record::Mark>& om = ours.record.marks;
    const std::vector<record::Mark>& tm = theirs.record.marks;

    std::unordered_map<record::Mark, size_t, MarkHash, MarkEqual> theirsAt;
    theirsAt.reserve(tm.size());
    for (size_t j = 0; j < tm.size(); ++j)
        theirsAt.emplace(tm[j], j);

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
        const auto it = theirsAt.find(om[i]);
        if (it != theirsAt.end()) {
            // The same mark for another line is no change of ours or theirs
            // but two computers that drew one id: both lines stay.
            if (lt.entries[it->second] == lo.entries[i]) {
                state[it->second] = Theirs::Held;
                oursNodeOfTheirs[it->second] = i;
            } else {
                state[it->second] = Theirs::Kept;
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
    QByteArray& file = result.file;
    file.reserve(size);
    file.append(master.data(), master.size());
    file.append("\r\n", 2);
    r.marks.reserve(count);
    for (size_t node = head; node != kNone; node = next[node]) {
        const QByteArrayView line = node < n ? lo.entries[node] : lt.entries[node - n];
        file.append(line.data(), line.size());
        file.append("\r\n", 2);
        r.marks.push_back(node < n ? om[node] : tm[node - n]);
    }
    file.append("\r\n", 2);
    return result;
}

} // namespace recordmerge
