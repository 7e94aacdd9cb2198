#include "main/EntryModel.h"

#include "vault/EntrySort.h"
#include "vault/VaultFormat.h"

#include <algorithm>
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

void EntryModel::replaceAll(EntryStore entries) {
    emit layoutAboutToBeChanged();
    const QModelIndexList before = persistentIndexList();
    std::vector<quint64> held;
    held.reserve(static_cast<size_t>(before.size()));
    for (const QModelIndex& i : before)
        held.push_back(idAt(i.row()));
    // Identities follow equal lines, in order.
    const auto hash = [](QByteArrayView line) { return qHash(line); };
    std::unordered_multimap<QByteArrayView, quint64, decltype(hash)> old(m_entries.size(), hash);
    for (size_t s = 0; s < m_entries.size(); ++s)
        old.emplace(m_entries.line(s), m_ids[s]);
    std::vector<quint64> ids(entries.size());
    for (size_t s = 0; s < entries.size(); ++s) {
        const auto range = old.equal_range(entries.line(s));
        auto first = range.first;
        for (auto it = range.first; it != range.second; ++it)
            if (it->second < first->second)
                first = it;
        if (first != range.second) {
            ids[s] = first->second;
            old.erase(first);
        } else {
            ids[s] = m_nextId++;
        }
    }
    for (const auto& [line, id] : old)
        m_removedElsewhere.insert(id);
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
    beginRemoveRows({}, row, row);
    m_order.erase(m_order.begin() + row);
    m_entries.erase(static_cast<size_t>(s));
    m_ids.erase(m_ids.begin() + s);
    for (int& o : m_order)
        if (o > s)
            --o;
    endRemoveRows();
}
