// The order the window's list and the command line share: held to a plain
// stable sort of the decoded texts, case-folded, over random fields (escaped
// ones, characters beyond the BMP and many equal texts among them).
#include "VaultTestSupport.h"

#include "vault/EntrySort.h"
#include "vault/EntryStore.h"

#include <QStringList>

#include <gtest/gtest.h>

#include <algorithm>
#include <numeric>
#include <random>
#include <vector>

namespace {

TEST(EntrySort, AgreesWithAStableSortOfTheFoldedTexts) {
    const std::uint32_t start = testsupport::randomStartValue();
    testsupport::FieldMaker fields(start);
    std::mt19937 gen(start);
    // A few short names, so that equal texts in other cases are frequent.
    const QStringList few = {QStringLiteral("abc"), QStringLiteral("ABC"), QStringLiteral("Abc"),
                             QStringLiteral("stra\u00dfe"), QString()};
    for (int round = 0; round < 40; ++round) {
        EntryStore store;
        std::vector<Entry> entries;
        const int count = std::uniform_int_distribution<int>(0, 60)(gen);
        for (int i = 0; i < count; ++i) {
            auto text = [&] {
                return gen() % 2 ? few[static_cast<qsizetype>(gen() % few.size())] : fields.field();
            };
            entries.push_back(Entry{text(), text(), text()});
        }
        store.append(entries);
        for (int field = 0; field < 3; ++field) {
            for (const bool ascending : {true, false}) {
                std::vector<int> expected(entries.size());
                std::iota(expected.begin(), expected.end(), 0);
                auto text = [&](int slot) {
                    const Entry& e = entries[static_cast<size_t>(slot)];
                    return (field == 0   ? e.username
                            : field == 1 ? e.password
                                         : e.location)
                        .toCaseFolded();
                };
                std::stable_sort(expected.begin(), expected.end(), [&](int a, int b) {
                    const int c = text(a).compare(text(b));
                    return ascending ? c < 0 : c > 0;
                });
                EXPECT_EQ(entrysort::sortedSlots(store, field, ascending), expected)
                    << "round " << round << ", field " << field << ", start " << start;
            }
        }
    }
}

} // namespace
