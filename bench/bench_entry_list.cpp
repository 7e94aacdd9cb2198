// The entry list at 100,000 and 1,000,000 entries, through the real windows
// on the offscreen platform: the load after the right master password, a
// header click that sorts, an entry added with the editor (and the save that
// goes with it), a change another copy delivered into the vault's folder
// shown in place, and beside them a bare std::sort of the same texts and a
// save on its own, to show where the time goes.
//
// Every benchmark also reports "events_ms": what the event loop does once the
// handler has returned (layout, the paint of the list, deletions), per
// action. The handler and those events together are how long the window
// does not answer.
#include "support/BenchVault.h"
#include "support/SampleEntries.h"

#include "dialogs/frmAdd.h"
#include "dialogs/frmPass.h"
#include "main/EntryModel.h"
#include "main/Form1.h"
#include "main/ListView.h"
#include "main/modGlobals.h"
#include "vault/VaultFormat.h"

#include <QApplication>
#include <QEventLoop>
#include <QFile>
#include <QLineEdit>
#include <QTimer>
#include <QtMessageHandler>

#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <map>
#include <memory>

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kEntries = 100'000;
constexpr int kMillionEntries = 1'000'000;
// Start values of the entry generator: one for the vault, one for what is
// typed into the editor.
constexpr quint64 kVaultStartValue = 20260314;
constexpr quint64 kTypedStartValue = 7;
const QString kMaster = QStringLiteral("Correct horse 42");

double msBetween(Clock::time_point a, Clock::time_point b) {
    return std::chrono::duration<double, std::milli>(b - a).count();
}

bool inOrder(const QString& a, const QString& b, Qt::SortOrder order) {
    const int c = QString::compare(a, b, Qt::CaseInsensitive);
    return order == Qt::AscendingOrder ? c <= 0 : c >= 0;
}

// True when the list shows its rows ordered by its sort column. Read through
// the view's model, as the user sees the rows.
bool listInOrder(const ListView& list) {
    const QAbstractItemModel* model = list.model();
    const int column = list.sortKey();
    QString previous = model->index(0, column).data().toString();
    for (int r = 1; r < model->rowCount(); ++r) {
        QString text = model->index(r, column).data().toString();
        if (!inOrder(previous, text, list.sortOrder()))
            return false;
        previous = std::move(text);
    }
    return true;
}

// The vaults are opened once per size and shared by every run of a benchmark:
// opening one is far slower than what is measured on it. They must go before
// the application object does, so main() owns them.
class Vaults {
public:
    const std::vector<Entry>& entries(int count) {
        std::vector<Entry>& e = m_entries[count];
        if (e.empty())
            e = sampleEntries(count, kVaultStartValue);
        return e;
    }
    // The file a save of these entries writes.
    const QByteArray& file(int count) {
        QByteArray& f = m_files[count];
        if (f.isEmpty())
            f = vaultformat::savedFile(kMaster, entries(count));
        return f;
    }
    const std::vector<Entry>& typed() {
        if (m_typed.empty())
            m_typed = sampleEntries(4096, kTypedStartValue);
        return m_typed;
    }
    // Left in file order: the first click sorts it as it would after a start.
    BenchVault& forSorting(int count) { return get(m_sorting[count], count, false); }
    // Sorted by username once, as a user who clicked that header has it.
    BenchVault& forAdding(int count) { return get(m_adding[count], count, true); }
    BenchVault& forSaving(int count) { return get(m_saving[count], count, true); }
    // In file order, as opened: another copy's changes are delivered to it.
    BenchVault& forFollowing(int count) { return get(m_following[count], count, false); }
    // Which of two copies the next delivery to it is.
    int nextDelivery = 0;

private:
    BenchVault& get(std::unique_ptr<BenchVault>& vault, int count, bool sorted) {
        if (!vault) {
            vault = std::make_unique<BenchVault>(entries(count));
            if (sorted && vault->main()) {
                vault->main()->lstPass_ColumnClick(1);
                BenchVault::settle();
            }
        }
        return *vault;
    }

    std::map<int, std::vector<Entry>> m_entries;
    std::map<int, QByteArray> m_files;
    std::vector<Entry> m_typed;
    std::map<int, std::unique_ptr<BenchVault>> m_sorting;
    std::map<int, std::unique_ptr<BenchVault>> m_adding;
    std::map<int, std::unique_ptr<BenchVault>> m_saving;
    std::map<int, std::unique_ptr<BenchVault>> m_following;
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

benchmark::Counter perIteration(double total) {
    return benchmark::Counter(total, benchmark::Counter::kAvgIterations);
}

// From the click on Ok with the right master password to the list filled,
// the status set and the main window painted: what a user waits for after
// pressing Return. The run's windows are made fresh for every load and
// closed after it, outside the time measured.
void LoadEntries(benchmark::State& state) {
    const int count = static_cast<int>(state.range(0));
    const QByteArray& file = g_vaults->file(count);
    const QString loaded = QStringLiteral("Loaded %1 entries").arg(count);
    double handlerMs = 0;
    double eventsMs = 0;
    for (auto _ : state) {
        auto harness = std::make_unique<Harness>();
        // A returning user who unticked the help at start: only the list shows.
        harness->program().settings().write(QStringLiteral("Settings"), QStringLiteral("showHelp"),
                                            QStringLiteral("0"));
        harness->writeVault(file);
        harness->program().loadMainWindow();
        BenchVault::settle();
        frmPass* dialog = harness->program().loaded<frmPass>();
        if (!dialog) {
            state.SkipWithError("the password dialog did not open");
            break;
        }
        dialog->findChild<QLineEdit*>(QStringLiteral("txtPass"))->setText(kMaster);

        const Clock::time_point start = Clock::now();
        dialog->cmdOK_Click();
        const Clock::time_point handled = Clock::now();
        BenchVault::settle();
        const Clock::time_point shown = Clock::now();
        state.SetIterationTime(std::chrono::duration<double>(shown - start).count());
        handlerMs += msBetween(start, handled);
        eventsMs += msBetween(handled, shown);

        Form1* main = harness->program().loaded<Form1>();
        if (!main || !main->isVisible() || main->statusText() != loaded ||
            main->list()->rowCount() != count || harness->program().loaded<frmPass>()) {
            state.SkipWithError(qPrintable(QStringLiteral("the vault did not open: ") +
                                           (main ? main->statusText() : QString())));
            break;
        }
        harness.reset();
        BenchVault::settle();
    }
    state.SetItemsProcessed(state.iterations() * count);
    state.counters["rows"] = count;
    state.counters["handler_ms"] = perIteration(handlerMs);
    state.counters["events_ms"] = perIteration(eventsMs);
    state.counters["vault"] =
        benchmark::Counter(static_cast<double>(file.size()), benchmark::Counter::kDefaults,
                           benchmark::Counter::kIs1024);
}

// A click on a column header: the order flips on every call, so every call
// sorts all rows again.
void ListSortByColumn(benchmark::State& state) {
    const int column = static_cast<int>(state.range(0));
    const int count = static_cast<int>(state.range(1));
    BenchVault& vault = g_vaults->forSorting(count);
    if (!opened(state, vault))
        return;
    Form1* main = vault.main();
    double eventsMs = 0;
    for (auto _ : state) {
        main->lstPass_ColumnClick(column);
        const Clock::time_point handled = Clock::now();
        BenchVault::settle();
        eventsMs += msBetween(handled, Clock::now());
    }
    const ListView& list = *main->list();
    if (list.sortKey() != column - 1 || !listInOrder(list))
        state.SkipWithError("the list is not in order after the click");
    state.SetItemsProcessed(state.iterations() * list.rowCount());
    state.counters["rows"] = list.rowCount();
    state.counters["events_ms"] = perIteration(eventsMs);
}

// The least any sort of these texts can cost: std::sort of the strings
// themselves, with the list's comparison, flipping order like the list.
void StdSortFloor(benchmark::State& state) {
    const int column = static_cast<int>(state.range(0));
    const int count = static_cast<int>(state.range(1));
    std::vector<QString> texts = columnTexts(g_vaults->entries(count), column - 1);
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
    const int count = static_cast<int>(state.range(1));
    const std::vector<QString> texts = columnTexts(g_vaults->entries(count), column - 1);
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
    const int count = static_cast<int>(state.range(0));
    BenchVault& vault = g_vaults->forAdding(count);
    if (!opened(state, vault))
        return;
    Form1* main = vault.main();
    Program& program = vault.program();
    const std::vector<Entry>& typed = g_vaults->typed();
    const int rowsBefore = main->list()->rowCount();
    const int boxesBefore = vault.boxesShown();
    size_t next = 0;
    double eventsMs = 0;
    double saveClickMs = 0;
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
        const Clock::time_point clicked = Clock::now();
        editor->cmdAdd_Click(0);
        const Clock::time_point handled = Clock::now();
        BenchVault::settle();
        const Clock::time_point settled = Clock::now();
        eventsMs += msBetween(handled, settled);
        saveClickMs += msBetween(clicked, settled);
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
    state.counters["events_ms"] = perIteration(eventsMs);
    // The editor's Save alone: the one stretch of the add that the window
    // does not answer.
    state.counters["save_click_ms"] = perIteration(saveClickMs);
    state.counters["vault"] =
        benchmark::Counter(static_cast<double>(vault.vaultSize()), benchmark::Counter::kDefaults,
                           benchmark::Counter::kIs1024);
}

// The save of an add on its own: every row in display order, enciphered,
// written, synced and renamed over the vault.
void SaveDataAlone(benchmark::State& state) {
    const int count = static_cast<int>(state.range(0));
    BenchVault& vault = g_vaults->forSaving(count);
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

// Another computer's change, delivered the way a sync engine delivers it: a
// new file written beside the vault and renamed over it. Timed from the
// moment the file has the vault's name (the rename returned; the rename
// itself is the engine's work, and on ext4 it starts writing the new file
// out, so it is shown apart as rename_ms) until the list shows the change,
// the status saying so, and the window has laid out and painted it. Nothing
// polls: the run waits in the event loop for the list's own signal that its
// rows changed. The deliveries alternate between two copies that each add
// and remove a few entries spread over the vault, so every delivery is a
// change from the one before, also from one run of the benchmark to the next.
void FollowDeliveredChange(benchmark::State& state) {
    const int count = static_cast<int>(state.range(0));
    BenchVault& vault = g_vaults->forFollowing(count);
    if (!opened(state, vault))
        return;
    Form1* main = vault.main();
    Program& program = vault.program();
    const std::vector<Entry>& base = g_vaults->entries(count);
    const SideChanges few{5, 5, 0};
    const std::vector<Entry> copies[2] = {changedCopy(base, 0, few), changedCopy(base, 1, few)};
    const QByteArray files[2] = {vaultformat::savedFile(QStringLiteral("master"), copies[0]),
                                 vaultformat::savedFile(QStringLiteral("master"), copies[1])};
    const QByteArray vaultName = QFile::encodeName(program.vaultPath());
    const QByteArray deliveredName = QFile::encodeName(program.vaultPath() + ".delivered");
    const QString updated = QStringLiteral("Updated from another copy: ");
    const int boxesBefore = vault.boxesShown();
    double eventsMs = 0;
    double renameMs = 0;
    for (auto _ : state) {
        const int copy = g_vaults->nextDelivery++ % 2;
        main->setStatusText(QString());
        QFile delivered(QFile::decodeName(deliveredName));
        if (!delivered.open(QIODevice::WriteOnly) ||
            delivered.write(files[copy]) != files[copy].size() || !delivered.flush()) {
            state.SkipWithError("the delivered file could not be written");
            break;
        }
        delivered.close();
        BenchVault::settle();

        QEventLoop loop;
        const QMetaObject::Connection shown = QObject::connect(
            &main->entries(), &QAbstractItemModel::layoutChanged, &loop, [&] { loop.exit(0); });
        // A deadline only for a change that never shows: then the run fails.
        QTimer::singleShot(10'000, &loop, [&] { loop.exit(1); });
        const Clock::time_point renaming = Clock::now();
        if (std::rename(deliveredName.constData(), vaultName.constData()) != 0) {
            state.SkipWithError("the delivered file could not be renamed over the vault");
            break;
        }
        const Clock::time_point start = Clock::now();
        renameMs += msBetween(renaming, start);
        const int failed = loop.exec();
        const Clock::time_point handled = Clock::now();
        BenchVault::settle();
        const Clock::time_point painted = Clock::now();
        QObject::disconnect(shown);
        state.SetIterationTime(std::chrono::duration<double>(painted - start).count());
        eventsMs += msBetween(handled, painted);
        if (failed || !main->statusText().startsWith(updated) ||
            main->list()->rowCount() != static_cast<int>(copies[copy].size())) {
            state.SkipWithError(
                qPrintable(QStringLiteral("the change did not show: ") + main->statusText()));
            break;
        }
    }
    // The list is the last copy delivered, row for row.
    const std::vector<Entry>& last = copies[(g_vaults->nextDelivery + 1) % 2];
    const EntryModel& model = main->entries();
    for (int r = 0; state.iterations() > 0 && r < model.rowCount(); ++r) {
        if (model.entry(r) != last[static_cast<size_t>(r)]) {
            state.SkipWithError("the list is not the delivered copy");
            break;
        }
    }
    if (vault.boxesShown() != boxesBefore)
        state.SkipWithError(qPrintable(QStringLiteral("a message box: ") + vault.lastBoxText()));
    state.SetItemsProcessed(state.iterations() * count);
    state.counters["rows"] = model.rowCount();
    state.counters["events_ms"] = perIteration(eventsMs);
    state.counters["rename_ms"] = perIteration(renameMs);
    state.counters["vault"] =
        benchmark::Counter(static_cast<double>(vault.vaultSize()), benchmark::Counter::kDefaults,
                           benchmark::Counter::kIs1024);
}

// Real time throughout: a sort ends with the list laid out and painted, and a
// save waits on the disk; that wait is what the user sees.
void common(benchmark::internal::Benchmark* b) {
    b->Unit(benchmark::kMillisecond)->UseRealTime();
}

void columns(benchmark::internal::Benchmark* b, int count) {
    b->ArgNames({"column", "entries"});
    for (int column = 1; column <= 3; ++column)
        b->Args({column, count});
    b->Apply(common);
}

void atHundredThousand(benchmark::internal::Benchmark* b) {
    columns(b, kEntries);
}

// A million rows: the longest column of texts only, to keep the run short.
void atMillion(benchmark::internal::Benchmark* b) {
    b->ArgNames({"column", "entries"})->Args({3, kMillionEntries})->Apply(common);
}

void sizes(benchmark::internal::Benchmark* b) {
    b->ArgName("entries")->Arg(kEntries)->Arg(kMillionEntries)->Apply(common);
}

BENCHMARK(LoadEntries)
    ->ArgName("entries")
    ->Arg(kEntries)
    ->Arg(kMillionEntries)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK(ListSortByColumn)->Apply(atHundredThousand);
BENCHMARK(StdSortFloor)->Apply(atHundredThousand);
BENCHMARK(StableSortRows)->Apply(atHundredThousand);
BENCHMARK(ListSortByColumn)->Apply(atMillion);
BENCHMARK(StdSortFloor)->Apply(atMillion);
BENCHMARK(AddToSortedList)->Apply(sizes);
BENCHMARK(SaveDataAlone)->Apply(sizes);
BENCHMARK(FollowDeliveredChange)
    ->ArgName("entries")
    ->Arg(kEntries)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

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
