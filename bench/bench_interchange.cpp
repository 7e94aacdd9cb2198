// Export and import of 100,000 entries, each beside the least its vault-side
// counterpart must do (the floors of bench_vault, measured here again so that
// a ratio comes from one run):
//   - an export from the vault's entries beside a load's floor: read the
//     vault file and flip the top bit of every byte;
//   - an import of our own CSV into an empty vault, with the one save that
//     follows, beside a save's floor: write the same vault's bytes, sync and
//     rename them.
// Each should stay within three times its floor. The same entries as
// KeePass XML (as our export writes it: each entry with its identity, times
// and four strings, as KeePassXC's export has them) are read into the
// vault's lines too, to be held to three times the CSV's reading.
//
// The files live in TMPDIR, as in bench_vault: run-benchmarks points it at
// the build folder's disk. Every iteration writes into memory fresh from the
// system, as the one export or import of a run does.
#include "support/Floors.h"
#include "support/Release.h"
#include "support/SampleEntries.h"

#include "interchange/Interchange.h"
#include "vault/VaultFile.h"
#include "vault/VaultFormat.h"
#include "vault/VaultSession.h"

#include <QByteArray>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

#include <benchmark/benchmark.h>

#include <malloc.h>
#include <memory>
#include <numeric>
#include <unistd.h>

namespace {

constexpr int kEntries = 100'000;
constexpr quint64 kStartValue = 20260314;
const QString kMaster = QStringLiteral("Correct horse 42");

struct Sample {
    QTemporaryDir dir;
    std::vector<Entry> entries;
    QByteArray vault;
    QByteArray folder;
    QByteArray vaultPath;
    // The entries as the program holds them once the vault is open.
    EntryStore store;
    QByteArray csv;
    QByteArray json;
    QByteArray xml;
};

Sample* g_sample = nullptr;

Sample* sampleOf(benchmark::State& state) {
    if (!g_sample)
        state.SkipWithError("the sample vault could not be made");
    return g_sample;
}

void report(benchmark::State& state, qsizetype bytes) {
    state.SetItemsProcessed(state.iterations() * kEntries);
    state.SetBytesProcessed(state.iterations() * bytes);
}

void ReadDecipherFloor(benchmark::State& state) {
    Sample* s = sampleOf(state);
    if (!s)
        return;
    for (auto _ : state) {
        QByteArray buffer;
        if (!floors::readInto(s->vaultPath, buffer)) {
            state.SkipWithError("the vault could not be read");
            break;
        }
        floors::decipherWide(buffer);
        benchmark::DoNotOptimize(buffer.data());
        release(state, buffer);
    }
    report(state, s->vault.size());
}

// The bytes of the same vault written, synced and renamed over a file, and
// the folder synced: a save's floor.
void WriteSyncRenameFloor(benchmark::State& state) {
    Sample* s = sampleOf(state);
    if (!s)
        return;
    const QByteArray target = s->folder + "/synced-write.bin";
    for (auto _ : state) {
        if (!floors::writeSyncRename(s->folder, target, s->vault)) {
            state.SkipWithError("the file could not be written, synced and renamed");
            break;
        }
    }
    ::unlink(target.constData());
    report(state, s->vault.size());
}

template <class Export> void exportBench(benchmark::State& state, Export run) {
    Sample* s = sampleOf(state);
    if (!s)
        return;
    qsizetype size = 0;
    for (auto _ : state) {
        interchange::ExportResult r = run(*s);
        size = r.bytes.size();
        benchmark::DoNotOptimize(r.bytes.data());
        release(state, r);
    }
    report(state, size);
}

void ExportCsvFromStore(benchmark::State& state) {
    exportBench(state, [](const Sample& s) { return interchange::exportCsv(s.store); });
}

void ExportJsonFromStore(benchmark::State& state) {
    exportBench(state, [](const Sample& s) { return interchange::exportJson(s.store); });
}

// Chrome's layout has a name column: the host of each web address.
void ExportChromeCsvFromStore(benchmark::State& state) {
    exportBench(state, [](const Sample& s) {
        return interchange::exportCsv(s.store, interchange::Layout::Chrome);
    });
}

void ExportCsvFromEntries(benchmark::State& state) {
    exportBench(state, [](const Sample& s) { return interchange::exportCsv(s.entries); });
}

// A file read into the vault's lines, as an import reads it before adding
// them (interchange::importEncoded), with nothing added or saved.
void importBench(benchmark::State& state, QByteArray Sample::*file) {
    Sample* s = sampleOf(state);
    if (!s)
        return;
    size_t count = 0;
    for (auto _ : state) {
        interchange::EncodedImport r = interchange::importEncoded(s->*file);
        count = r.entries.size();
        benchmark::DoNotOptimize(&r.entries);
        release(state, r);
    }
    if (count != s->entries.size())
        state.SkipWithError("the import did not give every entry back");
    report(state, (s->*file).size());
}

void ImportCsv(benchmark::State& state) {
    importBench(state, &Sample::csv);
}

void ImportJson(benchmark::State& state) {
    importBench(state, &Sample::json);
}

void ImportKeePassXml(benchmark::State& state) {
    importBench(state, &Sample::xml);
}

// What `keynook-cli import` does with our own CSV once the empty vault is
// open: read the file's bytes into the vault's lines with what each record
// holds that is not kept, count each entry against the vault and add it as
// often as the file holds it beyond the vault, and save the vault once
// through the session, which replaces the file safely. Opening and locking the vault are the
// command's (bench/cli_interchange.sh times the whole command).
void ImportCsvIntoVault(benchmark::State& state) {
    Sample* s = sampleOf(state);
    if (!s)
        return;
    const QString path = QFile::decodeName(s->folder + "/imported.enc");
    const QByteArray empty = vaultformat::savedFile(kMaster, std::vector<Entry>());
    qint64 saved = 0;
    for (auto _ : state) {
        // A fresh empty vault, open as the command holds it, untimed.
        state.PauseTiming();
        QFile::remove(path);
        auto session = std::make_unique<VaultSession>(path);
        EntryStore entries;
        if (!vaultfile::createFile(path, empty).ok || !session->open().ok() ||
            !session->verify(kMaster) || !session->loadEntries(entries).ok()) {
            state.SkipWithError("the empty vault could not be made and opened");
            break;
        }
        ::malloc_trim(0);
        state.ResumeTiming();

        interchange::EncodedImport imported = interchange::importEncoded(s->csv);
        const interchange::Addition plan = interchange::planAddition(entries, imported);
        if (!imported.ok() || plan.added != kEntries) {
            state.SkipWithError("the sample did not import whole");
            break;
        }
        interchange::add(entries, std::move(imported.entries), plan);
        std::vector<int> order(entries.size());
        std::iota(order.begin(), order.end(), 0);
        const vaultformat::FilePieces file = vaultformat::savedPieces(
            session->storedPassword(), entries, order, session->masterLineAsRead());
        if (session->changedOutside() || !session->save(file).ok()) {
            state.SkipWithError("the vault could not be saved");
            break;
        }

        state.PauseTiming();
        saved = QFileInfo(path).size();
        session.reset();
        imported = {};
        entries = {};
        ::malloc_trim(0);
        state.ResumeTiming();
    }
    QFile::remove(path);
    if (saved != s->vault.size())
        state.SkipWithError("the imported vault is not the size of the sample vault");
    report(state, s->csv.size());
}

void options(benchmark::internal::Benchmark* b) {
    b->Unit(benchmark::kMillisecond)->UseRealTime();
}

BENCHMARK(ReadDecipherFloor)->Apply(options);
BENCHMARK(ExportCsvFromStore)->Apply(options);
BENCHMARK(ExportJsonFromStore)->Apply(options);
BENCHMARK(ExportChromeCsvFromStore)->Apply(options);
BENCHMARK(ExportCsvFromEntries)->Apply(options);
BENCHMARK(ImportCsv)->Apply(options);
BENCHMARK(ImportJson)->Apply(options);
BENCHMARK(ImportKeePassXml)->Apply(options);
BENCHMARK(WriteSyncRenameFloor)->Apply(options);
BENCHMARK(ImportCsvIntoVault)->Apply(options);

} // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    {
        auto sample = std::make_unique<Sample>();
        sample->entries = sampleEntries(kEntries, kStartValue);
        sample->vault = vaultformat::savedFile(kMaster, sample->entries);
        sample->folder = QFile::encodeName(sample->dir.path());
        sample->vaultPath = QFile::encodeName(sample->dir.filePath(QStringLiteral("data.enc")));
        sample->store = EntryStore::fromFile(sample->vault);
        sample->csv = interchange::exportCsv(sample->entries).bytes;
        sample->json = interchange::exportJson(sample->entries).bytes;
        sample->xml = interchange::exportKeePassXml(sample->entries).bytes;
        if (sample->dir.isValid() &&
            vaultfile::createFile(QFile::decodeName(sample->vaultPath), sample->vault).ok)
            g_sample = sample.get();
        benchmark::RunSpecifiedBenchmarks();
        g_sample = nullptr;
    }
    benchmark::Shutdown();
    return 0;
}
