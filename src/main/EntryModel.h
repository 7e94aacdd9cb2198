#pragma once

#include "vault/Entry.h"

#include <QAbstractTableModel>

#include <vector>

// The entries of the open vault, in the order they were loaded or added: the
// program's only copy of them while it runs.
class EntryModel : public QAbstractTableModel {
    Q_OBJECT

public:
    enum Column { Username = 0, Password = 1, Location = 2, ColumnCount = 3 };

    using QAbstractTableModel::QAbstractTableModel;

    int rowCount(const QModelIndex& parent = {}) const override;
    int columnCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation,
                        int role = Qt::DisplayRole) const override;

    void setHeaders(const QStringList& headers);

    // Appends entries as new rows at the end.
    void append(std::vector<Entry> entries);
    // Appends one entry and returns its identity.
    quint64 append(Entry entry);
    void replace(int row, Entry entry);
    void remove(int row);

    const Entry& entry(int row) const { return m_entries[static_cast<size_t>(row)]; }
    const std::vector<Entry>& entries() const { return m_entries; }
    const QString& field(int row, int column) const;

    // Every entry has an identity that stays with it while rows are added,
    // removed or re-sorted; zero is never one.
    quint64 idAt(int row) const { return m_ids[static_cast<size_t>(row)]; }
    // The row of an identity, or -1 when that entry is gone.
    int rowOf(quint64 id) const;

private:
    std::vector<Entry> m_entries;
    std::vector<quint64> m_ids;
    quint64 m_nextId = 1;
    QStringList m_headers;
};
