#include "main/EntryModel.h"

#include <algorithm>

namespace {

const QString& textOf(const Entry& e, int column) {
    return column == EntryModel::Username   ? e.username
           : column == EntryModel::Password ? e.password
                                            : e.location;
}

// The text with every character case-folded, as a comparison that ignores
// case sees it: comparing folded texts exactly is comparing the originals
// ignoring case.
void appendFolded(std::vector<char16_t>& out, const QString& text) {
    const char16_t* p = reinterpret_cast<const char16_t*>(text.utf16());
    const qsizetype n = text.size();
    for (qsizetype i = 0; i < n; ++i) {
        const char16_t c = p[i];
        if (c < 0x80) {
            out.push_back(c >= 'A' && c <= 'Z' ? static_cast<char16_t>(c + 32) : c);
        } else if (QChar::isHighSurrogate(c) && i + 1 < n && QChar::isLowSurrogate(p[i + 1])) {
            const char32_t f = QChar::toCaseFolded(QChar::surrogateToUcs4(c, p[i + 1]));
            out.push_back(QChar::highSurrogate(f));
            out.push_back(QChar::lowSurrogate(f));
            ++i;
        } else {
            out.push_back(static_cast<char16_t>(QChar::toCaseFolded(static_cast<char32_t>(c))));
        }
    }
}

} // namespace

int EntryModel::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : static_cast<int>(m_order.size());
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
    const Entry& e = entry(row);
    switch (column) {
    case Username:
        return e.username;
    case Password:
        return e.password;
    default:
        return e.location;
    }
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

std::vector<const Entry*> EntryModel::inDisplayOrder() const {
    std::vector<const Entry*> out;
    out.reserve(m_order.size());
    for (int s : m_order)
        out.push_back(&m_entries[static_cast<size_t>(s)]);
    return out;
}

int EntryModel::rowOf(quint64 id) const {
    const auto it = std::find(m_ids.begin(), m_ids.end(), id);
    if (it == m_ids.end())
        return -1;
    const int s = static_cast<int>(it - m_ids.begin());
    return static_cast<int>(std::find(m_order.begin(), m_order.end(), s) - m_order.begin());
}

bool EntryModel::above(int a, int b) const {
    std::vector<char16_t> fa;
    std::vector<char16_t> fb;
    appendFolded(fa, textOf(m_entries[static_cast<size_t>(a)], m_sortColumn));
    appendFolded(fb, textOf(m_entries[static_cast<size_t>(b)], m_sortColumn));
    const int c = QStringView(fa.data(), static_cast<qsizetype>(fa.size()))
                      .compare(QStringView(fb.data(), static_cast<qsizetype>(fb.size())));
    if (c != 0)
        return m_sortOrder == Qt::AscendingOrder ? c < 0 : c > 0;
    return a < b; // equal texts: in the order added
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

void EntryModel::sortBy(int column, Qt::SortOrder order) {
    m_sorted = true;
    m_sortColumn = column;
    m_sortOrder = order;
    // Every text is folded once into one shared buffer, so that the many
    // comparisons of a sort (some 17 per entry at 100,000 entries) are plain
    // ones over a compact array, with no allocation per entry.
    std::vector<char16_t> folded;
    struct Item {
        qsizetype begin;
        qsizetype size;
        int slot;
    };
    std::vector<Item> items;
    items.reserve(m_entries.size());
    qsizetype total = 0;
    for (const Entry& e : m_entries)
        total += textOf(e, column).size();
    folded.reserve(static_cast<size_t>(total) + 2);
    for (size_t s = 0; s < m_entries.size(); ++s) {
        const qsizetype begin = static_cast<qsizetype>(folded.size());
        appendFolded(folded, textOf(m_entries[s], column));
        items.push_back(
            {begin, static_cast<qsizetype>(folded.size()) - begin, static_cast<int>(s)});
    }
    const char16_t* base = folded.data();
    const bool ascending = order == Qt::AscendingOrder;
    std::sort(items.begin(), items.end(), [base, ascending](const Item& a, const Item& b) {
        const int c =
            QStringView(base + a.begin, a.size).compare(QStringView(base + b.begin, b.size));
        if (c != 0)
            return ascending ? c < 0 : c > 0;
        return a.slot < b.slot;
    });
    std::vector<int> sorted;
    sorted.reserve(items.size());
    for (const Item& i : items)
        sorted.push_back(i.slot);
    reorder(std::move(sorted));
}

void EntryModel::append(std::vector<Entry> entries) {
    if (entries.empty())
        return;
    if (m_sorted) {
        for (Entry& e : entries)
            append(std::move(e));
        return;
    }
    const int first = rowCount();
    beginInsertRows({}, first, first + static_cast<int>(entries.size()) - 1);
    const int base = static_cast<int>(m_entries.size());
    m_ids.reserve(m_ids.size() + entries.size());
    m_order.reserve(m_order.size() + entries.size());
    for (size_t i = 0; i < entries.size(); ++i) {
        m_ids.push_back(m_nextId++);
        m_order.push_back(base + static_cast<int>(i));
    }
    if (m_entries.empty())
        m_entries = std::move(entries);
    else
        m_entries.insert(m_entries.end(), std::make_move_iterator(entries.begin()),
                         std::make_move_iterator(entries.end()));
    endInsertRows();
}

quint64 EntryModel::append(Entry entry) {
    const quint64 id = m_nextId++;
    const int s = static_cast<int>(m_entries.size());
    m_entries.push_back(std::move(entry));
    m_ids.push_back(id);
    const int row = m_sorted ? sortedPlace(s) : rowCount();
    beginInsertRows({}, row, row);
    m_order.insert(m_order.begin() + row, s);
    endInsertRows();
    return id;
}

void EntryModel::replace(int row, Entry entry) {
    const int s = m_order[static_cast<size_t>(row)];
    m_entries[static_cast<size_t>(s)] = std::move(entry);
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
    m_entries.erase(m_entries.begin() + s);
    m_ids.erase(m_ids.begin() + s);
    for (int& o : m_order)
        if (o > s)
            --o;
    endRemoveRows();
}
