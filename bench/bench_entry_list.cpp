// The entry list at 100,000 entries, through the real windows on the
// offscreen platform: a header click that sorts, an entry added with the
// editor (and the save that goes with it), and beside them a bare std::sort
// of the same texts and a save on its own, to show where the time goes.
#include "support/BenchVault.h"
#include "support/SampleEntries.h"

#include "dialogs/frmAdd.h"
#include "main/EntryModel.h"
#include "main/Form1.h"
#include "main/ListView.h"
#include "vault/modGlobals.h"

#include <QApplication>
#include <QLineEdit>
#include <QtMessageHandler>

#include <benchmark/benchmark.h>

#include <algorithm>
#include <memory>

namespace {

constexpr int kEntries = 100'000;
// Start values of the entry generator: one for the vault, one for what is
// typed into the editor.
constexpr quint64 kVaultStartValue = 20260314;
constexpr quint64 kTypedStartValue = 7;

bool inOrder(const QString& a, const QString& b, Qt::SortOrder order) {
    const int c = QString::compare(a, b, Qt::CaseInsensitive);
    return order == Qt::AscendingOrder ? c <= 0 : c >= 0;
}

// True when the list shows its rows ordered by its sort column.
bool listInOrder(const ListView& list) {
    const EntryModel& entries = list.entries();
    const int column = list.sortKey();
    for (int r = 1; r < list.rowCount(); ++r) {
        if (!inOrder(entries.field(r - 1, column),
                     entries.field(r, column), list.sortOrder()))
            return false;
    }
    return true;
}

// The vaults are opened once and shared by every run of a benchmark: opening
// one is far slower than what is measured on it. They must go before the
// application object does, so main() owns them.
class Vaults {
public:
    const std::vector<Entry>& entries() {
        if (m_entries.empty())
            m_entries = sampleEntries(kEntries, kVaultStartValue);
        return m_entries;
    }
    const std::vector<Entry>& typed() {
        if (m_typed.empty())
            m_typed = sampleEntries(4096, kTypedStartValue);
        return m_typed;
    }
    // Left in file order: the first click sorts it as it would after a start.
    BenchVault& forSorting() { return get(m_sorting, false); }
    // Sorted by username once, as a user who clicked that header has it.
    BenchVault& forAdding() { return get(m_adding, true); }
    BenchVault& forSaving() { return get(m_saving, true); }

private:
    BenchVault& get(std::unique_ptr<BenchVault>& vault, bool sorted) {
        if (!vault) {
            vault = std::make_unique<BenchVault>(entries());
            if (sorted && vault->main()) {
                vault->main()->lstPass_ColumnClick(1);
                BenchVault::settle();
            }
        }
        return *vault;
    }

    std::vector<Entry> m_entries;
    std::vector<Entry> m_typed;
    std::unique_ptr<BenchVault> m_sorting;
    std::unique_ptr<BenchVault> m_adding;
    std::unique_ptr<BenchVault> m_saving;
};

Vaults* g_vaults = nullptr;

// The offscreen platform says so each time a window asks to be raised or
// sized by hint; those notes would only break up the results table.
QtMessageHandler g_defaultHandler = nullptr;

void quietOffscreenNotes(QtMsgType type, const QMessageLogContext& context, const QString& text) {
    if (type == QtWarningMsg && text.startsWith(QLatin1String("This plugin does not support")))
        return;
    if (g_defaultHandler)
        g_defaultHandler(type, context, text);
}

bool opened(benchmark::State& state, const BenchVault& vault) {
    if (vault.main())
        return true;
    state.SkipWithError(qPrintable(vault.error()));
    return false;
}

// A click on a column header: the order flips on every call, so every call
// sorts all rows again.
void ListSortByColumn(benchmark::State& state) {
    const int column = static_cast<int>(state.range(0));
    BenchVault& vault = g_vaults->forSorting();
    if (!opened(state, vault))
        return;
    Form1* main = vault.main();
    for (auto _ : state) {
        main->lstPass_ColumnClick(column);
        BenchVault::settle();
    }
    const ListView& list = *main->list();
    if (list.sortKey() != column - 1 || !listInOrder(list))
        state.SkipWithError("the list is not in order after the click");
    state.SetItemsProcessed(state.iterations() * list.rowCount());
    state.counters["rows"] = list.rowCount();
}

// The least any sort of these texts can cost: std::sort of the strings
// themselves, with the list's comparison, flipping order like the list.
void StdSortFloor(benchmark::State& state) {
    const int column = static_cast<int>(state.range(0));
    std::vector<QString> texts = columnTexts(g_vaults->entries(), column - 1);
    bool descending = true;
    for (auto _ : state) {
        if (descending)
            std::sort(texts.begin(), texts.end(), [](const QString& a, const QString& b) {
                return QString::compare(a, b, Qt::CaseInsensitive) > 0;
            });
        else
            std::sort(texts.begin(), texts.end(), [](const QString& a, const QString& b) {
                return QString::compare(a, b, Qt::CaseInsensitive) < 0;
            });
        descending = !descending;
        benchmark::DoNotOptimize(texts.data());
    }
    state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(texts.size()));
    state.counters["rows"] = static_cast<double>(texts.size());
}

// What the list's sort does at heart, without the item model around it: a
// stable sort of row numbers, comparing the entries' texts, flipping order.
void StableSortRows(benchmark::State& state) {
    const int column = static_cast<int>(state.range(0));
    const std::vector<QString> texts = columnTexts(g_vaults->entries(), column - 1);
    std::vector<int> rows(texts.size());
    for (size_t i = 0; i < rows.size(); ++i)
        rows[i] = static_cast<int>(i);
    const auto text = [&texts](int row) -> const QString& {
        return texts[static_cast<size_t>(row)];
    };
    bool descending = true;
    for (auto _ : state) {
        if (descending)
            std::stable_sort(rows.begin(), rows.end(), [&](int a, int b) {
                return QString::compare(text(b), text(a), Qt::CaseInsensitive) < 0;
            });
        else
            std::stable_sort(rows.begin(), rows.end(), [&](int a, int b) {
                return QString::compare(text(a), text(b), Qt::CaseInsensitive) < 0;
            });
        descending = !descending;
        benchmark::DoNotOptimize(rows.data());
    }
    state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(rows.size()));
    state.counters["rows"] = static_cast<double>(rows.size());
}

// What a user does to add an entry: Add, type the three fields, Save. Save
// appends the row, which takes its sorted place, rewrites the whole vault and
// closes the editor.
void AddToSortedList(benchmark::State& state) {
    BenchVault& vault = g_vaults->forAdding();
    if (!opened(state, vault))
        return;
    Form1* main = vault.main();
    Program& program = vault.program();
    const std::vector<Entry>& typed = g_vaults->typed();
    const int rowsBefore = main->list()->rowCount();
    const int boxesBefore = vault.boxesShown();
    size_t next = 0;
    for (auto _ : state) {
        const Entry& e = typed[next++ % typed.size()];
        main->cmdAdd_Click(0);
        frmAdd* editor = program.loaded<frmAdd>();
        if (!editor) {
            state.SkipWithError("the editor did not open");
            break;
        }
        editor->findChild<QLineEdit*>(QStringLiteral("txtUsername"))->setText(e.username);
        editor->findChild<QLineEdit*>(QStringLiteral("txtPassword"))->setText(e.password);
        editor->findChild<QLineEdit*>(QStringLiteral("txtWebsite"))->setText(e.location);
        editor->cmdAdd_Click(0);
        BenchVault::settle();
    }
    const ListView& list = *main->list();
    if (vault.boxesShown() != boxesBefore)
        state.SkipWithError(qPrintable(QStringLiteral("a message box: ") + vault.lastBoxText()));
    else if (list.rowCount() != rowsBefore + static_cast<int>(state.iterations()) ||
             program.loaded<frmAdd>() ||
             main->statusText() != QLatin1String("Added new entry.  Data saved."))
        state.SkipWithError("an add did not go through");
    else if (!listInOrder(list))
        state.SkipWithError("added rows are not in their sorted place");
    state.SetItemsProcessed(state.iterations());
    state.counters["rows"] = list.rowCount();
    state.counters["vault"] =
        benchmark::Counter(static_cast<double>(vault.vaultSize()), benchmark::Counter::kDefaults,
                           benchmark::Counter::kIs1024);
}

// The save of an add on its own: every row in display order, enciphered,
// written, synced and renamed over the vault.
void SaveDataAlone(benchmark::State& state) {
    BenchVault& vault = g_vaults->forSaving();
    if (!opened(state, vault))
        return;
    for (auto _ : state) {
        if (!SaveData(vault.program())) {
            state.SkipWithError(qPrintable(vault.lastBoxText()));
            break;
        }
    }
    const int rows = vault.main()->list()->rowCount();
    state.SetItemsProcessed(state.iterations() * rows);
    state.SetBytesProcessed(state.iterations() * vault.vaultSize());
    state.counters["rows"] = rows;
}

// Real time throughout: a sort ends with the list laid out and painted, and a
// save waits on the disk; that wait is what the user sees.
void common(benchmark::internal::Benchmark* b) {
    b->Unit(benchmark::kMillisecond)->UseRealTime();
}

BENCHMARK(ListSortByColumn)->ArgName("column")->DenseRange(1, 3)->Apply(common);
BENCHMARK(StdSortFloor)->ArgName("column")->DenseRange(1, 3)->Apply(common);
BENCHMARK(StableSortRows)->ArgName("column")->DenseRange(1, 3)->Apply(common);
BENCHMARK(AddToSortedList)->Apply(common);
BENCHMARK(SaveDataAlone)->Apply(common);

} // namespace

int main(int argc, char** argv) {
    // run-benchmarks sets up the platform and private folders; this keeps a
    // direct start from needing a display.
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    g_defaultHandler = qInstallMessageHandler(quietOffscreenNotes);
    QApplication app(argc, argv);
    // The password dialog closes while the main window is still hidden.
    QApplication::setQuitOnLastWindowClosed(false);

    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    {
        Vaults vaults;
        g_vaults = &vaults;
        benchmark::RunSpecifiedBenchmarks();
        g_vaults = nullptr;
    }
    benchmark::Shutdown();
    return 0;
}
