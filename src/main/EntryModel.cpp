#include "main/EntryModel.h"

int EntryModel::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : static_cast<int>(m_entries.size());
}

int EntryModel::columnCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : static_cast<int>(m_headers.size());
}

QVariant EntryModel::data(const QModelIndex& index, int role) const {
    if (!index.isValid() || (role != Qt::DisplayRole && role != Qt::EditRole))
        return {};
    if (index.column() >= ColumnCount)
        return {};
    return field(index.row(), index.column());
}

const QString& EntryModel::field(int row, int column) const {
    const Entry& e = m_entries[static_cast<size_t>(row)];
    switch (column) {
    case Username:
        return e.username;
    case Password:
        return e.password;
    default:
        return e.location;
    }
}

int EntryModel::rowOf(quint64 id) const {
    for (size_t r = 0; r < m_ids.size(); ++r)
        if (m_ids[r] == id)
            return static_cast<int>(r);
    return -1;
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

void EntryModel::append(std::vector<Entry> entries) {
    if (entries.empty())
        return;
    const int first = rowCount();
    beginInsertRows({}, first, first + static_cast<int>(entries.size()) - 1);
    m_ids.reserve(m_ids.size() + entries.size());
    for (size_t i = 0; i < entries.size(); ++i)
        m_ids.push_back(m_nextId++);
    if (m_entries.empty())
        m_entries = std::move(entries);
    else
        m_entries.insert(m_entries.end(), std::make_move_iterator(entries.begin()),
                         std::make_move_iterator(entries.end()));
    endInsertRows();
}

quint64 EntryModel::append(Entry entry) {
    const int row = rowCount();
    const quint64 id = m_nextId++;
    beginInsertRows({}, row, row);
    m_entries.push_back(std::move(entry));
    m_ids.push_back(id);
    endInsertRows();
    return id;
}

void EntryModel::replace(int row, Entry entry) {
    m_entries[static_cast<size_t>(row)] = std::move(entry);
    emit dataChanged(index(row, 0), index(row, columnCount() - 1));
}

void EntryModel::remove(int row) {
    beginRemoveRows({}, row, row);
    m_entries.erase(m_entries.begin() + row);
    m_ids.erase(m_ids.begin() + row);
    endRemoveRows();
}
