#include "main/ListView.h"

#include "main/EntryModel.h"

#include <QHeaderView>
#include <QKeyEvent>
#include <QSignalBlocker>

ListView::ListView(EntryModel* entries, QWidget* parent) : QTreeView(parent), m_entries(entries) {
    setRootIsDecorated(false);
    setItemsExpandable(false);
    setUniformRowHeights(true);
    setAllColumnsShowFocus(true);
    setSelectionBehavior(QAbstractItemView::SelectRows);
    setSelectionMode(QAbstractItemView::ExtendedSelection);
    setEditTriggers(QAbstractItemView::NoEditTriggers);
    header()->setStretchLastSection(false);
    header()->setDefaultAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    header()->setSectionsClickable(true);
    header()->setSortIndicatorShown(false);
    setModel(m_entries);
    connect(header(), &QHeaderView::sortIndicatorChanged, this, &ListView::showSortIndicator);
}

void ListView::keyPressEvent(QKeyEvent* event) {
    // The view would copy the current cell, a password perhaps, without a
    // word in the status line and without clearing the clipboard first. The
    // Copy buttons and menus are the only way to copy an entry.
    if (event == QKeySequence::Copy) {
        event->ignore();
        return;
    }
    QTreeView::keyPressEvent(event);
}

void ListView::showSortIndicator() {
    const QSignalBlocker quiet(header());
    header()->setSortIndicatorShown(sorted());
    if (sorted())
        header()->setSortIndicator(sortKey(), sortOrder());
}

int ListView::rowCount() const {
    return m_entries->rowCount();
}

int ListView::firstSelectedRow() const {
    int first = -1;
    for (const QModelIndex& index : selectionModel()->selectedRows())
        if (first < 0 || index.row() < first)
            first = index.row();
    return first;
}

bool ListView::sorted() const {
    return m_entries->sorted();
}

int ListView::sortKey() const {
    return m_entries->sortColumn();
}

Qt::SortOrder ListView::sortOrder() const {
    return m_entries->sortOrder();
}

void ListView::sortBy(int column, Qt::SortOrder order) {
    m_entries->sortBy(column, order);
    showSortIndicator();
}
