// The merge of two copies of one vault changed apart: 100,000 entries, and on
// each side 500 added, 300 removed and 200 edited, different ones, spread
// over the file. As `keynook-cli git-merge` does it: the three plain files
// read, merged, and the result saved with the program's safe save. Beside
// it the least any program must do with the same bytes, measured here so
// that the ratio comes from one run: read the three files, and write, sync
// and rename the merged bytes. The merge in memory alone is shown too.
//
// The files live in TMPDIR, as in bench_vault: run-benchmarks points it at
// the build folder's disk. Reads find them in the page cache. Every
// iteration reads into memory fresh from the system, as a merge's one run
// does.
#include "support/Floors.h"
#include "support/Release.h"
#include "support/SampleEntries.h"

#include "seal/SealedVault.h"
#include "sync/CopyMerge.h"
#include "sync/RecordKeeper.h"
#include "sync/VaultMerge.h"
#include "vault/VaultFile.h"
#include "vault/VaultFormat.h"

#include <QByteArray>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

#include <benchmark/benchmark.h>

#include <malloc.h>
#include <memory>
#include <unistd.h>

namespace {

constexpr int kEntries = 100'000;
constexpr SideChanges kChanges;
constexpr quint64 kStartValue = 20260314;
const QString kMaster = QStringLiteral("Correct horse 42");

struct Sample {
    QTemporaryDir dir;
    QByteArray folder;
    QByteArray base;
    QByteArray ours;
    QByteArray theirs;
    // What the merge must give: the base with both sides' changes.
    QByteArray merged;
    QString basePath;
    QString oursPath;
    QString theirsPath;
    QString mergedPath;
    // The same two sides as sealed vaults that carry their records, each
    // changed from the base on a computer of its own, under one key.
    sealedvault::SealKey key;
    QString sealedOursPath;
    QString sealedTheirsPath;
    QByteArray sealedMerged; // the merge's plain bytes
    QByteArray mergedRecord;
    double recordBytesPerEntry = 0;
};

Sample* g_sample = nullptr;

Sample* sampleOf(benchmark::State& state) {
    if (!g_sample)
        state.SkipWithError("the sample copies could not be made, or did not merge as expected");
    return g_sample;
}

void report(benchmark::State& state, const Sample& s) {
    state.SetItemsProcessed(state.iterations() * kEntries);
    state.counters["file_bytes"] = static_cast<double>(s.ours.size());
    state.counters["merged_bytes"] = static_cast<double>(s.merged.size());
}

void MergeFiles(benchmark::State& state) {
    Sample* s = sampleOf(state);
    if (!s)
        return;
    for (auto _ : state) {
        struct {
            vaultfile::ReadResult base, ours, theirs;
            vaultmerge::Result merged;
        } run;
        run.base = vaultfile::readAll(s->basePath);
        run.ours = vaultfile::readAll(s->oursPath);
        run.theirs = vaultfile::readAll(s->theirsPath);
        if (!run.base.ok || !run.ours.ok || !run.theirs.ok) {
            state.SkipWithError("a copy could not be read");
            break;
        }
        run.merged =
            vaultmerge::merge(QByteArrayView(run.base.data), run.ours.data, run.theirs.data);
        if (run.merged.outcome != vaultmerge::Outcome::Merged) {
            state.SkipWithError("the copies did not merge");
            break;
        }
        const vaultfile::Result saved = vaultfile::saveAtomically(s->mergedPath, run.merged.file);
        if (!saved.ok) {
            state.SkipWithError(qPrintable(saved.error));
            break;
        }
        release(state, run);
    }
    if (QFileInfo(s->mergedPath).size() != s->merged.size())
        state.SkipWithError("the merged file has another size");
    QFile::remove(s->mergedPath);
    report(state, *s);
}

void MergeInMemory(benchmark::State& state) {
    Sample* s = sampleOf(state);
    if (!s)
        return;
    for (auto _ : state) {
        vaultmerge::Result merged = vaultmerge::merge(QByteArrayView(s->base), s->ours, s->theirs);
        if (merged.file.size() != s->merged.size()) {
            state.SkipWithError("the merge has another size");
            break;
        }
        release(state, merged);
    }
    report(state, *s);
}

// The three reads and the one safe save, of the same bytes, with no merge.
void MergeFloor(benchmark::State& state) {
    Sample* s = sampleOf(state);
    if (!s)
        return;
    const QByteArray target = s->folder + "/merged-floor.bin";
    for (auto _ : state) {
        struct {
            QByteArray base, ours, theirs;
        } read;
        if (!floors::readInto(QFile::encodeName(s->basePath), read.base) ||
            !floors::readInto(QFile::encodeName(s->oursPath), read.ours) ||
            !floors::readInto(QFile::encodeName(s->theirsPath), read.theirs)) {
            state.SkipWithError("a copy could not be read");
            break;
        }
        benchmark::DoNotOptimize(read.theirs.data());
        if (!floors::writeSyncRename(s->folder, target, s->merged)) {
            state.SkipWithError("the file could not be written, synced and renamed");
            break;
        }
        release(state, read);
    }
    ::unlink(target.constData());
    report(state, *s);
}

// What `keynook-cli git-merge` does with two sealed copies, less the key
// derivation (a copy under the vault's key opens with the key in hand):
// read and open both, merge by their records, seal the merge with its
// record and save it safely.
void MergeSealedFiles(benchmark::State& state) {
    Sample* s = sampleOf(state);
    if (!s)
        return;
    for (auto _ : state) {
        vaultfile::ReadResult ours = vaultfile::readAll(s->sealedOursPath);
        vaultfile::ReadResult theirs = vaultfile::readAll(s->sealedTheirsPath);
        sealedvault::Unsealed o = sealedvault::unsealWithKey(std::move(ours.data), s->key);
        sealedvault::Unsealed t = sealedvault::unsealWithKey(std::move(theirs.data), s->key);
        if (!o.ok() || !t.ok()) {
            state.SkipWithError("a sealed copy did not open");
            break;
        }
        copymerge::Merged m = copymerge::mergeSealed(o.plain, o.record, t.plain, t.record);
        const QByteArray sealed = sealedvault::sealWithRecord(m.file, m.record, s->key);
        const vaultfile::Result saved = vaultfile::saveAtomically(s->mergedPath, sealed);
        if (!saved.ok || m.file.size() != s->sealedMerged.size()) {
            state.SkipWithError("the sealed merge was not saved, or has another size");
            break;
        }
        release(state, o.plain);
        release(state, t.plain);
        release(state, m.file);
    }
    QFile::remove(s->mergedPath);
    report(state, *s);
    state.counters["record_bytes_per_entry"] = s->recordBytesPerEntry;
}

// The floor of the same: read and open both sealed copies, then seal the
// merged bytes with their record and write, sync and rename them.
void MergeSealedFloor(benchmark::State& state) {
    Sample* s = sampleOf(state);
    if (!s)
        return;
    const QByteArray target = s->folder + "/merged-floor.bin";
    for (auto _ : state) {
        QByteArray ours;
        QByteArray theirs;
        if (!floors::readInto(QFile::encodeName(s->sealedOursPath), ours) ||
            !floors::readInto(QFile::encodeName(s->sealedTheirsPath), theirs)) {
            state.SkipWithError("a copy could not be read");
            break;
        }
        sealedvault::Unsealed o = sealedvault::unsealWithKey(std::move(ours), s->key);
        sealedvault::Unsealed t = sealedvault::unsealWithKey(std::move(theirs), s->key);
        benchmark::DoNotOptimize(t.plain.data());
        const QByteArray sealed =
            sealedvault::sealWithRecord(s->sealedMerged, s->mergedRecord, s->key);
        if (!o.ok() || !t.ok() || !floors::writeSyncRename(s->folder, target, sealed)) {
            state.SkipWithError("the copies did not open, or the file was not written");
            break;
        }
        release(state, o.plain);
        release(state, t.plain);
    }
    ::unlink(target.constData());
    report(state, *s);
}

void options(benchmark::internal::Benchmark* b) {
    b->Unit(benchmark::kMillisecond)->UseRealTime();
}

BENCHMARK(MergeFiles)->Apply(options);
BENCHMARK(MergeFloor)->Apply(options);
BENCHMARK(MergeInMemory)->Apply(options);
BENCHMARK(MergeSealedFiles)->Apply(options);
BENCHMARK(MergeSealedFloor)->Apply(options);

// Two computers that start from the base sealed before records, each
// making its side's changes through the record keeper a session uses.
bool makeSealedSample(Sample& s) {
    QString why;
    s.key = sealedvault::deriveKey(kMaster, sealedvault::ParamBounds::accepted().least, &why);
    if (s.key.isNull())
        return false;
    s.sealedOursPath = s.dir.filePath(QStringLiteral("ours.sealed"));
    s.sealedTheirsPath = s.dir.filePath(QStringLiteral("theirs.sealed"));
    QByteArray records[2];
    QByteArray plains[2];
    for (int side = 0; side < 2; ++side) {
        RecordKeeper keeper(s.dir.filePath(QStringLiteral("replicas-%1").arg(side)));
        keeper.current(s.base, {});
        plains[side] = side == 0 ? s.ours : s.theirs;
        records[side] = keeper.recordFor(plains[side]);
        const QString path = side == 0 ? s.sealedOursPath : s.sealedTheirsPath;
        if (!vaultfile::createFile(path,
                                   sealedvault::sealWithRecord(plains[side], records[side], s.key))
                 .ok)
            return false;
    }
    s.recordBytesPerEntry = double(records[0].size()) / kEntries;
    const record::Record ours = RecordKeeper::read(plains[0], records[0]);
    copymerge::Merged m = copymerge::mergeCopy(plains[0], &ours, plains[1], records[1]);
    // The same entries as the merge by the base gives.
    if (m.outcome != vaultmerge::Outcome::Merged || m.file != s.merged)
        return false;
    s.sealedMerged = std::move(m.file);
    s.mergedRecord = std::move(m.record);
    return true;
}

// The copies on disk, and one merge that must give the expected bytes.
bool makeSample(Sample& s) {
    if (!s.dir.isValid())
        return false;
    const std::vector<Entry> base = sampleEntries(kEntries, kStartValue);
    s.base = vaultformat::savedFile(kMaster, base);
    s.ours = vaultformat::savedFile(kMaster, changedCopy(base, 0, kChanges));
    s.theirs = vaultformat::savedFile(kMaster, changedCopy(base, 1, kChanges));
    s.merged = vaultformat::savedFile(kMaster, mergedChanges(base, kChanges));
    s.folder = QFile::encodeName(s.dir.path());
    s.basePath = s.dir.filePath(QStringLiteral("base.enc"));
    s.oursPath = s.dir.filePath(QStringLiteral("ours.enc"));
    s.theirsPath = s.dir.filePath(QStringLiteral("theirs.enc"));
    s.mergedPath = s.dir.filePath(QStringLiteral("merged.enc"));
    if (!vaultfile::createFile(s.basePath, s.base).ok ||
        !vaultfile::createFile(s.oursPath, s.ours).ok ||
        !vaultfile::createFile(s.theirsPath, s.theirs).ok)
        return false;
    const vaultmerge::Result r = vaultmerge::merge(QByteArrayView(s.base), s.ours, s.theirs);
    return r.outcome == vaultmerge::Outcome::Merged && r.file == s.merged &&
           r.report.fromTheirs.size() == size_t(kChanges.added + kChanges.edited) &&
           r.report.removedByTheirs.size() == size_t(kChanges.removed + kChanges.edited) &&
           makeSealedSample(s);
}

} // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    {
        auto sample = std::make_unique<Sample>();
        if (makeSample(*sample))
            g_sample = sample.get();
        benchmark::RunSpecifiedBenchmarks();
        g_sample = nullptr;
    }
    benchmark::Shutdown();
    return 0;
}
