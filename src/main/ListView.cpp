#include "main/ListView.h"

#include "main/EntryModel.h"

#include <QHeaderView>

EntrySortProxy::EntrySortProxy(EntryModel* entries, QObject* parent)
    : QSortFilterProxyModel(parent), m_entries(entries) {
    setSourceModel(entries);
    setSortCaseSensitivity(Qt::CaseInsensitive);
    setDynamicSortFilter(true);
}

bool EntrySortProxy::lessThan(const QModelIndex& left, const QModelIndex& right) const {
    // Straight from the entries: no variant per comparison.
    const int column = left.column();
    return QString::compare(m_entries->field(left.row(), column),
                            m_entries->field(right.row(), column), Qt::CaseInsensitive) < 0;
}

ListView::ListView(EntryModel* entries, QWidget* parent)
    : QTreeView(parent), m_entries(entries), m_proxy(new EntrySortProxy(entries, this)) {
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
    setModel(m_proxy);
}

int ListView::rowCount() const {
    return m_proxy->rowCount();
}

int ListView::firstSelectedRow() const {
    int first = -1;
    for (const QModelIndex& index : selectionModel()->selectedRows())
        if (first < 0 || index.row() < first)
            first = index.row();
    return first;
}

int ListView::sourceRow(int displayRow) const {
    return m_proxy->mapToSource(m_proxy->index(displayRow, 0)).row();
}

int ListView::displayRow(int sourceRow) const {
    return m_proxy->mapFromSource(m_entries->index(sourceRow, 0)).row();
}

void ListView::setSortSettings(bool sorted, int column, Qt::SortOrder order) {
    m_sorted = sorted;
    m_sortKey = column;
    m_sortOrder = order;
    if (!m_sorted)
        return;
    m_proxy->sort(m_sortKey, m_sortOrder);
    header()->setSortIndicatorShown(true);
    header()->setSortIndicator(m_sortKey, m_sortOrder);
}
