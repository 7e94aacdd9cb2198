#include "vault/EntrySort.h"

#include <QStringView>

#include <algorithm>

namespace entrysort {

int compareFolded(const EntryStore& entries, size_t a, size_t b, int field) {
    std::vector<char16_t> fa;
    std::vector<char16_t> fb;
    entries.appendFolded(a, field, fa);
    entries.appendFolded(b, field, fb);
    return QStringView(fa.data(), static_cast<qsizetype>(fa.size()))
        .compare(QStringView(fb.data(), static_cast<qsizetype>(fb.size())));
}

std::vector<int> sortedSlots(const EntryStore& entries, int field, bool ascending) {
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
    items.reserve(entries.size());
    // Room for the longest a column can fold to; what stays unused is never
    // touched, so it takes address space but no memory.
    folded.reserve(static_cast<size_t>(entries.lineBytes()) + 2);
    for (size_t s = 0; s < entries.size(); ++s) {
        const qsizetype begin = static_cast<qsizetype>(folded.size());
        entries.appendFolded(s, field, folded);
        items.push_back(
            {begin, static_cast<qsizetype>(folded.size()) - begin, static_cast<int>(s)});
    }
    const char16_t* base = folded.data();
    std::sort(items.begin(), items.end(), [base, ascending](const Item& a, const Item& b) {
        const int c =
            QStringView(base + a.begin, a.size).compare(QStringView(base + b.begin, b.size));
        return standsAbove(c, static_cast<size_t>(a.slot), static_cast<size_t>(b.slot), ascending);
    });
    std::vector<int> sorted;
    sorted.reserve(items.size());
    for (const Item& i : items)
        sorted.push_back(i.slot);
    return sorted;
}

} // namespace entrysort
