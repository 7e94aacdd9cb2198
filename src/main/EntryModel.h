#pragma once

#include "vault/Entry.h"
#include "vault/EntryStore.h"
#include "vault/VaultFormat.h"

#include <QAbstractTableModel>

#include <unordered_set>
#include <vector>

// The entries of the open vault: the program's only copy of them while it
// runs. They are kept in the order they were loaded or added; the rows the
// list shows are a separate display order over them, which a sort changes.
// Every row number in this interface is a display row.
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

    // Adds entries; while the list is sorted each takes its sorted place,
    // otherwise they follow the last row.
    void append(const std::vector<Entry>& entries);
    void append(EntryStore entries);
    // Adds one entry and returns its identity.
    quint64 append(const Entry& entry);
    void replace(int row, const Entry& entry);
    void remove(int row);
    // What the person removed or replaced in this run, each line's
    // record::runDigest(): a plain vault's merge does not bring it back.
    const std::vector<quint64>& removedHere() const { return m_removedHere; }
    // What replaceAll() took in and took away, counted as a merge of the
    // list with the new entries counts it: two entries are the same when
    // the lines a save writes for them are.
    struct Change {
        qsizetype added = 0;
        qsizetype removed = 0;
        // The new lines are the list's own, in its order: nothing changed.
        bool sameLines = false;
    };
    // Takes `entries` in place of all: the vault as another copy's change
    // made it. An entry still there keeps its identity, row selection and
    // current row (the first of equal ones keeps the first identity), and a
    // sorted list stays sorted the same way.
    Change replaceAll(EntryStore entries);
    // True for an entry that such a change took away: an editor still open
    // on it brings it back rather than lose what was typed.
    bool removedByAnotherCopy(quint64 id) const { return m_removedElsewhere.contains(id); }

    Entry entry(int row) const { return m_entries.entry(slot(row)); }
    QString field(int row, int column) const { return m_entries.field(slot(row), column); }
    // The field as a person is shown it: the start of a very long one (laying
    // out megabytes of text freezes a window for minutes), all of any other.
    QString shownField(int row, int column) const;
    // The vault file holding the entries top to bottom, as a save writes it,
    // in the pieces a save writes; see vaultformat::savedPieces() for the
    // master line as read. Good until the entries change.
    vaultformat::FilePieces savedFile(const QString& master,
                                      QByteArrayView masterLineAsRead = {}) const;

    // While the vault is put away (its person gone), the list holds no
    // entry. keptFile() is the vault file of the entries in slot order, for
    // a sealed copy; dropEntries() wipes them and shows no rows, keeping the
    // identities, the display order and the sort settings; bringBack() takes
    // the bytes of keptFile() again and shows the rows as they were. False,
    // with the list left empty, for bytes with another number of entries.
    vaultformat::FilePieces keptFile(const QString& master, QByteArrayView masterLineAsRead) const;
    void dropEntries();
    bool bringBack(QByteArray file);

    // Every entry has an identity that stays with it while rows are added,
    // removed or re-sorted; zero is never one.
    quint64 idAt(int row) const { return m_ids[slot(row)]; }
    // The row of an identity, or -1 when that entry is gone.
    int rowOf(quint64 id) const;

    // Orders the rows by one column's text, ignoring case; equal texts keep
    // the order in which their entries were added. From then on the rows
    // stay sorted that way.
    void sortBy(int column, Qt::SortOrder order);
    bool sorted() const { return m_sorted; }
    int sortColumn() const { return m_sortColumn; }
    Qt::SortOrder sortOrder() const { return m_sortOrder; }

private:
    size_t slot(int row) const { return static_cast<size_t>(m_order[static_cast<size_t>(row)]); }
    // True when the entry in slot a stands above the one in slot b.
    bool above(int a, int b) const;
    // Where an entry in `slot` belongs among the rows, which must not hold it.
    int sortedPlace(int slot) const;
    // Changes the display order, keeping selections and the current row on
    // their entries.
    void reorder(std::vector<int> order);

    EntryStore m_entries;
    std::vector<quint64> m_ids;
    std::unordered_set<quint64> m_removedElsewhere;
    std::vector<int> m_order; // display row -> slot in m_entries
    // m_ids and m_order while the entries are dropped.
    std::vector<quint64> m_awayIds;
    std::vector<int> m_awayOrder;
    quint64 m_nextId = 1;
    QStringList m_headers;
    std::vector<quint64> m_removedHere;
    bool m_sorted = false;
    int m_sortColumn = 0;
    Qt::SortOrder m_sortOrder = Qt::AscendingOrder;
};
