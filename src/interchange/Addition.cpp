#include "interchange/Interchange.h"

#include <algorithm>
#include <unordered_set>

namespace interchange {

namespace {

struct EntryAndDropped {
    std::uint32_t entry;
    std::uint64_t dropped;

    bool operator==(const EntryAndDropped&) const = default;
};

struct EntryAndDroppedHash {
    size_t operator()(const EntryAndDropped& k) const {
        return std::hash<std::uint64_t>()(k.dropped ^ (std::uint64_t(k.entry) << 32 | k.entry));
    }
};

} // namespace

Addition planAddition(const EntryStore& vault, const EncodedImport& import) {
    Addition a;
    const size_t mine = vault.size();
    const size_t theirs = import.entries.size();
    a.chosen.assign(theirs, false);
    if (theirs == 0)
        return a;
    // Every entry of both by one number, the same for the same entry.
    const std::vector<std::uint32_t> numbers = vault.numberedWith(import.entries);
    const auto split = numbers.begin() + static_cast<std::ptrdiff_t>(mine);
    const std::uint32_t vaultDistinct =
        mine == 0 ? 0 : *std::max_element(numbers.begin(), split) + 1;
    const std::uint32_t distinct =
        std::max(vaultDistinct, *std::max_element(split, numbers.end()) + 1);
    // Numbers count up as entries first appear: when the file's entries
    // take as many new numbers as it has entries, each is new and there
    // once, and all are added. That is the usual import, into a vault that
    // holds none of them, and it needs no counting.
    if (distinct - vaultDistinct == theirs) {
        a.chosen.assign(theirs, true);
        a.added = static_cast<qsizetype>(theirs);
        return a;
    }
    // How many times the vault holds each entry, and how many records of
    // the file came so far.
    std::vector<std::uint32_t> held(distinct), seen(distinct);
    for (size_t k = 0; k < mine; ++k)
        ++held[numbers[k]];
    // Records that held nothing more than their entry all compare the same;
    // the others are told apart by what they held that is not kept.
    const bool anyDropped = !import.dropped.empty();
    std::unordered_set<EntryAndDropped, EntryAndDroppedHash> before;
    for (size_t i = 0; i < theirs; ++i) {
        const std::uint32_t n = numbers[mine + i];
        const std::uint64_t dropped = anyDropped ? import.dropped[i] : 0;
        const std::uint32_t earlier = seen[n]++;
        const bool same = !anyDropped || !before.insert({n, dropped}).second;
        if (earlier < held[n]) {
            ++(dropped == 0 ? a.inVault : a.inVaultButForNotKept);
            continue;
        }
        a.chosen[i] = true;
        ++a.added;
        if (earlier > 0)
            ++(same ? a.repeated : a.repeatedButForNotKept);
    }
    return a;
}

void add(EntryStore& vault, EntryStore&& imported, const Addition& plan) {
    vault.appendChosen(std::move(imported), plan.chosen);
}

} // namespace interchange
