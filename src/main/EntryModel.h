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
    void append(Entry entry);
    void replace(int row, Entry entry);
    void remove(int row);

    const Entry& entry(int row) const { return m_entries[static_cast<size_t>(row)]; }
    const std::vector<Entry>& entries() const { return m_entries; }

private:
    std::vector<Entry> m_entries;
    QStringList m_headers;
};
