#include "main/EntryModel.h"

#include "secrets/Wipe.h"
#include "sync/Record.h"
#include "vault/EntrySort.h"
#include "vault/VaultFormat.h"

#include <QScopeGuard>

#include <algorithm>
#include <bit>
#include <cstdint>
#include <deque>
#include <numeric>
#include <unordered_map>

int EntryModel::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : static_cast<int>(m_order.size());
}

int EntryModel::columnCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : static_cast<int>(m_headers.size());
}

QString EntryModel::shownField(int row, int column) const {
    constexpr qsizetype kShownChars = 1000;
    return m_entries.fieldStart(slot(row), column, kShownChars);
}

QVariant EntryModel::data(const QModelIndex& index, int role) const {
    if (!index.isValid() || (role != Qt::DisplayRole && role != Qt::EditRole))
        return {};
    if (index.column() >= ColumnCount)
        return {};
    // Copy, Edit and Save read the whole field; a cell shows its start.
    if (role == Qt::DisplayRole)
        return shownField(index.row(), index.column());
    return field(index.row(), index.column());
}

QVariant EntryModel::headerData(int section, Qt::Orientation orientation, int role) const {
    if (orientation == Qt::Horizontal && role == Qt::DisplayRole && section >= 0 &&
        section < m_headers.size())
        return m_headers[section];
    return QAbstractTableModel::headerData(section, orientation, role);
}

void EntryModel::setHeaders(const QStringList& headers) {
    beginResetModel();
    m_headers = headers;
    endResetModel();
}

vaultformat::FilePieces EntryModel::savedFile(const QString& master,
                                              QByteArrayView masterLineAsRead) const {
    return vaultformat::savedPieces(master, m_entries, m_order, masterLineAsRead);
}

vaultformat::FilePieces EntryModel::keptFile(const QString& master,
                                             QByteArrayView masterLineAsRead) const {
    std::vector<int> inOrder(m_entries.size());
    std::iota(inOrder.begin(), inOrder.end(), 0);
    return vaultformat::savedPieces(master, m_entries, inOrder, masterLineAsRead);
}

void EntryModel::dropEntries() {
    beginResetModel();
    m_entries.wipeWhenFreed();
    m_entries = EntryStore();
    m_entries.wipeWhenFreed();
    m_awayIds = std::exchange(m_ids, {});
    m_awayOrder = std::exchange(m_order, {});
    endResetModel();
}

bool EntryModel::bringBack(QByteArray file) {
    EntryStore entries = EntryStore::fromFile(std::move(file));
    entries.wipeWhenFreed();
    if (entries.size() != m_awayIds.size())
        return false;
    beginResetModel();
    m_entries = std::move(entries);
    m_ids = std::exchange(m_awayIds, {});
    m_order = std::exchange(m_awayOrder, {});
    endResetModel();
    return true;
}

int EntryModel::rowOf(quint64 id) const {
    const auto it = std::find(m_ids.begin(), m_ids.end(), id);
    if (it == m_ids.end())
        return -1;
    const int s = static_cast<int>(it - m_ids.begin());
    return static_cast<int>(std::find(m_order.begin(), m_order.end(), s) - m_order.begin());
}

bool EntryModel::above(int a, int b) const {
    const auto sa = static_cast<size_t>(a);
    const auto sb = static_cast<size_t>(b);
    // Equal texts stand in the order added.
    return entrysort::standsAbove(entrysort::compareFolded(m_entries, sa, sb, m_sortColumn), sa, sb,
                                  m_sortOrder == Qt::AscendingOrder);
}

int EntryModel::sortedPlace(int slot) const {
    const auto it = std::lower_bound(m_order.begin(), m_order.end(), slot,
                                     [this](int have, int want) { return above(have, want); });
    return static_cast<int>(it - m_order.begin());
}

void EntryModel::reorder(std::vector<int> order) {
    emit layoutAboutToBeChanged();
    const QModelIndexList before = persistentIndexList();
    std::vector<int> held;
    held.reserve(static_cast<size_t>(before.size()));
    for (const QModelIndex& i : before)
        held.push_back(m_order[static_cast<size_t>(i.row())]);
    m_order = std::move(order);
    std::vector<int> rowOfSlot(m_entries.size());
    for (size_t r = 0; r < m_order.size(); ++r)
        rowOfSlot[static_cast<size_t>(m_order[r])] = static_cast<int>(r);
    QModelIndexList after;
    after.reserve(before.size());
    for (qsizetype k = 0; k < before.size(); ++k)
        after.append(index(rowOfSlot[static_cast<size_t>(held[static_cast<size_t>(k)])],
                           before[k].column()));
    changePersistentIndexList(before, after);
    emit layoutChanged();
}

namespace {

// No slot.
constexpr size_t kNone = SIZE_MAX;

size_t hashOf(QByteArrayView line) {
    return qHash(line, 0x5eed);
}

// For each line of a store, the first slot holding the same bytes, found by
// open addressing: each line is hashed once, with no allocation per line.
// Half full at most. The table is larger than a cache and each look at it
// lands anywhere in it, so the lines are hashed first and their cells asked
// for a few lines ahead.
class EqualLines {
public:
    explicit EqualLines(const EntryStore& store)
        : m_store(store), m_mask(std::bit_ceil(2 * store.size() + 1) - 1), m_cells(m_mask + 1, 0),
          m_hashes(store.size()), m_first(store.size()) {
        for (size_t s = 0; s < store.size(); ++s)
            m_hashes[s] = hashOf(store.line(s));
        for (size_t s = 0; s < store.size(); ++s) {
            if (s + kAhead < store.size())
                __builtin_prefetch(&m_cells[m_hashes[s + kAhead] & m_mask]);
            size_t at = 0;
            const size_t first = lookup(store.line(s), m_hashes[s], at);
            if (first == kNone)
                m_cells[at] = static_cast<int>(s) + 1;
            m_first[s] = static_cast<int>(first == kNone ? s : first);
        }
    }
    // The first slot holding the same bytes as `slot`.
    size_t first(size_t slot) const { return static_cast<size_t>(m_first[slot]); }
    // The first slot holding `line`, or kNone.
    size_t find(QByteArrayView line) const {
        size_t at = 0;
        return lookup(line, hashOf(line), at);
    }

private:
    static constexpr size_t kAhead = 16;

    // The first slot holding the line, or kNone with `at` the free cell
    // where it would go.
    size_t lookup(QByteArrayView line, size_t hash, size_t& at) const {
        for (at = hash & m_mask;; at = (at + 1) & m_mask) {
            const int cell = m_cells[at];
            if (cell == 0)
                return kNone;
            const auto first = static_cast<size_t>(cell - 1);
            if (m_hashes[first] == hash && m_store.line(first) == line)
                return first;
        }
    }

    const EntryStore& m_store;
    size_t m_mask;
    std::vector<int> m_cells; // a line's first slot + 1, or 0
    std::vector<size_t> m_hashes;
    std::vector<int> m_first;
};

// Whether two lines of `store` are the same, given each line's hash. Equal
// lines have equal hashes: of the lines whose hashes meet on one bit of a
// table of 16 bits a line (a few in a hundred), any two with the same hash
// are compared.
bool anyRepeated(const EntryStore& store, const std::vector<size_t>& hashes) {
    const size_t bits = std::bit_ceil(std::max<size_t>(64, 16 * hashes.size()));
    std::vector<quint64> once(bits / 64);
    std::vector<quint64> twice(bits / 64);
    const auto bitOf = [bits](size_t hash) { return hash & (bits - 1); };
    for (const size_t h : hashes) {
        const size_t b = bitOf(h);
        const quint64 mask = quint64(1) << (b % 64);
        (once[b / 64] & mask ? twice[b / 64] : once[b / 64]) |= mask;
    }
    std::vector<std::pair<size_t, size_t>> met; // hash, slot
    for (size_t s = 0; s < hashes.size(); ++s) {
        const size_t b = bitOf(hashes[s]);
        if (twice[b / 64] & (quint64(1) << (b % 64)))
            met.emplace_back(hashes[s], s);
    }
    std::sort(met.begin(), met.end());
    for (size_t a = 0; a < met.size(); ++a)
        for (size_t b = a + 1; b < met.size() && met[b].first == met[a].first; ++b)
            if (store.line(met[a].second) == store.line(met[b].second))
                return true;
    return false;
}

// Which old line each new line takes the identity of (kNone: none, it is
// new): the k-th of equal new lines takes the k-th smallest identity of the
// equal old ones.
//
// Most of the time no two old lines are the same and the new lines are the
// old ones in their order, another copy having added and removed a few. Then
// each new line is looked for among the next few old lines, and the old
// lines are hashed as they are passed, while their bytes are at hand; the
// ones passed over were removed. A new line not found there is looked for
// by its hash further on (a block of lines removed), and otherwise (added,
// or moved back) among all the old hashes afterwards, where the first new
// line of its kind takes the old line from a later one. False, with nothing
// decided, when two old lines are the same or too many new lines were not
// found in order: matchByKind() then decides.
bool matchInOrder(const EntryStore& was, const EntryStore& now, std::vector<size_t>& match) {
    // How far ahead a new line is looked for by its bytes, and by its hash.
    constexpr size_t kNear = 8;
    constexpr size_t kFar = 256;
    // Each new line not found in order is looked for among all the old
    // hashes: beyond this many, the table of matchByKind() costs less.
    constexpr size_t kMostOutOfOrder = 64;
    const size_t count = was.size();
    std::vector<size_t> hashes(count);
    size_t hashed = 0;
    const auto hashTo = [&](size_t end) {
        for (end = std::min(end, count); hashed < end; ++hashed)
            hashes[hashed] = hashOf(was.line(hashed));
    };
    std::vector<size_t> takenBy(count, kNone);
    std::vector<std::pair<size_t, size_t>> outOfOrder; // new slot, hash
    match.assign(now.size(), kNone);
    size_t next = 0;
    for (size_t s = 0; s < now.size(); ++s) {
        const QByteArrayView line = now.line(s);
        size_t at = next;
        while (at < std::min(count, next + kNear) && was.line(at) != line)
            ++at;
        if (at == count || at == next + kNear) {
            const size_t hash = hashOf(line);
            hashTo(next + kFar);
            at = next;
            while (at < hashed && (hashes[at] != hash || was.line(at) != line))
                ++at;
            if (at == hashed) {
                if (outOfOrder.size() == kMostOutOfOrder)
                    return false;
                outOfOrder.emplace_back(s, hash);
                continue;
            }
        }
        hashTo(at + 1);
        match[s] = at;
        takenBy[at] = s;
        next = at + 1;
    }
    hashTo(count);
    if (anyRepeated(was, hashes))
        return false;
    // Every old line is one of a kind: the first new line of that kind takes it.
    for (const auto& [s, hash] : outOfOrder) {
        const QByteArrayView line = now.line(s);
        size_t f = 0;
        while (f < count && (hashes[f] != hash || was.line(f) != line))
            ++f;
        if (f == count)
            continue;
        const size_t other = takenBy[f];
        if (other != kNone && other < s)
            continue;
        if (other != kNone)
            match[other] = kNone;
        match[s] = f;
        takenBy[f] = s;
    }
    return true;
}

// The same as matchInOrder() for any lines: the old lines by kind, the slots
// of the line first held in slot f from start[f] to start[f + 1], the
// smallest identity first.
void matchByKind(const EntryStore& was, const std::vector<quint64>& ids, const EntryStore& now,
                 std::vector<size_t>& match) {
    const EqualLines old(was);
    const size_t count = was.size();
    std::vector<int> start(count + 1, 0);
    for (size_t s = 0; s < count; ++s)
        ++start[old.first(s) + 1];
    std::partial_sum(start.begin(), start.end(), start.begin());
    std::vector<int> taken(start.begin(), start.end() - 1); // the next unused, per line
    std::vector<int> members(count);
    for (size_t s = 0; s < count; ++s)
        members[static_cast<size_t>(taken[old.first(s)]++)] = static_cast<int>(s);
    const auto byIdentity = [&ids](int a, int b) {
        return ids[static_cast<size_t>(a)] < ids[static_cast<size_t>(b)];
    };
    for (size_t f = 0; f < count; ++f) {
        taken[f] = start[f];
        if (start[f + 1] - start[f] > 1)
            std::sort(members.begin() + start[f], members.begin() + start[f + 1], byIdentity);
    }
    // A line equal to the one after the last old line taken is found
    // without a look-up.
    match.assign(now.size(), kNone);
    size_t next = 0;
    for (size_t s = 0; s < now.size(); ++s) {
        const QByteArrayView line = now.line(s);
        const size_t f = next < count && was.line(next) == line ? old.first(next) : old.find(line);
        if (f != kNone && taken[f] < start[f + 1]) {
            match[s] = static_cast<size_t>(members[static_cast<size_t>(taken[f]++)]);
            next = match[s] + 1;
        }
    }
}

// How many entries came and went, as a merge counts them: by the line a save
// writes for each now. Only a line with the escape marker can differ from
// that (kept as an earlier save escaped it), and only such a line is made
// anew. `came` and `went` share no line, so unless one was made anew none of
// them cancel out.
EntryModel::Change countedAsMerged(const EntryStore& now, const std::vector<size_t>& came,
                                   const EntryStore& was, const std::vector<size_t>& went) {
    std::deque<QByteArray> madeAnew;
    const auto key = [&madeAnew](QByteArrayView line) {
        if (!line.contains(vaultformat::kCipheredEscapeMarker))
            return line;
        QByteArray made = vaultformat::encodeEntryLine(vaultformat::decodeEntryLine(line));
        if (made == line)
            return line;
        madeAnew.push_back(std::move(made));
        return QByteArrayView(madeAnew.back());
    };
    // A sealed vault's lines are secrets: what is made of them goes wiped.
    const auto wipeMade = qScopeGuard([&madeAnew] {
        for (QByteArray& made : madeAnew)
            secrets::wipe(made);
    });
    std::vector<QByteArrayView> in;
    in.reserve(came.size());
    for (const size_t s : came)
        in.push_back(key(now.line(s)));
    std::vector<QByteArrayView> out;
    out.reserve(went.size());
    for (const size_t s : went)
        out.push_back(key(was.line(s)));
    EntryModel::Change change;
    if (madeAnew.empty()) {
        change.added = static_cast<qsizetype>(in.size());
        change.removed = static_cast<qsizetype>(out.size());
        return change;
    }
    const auto hash = [](QByteArrayView line) { return qHash(line); };
    std::unordered_map<QByteArrayView, qsizetype, decltype(hash)> balance(in.size() + out.size(),
                                                                          hash);
    for (const QByteArrayView k : in)
        ++balance[k];
    for (const QByteArrayView k : out)
        --balance[k];
    for (const auto& [line, n] : balance) {
        if (n > 0)
            change.added += n;
        else
            change.removed -= n;
    }
    return change;
}

} // namespace

EntryModel::Change EntryModel::replaceAll(EntryStore entries) {
    emit layoutAboutToBeChanged();
    const QModelIndexList before = persistentIndexList();
    std::vector<quint64> held;
    held.reserve(static_cast<size_t>(before.size()));
    for (const QModelIndex& i : before)
        held.push_back(idAt(i.row()));
    // Identities follow equal lines, in order.
    std::vector<size_t> match;
    if (!matchInOrder(m_entries, entries, match))
        matchByKind(m_entries, m_ids, entries, match);
    std::vector<quint64> ids(entries.size());
    std::vector<bool> kept(m_entries.size());
    std::vector<size_t> came;
    for (size_t s = 0; s < entries.size(); ++s) {
        if (match[s] == kNone) {
            ids[s] = m_nextId++;
            came.push_back(s);
        } else {
            ids[s] = m_ids[match[s]];
            kept[match[s]] = true;
        }
    }
    std::vector<size_t> went;
    for (size_t s = 0; s < m_entries.size(); ++s)
        if (!kept[s]) {
            went.push_back(s);
            m_removedElsewhere.insert(m_ids[s]);
        }
    Change change = countedAsMerged(entries, came, m_entries, went);
    change.sameLines = entries.size() == m_entries.size() && came.empty() &&
                       std::all_of(match.begin(), match.end(),
                                   [s = size_t(0)](size_t old) mutable { return old == s++; });
    if (m_entries.wipesWhenFreed())
        entries.wipeWhenFreed();
    m_entries = std::move(entries);
    m_ids = std::move(ids);
    m_order.resize(m_entries.size());
    std::iota(m_order.begin(), m_order.end(), 0);
    if (m_sorted)
        m_order =
            entrysort::sortedSlots(m_entries, m_sortColumn, m_sortOrder == Qt::AscendingOrder);
    QModelIndexList after;
    after.reserve(before.size());
    for (qsizetype k = 0; k < before.size(); ++k) {
        const int row = rowOf(held[static_cast<size_t>(k)]);
        after.append(row < 0 ? QModelIndex() : index(row, before[k].column()));
    }
    changePersistentIndexList(before, after);
    emit layoutChanged();
    return change;
}

void EntryModel::sortBy(int column, Qt::SortOrder order) {
    m_sorted = true;
    m_sortColumn = column;
    m_sortOrder = order;
    reorder(entrysort::sortedSlots(m_entries, column, order == Qt::AscendingOrder));
}

void EntryModel::append(const std::vector<Entry>& entries) {
    EntryStore more;
    more.append(entries);
    append(std::move(more));
}

void EntryModel::append(EntryStore entries) {
    if (entries.wipesWhenFreed())
        m_entries.wipeWhenFreed();
    if (entries.empty())
        return;
    if (m_sorted) {
        // Each added row takes its sorted place, as one added alone would.
        for (size_t i = 0; i < entries.size(); ++i)
            append(entries.entry(i));
        return;
    }
    const int first = rowCount();
    const size_t count = entries.size();
    beginInsertRows({}, first, first + static_cast<int>(count) - 1);
    const int base = static_cast<int>(m_entries.size());
    m_ids.reserve(m_ids.size() + count);
    m_order.reserve(m_order.size() + count);
    for (size_t i = 0; i < count; ++i) {
        m_ids.push_back(m_nextId++);
        m_order.push_back(base + static_cast<int>(i));
    }
    m_entries.append(std::move(entries));
    endInsertRows();
}

quint64 EntryModel::append(const Entry& entry) {
    const quint64 id = m_nextId++;
    const int s = static_cast<int>(m_entries.size());
    m_entries.append(entry);
    m_ids.push_back(id);
    const int row = m_sorted ? sortedPlace(s) : rowCount();
    beginInsertRows({}, row, row);
    m_order.insert(m_order.begin() + row, s);
    endInsertRows();
    return id;
}

void EntryModel::replace(int row, const Entry& entry) {
    const int s = m_order[static_cast<size_t>(row)];
    m_removedHere.push_back(record::runDigest(m_entries.line(static_cast<size_t>(s))));
    m_entries.replace(static_cast<size_t>(s), entry);
    emit dataChanged(index(row, 0), index(row, columnCount() - 1));
    if (!m_sorted)
        return;
    // The changed entry moves to its sorted place, as a newly added one would.
    std::vector<int> order = m_order;
    order.erase(order.begin() + row);
    const auto at = std::lower_bound(order.begin(), order.end(), s,
                                     [this](int have, int want) { return above(have, want); });
    if (at - order.begin() == row)
        return;
    order.insert(at, s);
    reorder(std::move(order));
}

void EntryModel::remove(int row) {
    const int s = m_order[static_cast<size_t>(row)];
    m_removedHere.push_back(record::runDigest(m_entries.line(static_cast<size_t>(s))));
    beginRemoveRows({}, row, row);
    m_order.erase(m_order.begin() + row);
    m_entries.erase(static_cast<size_t>(s));
    m_ids.erase(m_ids.begin() + s);
    for (int& o : m_order)
        if (o > s)
            --o;
    endRemoveRows();
}
