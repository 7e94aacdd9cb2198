// The vault core on its own, at 1,000, 100,000 and 1,000,000 entries: a load
// (read the file, decipher, split and convert every line) and a save (encipher
// every entry and replace the file safely), each beside the least any program
// must do with the same bytes: read them, read and flip their top bits, write
// them, and write, sync and rename them. The distance between a figure and
// its floor is the work that is ours.
//
// At 100,000 entries the same vault sealed as well: its opening (the key
// derivation at the default parameters, then the decryption and the same
// load), the derivation alone and the rest alone, and its save (the same save
// with the sealing before the write) beside the sealing alone, so that both
// can be held against the plain figures and floors of the same run.
//
// The files live in TMPDIR, which run-benchmarks points at the build folder's
// disk: a memory-backed /tmp would make every sync free. Reads find the file
// in the page cache, as a start right after the last save does.
#include "support/Floors.h"
#include "support/SampleEntries.h"

#include "seal/SealedVault.h"
#include "sync/RecordKeeper.h"
#include "vault/SealedEntries.h"
#include "vault/VaultFile.h"
#include "vault/VaultFormat.h"

#include <QByteArray>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <malloc.h>
#include <map>
#include <memory>
#include <numeric>
#include <unistd.h>

namespace {

constexpr quint64 kStartValue = 20260314;
const QString kMaster = QStringLiteral("Correct horse 42");

// One vault of a given size, written once and shared by every benchmark of
// that size.
struct SizedVault {
    QTemporaryDir dir;
    std::vector<Entry> entries;
    QByteArray bytes;
    // The entries as the program holds them after opening the file.
    EntryStore store;
    QString path;
    QByteArray nativeFolder;
    QByteArray nativePath;
    // The same bytes sealed, made by sealedOf() the first time it is asked,
    // under a key derived once at the default parameters.
    sealedvault::SealKey sealKey;
    QByteArray sealedBytes;
    QString sealedPath;
};

std::map<int64_t, std::unique_ptr<SizedVault>>* g_vaults = nullptr;

SizedVault* vaultOf(benchmark::State& state) {
    const int64_t count = state.range(0);
    std::unique_ptr<SizedVault>& v = (*g_vaults)[count];
    if (!v) {
        v = std::make_unique<SizedVault>();
        if (!v->dir.isValid()) {
            state.SkipWithError("no temporary folder");
            return nullptr;
        }
        v->entries = sampleEntries(static_cast<int>(count), kStartValue);
        v->bytes = vaultformat::savedFile(kMaster, v->entries);
        v->store = EntryStore::fromFile(v->bytes);
        v->path = v->dir.filePath(QStringLiteral("data.enc"));
        v->nativeFolder = QFile::encodeName(v->dir.path());
        v->nativePath = QFile::encodeName(v->path);
        if (!vaultfile::createFile(v->path, v->bytes).ok) {
            state.SkipWithError("the vault could not be written");
            v.reset();
            return nullptr;
        }
    }
    return v.get();
}

SizedVault* sealedOf(benchmark::State& state) {
    SizedVault* v = vaultOf(state);
    if (!v || !v->sealedBytes.isEmpty())
        return v;
    QString why;
    v->sealKey = sealedvault::deriveKey(kMaster, sealedvault::SealParams::defaults(), &why);
    if (v->sealKey.isNull()) {
        state.SkipWithError(qPrintable(QStringLiteral("no key: ") + why));
        return nullptr;
    }
    v->sealedBytes = sealedvault::seal(v->bytes, v->sealKey);
    v->sealedPath = v->dir.filePath(QStringLiteral("sealed.enc"));
    if (!vaultfile::createFile(v->sealedPath, v->sealedBytes).ok) {
        state.SkipWithError("the sealed vault could not be written");
        v->sealedBytes = QByteArray();
        return nullptr;
    }
    return v;
}

void report(benchmark::State& state, const SizedVault& v) {
    state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(v.entries.size()));
    state.SetBytesProcessed(state.iterations() * v.bytes.size());
    state.counters["entries"] = static_cast<double>(v.entries.size());
    state.counters["file_bytes"] = static_cast<double>(v.bytes.size());
}

// What the program does when the password is right: the file's bytes become
// entries.
void VaultLoad(benchmark::State& state) {
    SizedVault* v = vaultOf(state);
    if (!v)
        return;
    size_t count = 0;
    for (auto _ : state) {
        // The entries keep the file's bytes, as in the program.
        vaultfile::ReadResult r = vaultfile::readAll(v->path);
        EntryStore entries = EntryStore::fromFile(std::move(r.data));
        benchmark::DoNotOptimize(&entries);
        // The program keeps the entries it loaded; freeing them is no part
        // of a load. The heap is handed back as well, so each load starts
        // on memory as fresh as the program's one load does, not on a heap
        // full of the last run's freed pieces.
        state.PauseTiming();
        count = entries.size();
        entries = {};
        ::malloc_trim(0);
        state.ResumeTiming();
    }
    if (count != v->entries.size())
        state.SkipWithError("the load did not give every entry back");
    report(state, *v);
}

// Reading the bytes, and (with `decipher`) the cipher's one pass over them:
// the work that no load can skip. Like a load, each read goes into memory
// fresh from the system, as the program's one load does.
void readFloor(benchmark::State& state, bool decipher) {
    SizedVault* v = vaultOf(state);
    if (!v)
        return;
    for (auto _ : state) {
        QByteArray buffer;
        if (!floors::readInto(v->nativePath, buffer)) {
            state.SkipWithError("the file could not be read");
            break;
        }
        if (decipher)
            floors::decipherWide(buffer);
        benchmark::DoNotOptimize(buffer.data());
        state.PauseTiming();
        buffer = QByteArray();
        ::malloc_trim(0);
        state.ResumeTiming();
    }
    report(state, *v);
}

void ReadFloor(benchmark::State& state) {
    readFloor(state, false);
}

void ReadDecipherFloor(benchmark::State& state) {
    readFloor(state, true);
}

// What the program does after every change: the file as the pieces the
// entries' lines are held in, which replace the file through a synced
// temporary file. (The entries are held enciphered; the one entry a change
// adds or edits was enciphered when it was made.)
void VaultSave(benchmark::State& state) {
    SizedVault* v = vaultOf(state);
    if (!v)
        return;
    std::vector<int> order(v->store.size());
    std::iota(order.begin(), order.end(), 0);
    for (auto _ : state) {
        const vaultformat::FilePieces file = vaultformat::savedPieces(kMaster, v->store, order);
        const vaultfile::Result r = vaultfile::saveAtomically(v->path, file.pieces());
        if (!r.ok) {
            state.SkipWithError(qPrintable(r.error));
            break;
        }
    }
    if (QFileInfo(v->path).size() != v->bytes.size())
        state.SkipWithError("the saved file has another size");
    report(state, *v);
}

// The same bytes into an existing file, left to the page cache.
void WriteFloor(benchmark::State& state) {
    SizedVault* v = vaultOf(state);
    if (!v)
        return;
    const QByteArray name = v->nativeFolder + "/plain-write.bin";
    for (auto _ : state) {
        const int fd = ::open(name.constData(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        if (fd < 0 || !floors::writeAllTo(fd, v->bytes)) {
            state.SkipWithError("the file could not be written");
            if (fd >= 0)
                ::close(fd);
            break;
        }
        ::close(fd);
    }
    ::unlink(name.constData());
    report(state, *v);
}

// The same system calls as a safe save, with no formatting: a new file beside
// the target, written, synced, renamed over it, and the folder synced so the
// rename itself survives a crash.
void WriteSyncRenameFloor(benchmark::State& state) {
    SizedVault* v = vaultOf(state);
    if (!v)
        return;
    const QByteArray target = v->nativeFolder + "/synced-write.bin";
    for (auto _ : state) {
        if (!floors::writeSyncRename(v->nativeFolder, target, v->bytes)) {
            state.SkipWithError("the file could not be written, synced and renamed");
            break;
        }
    }
    ::unlink(target.constData());
    report(state, *v);
}

void reportSealed(benchmark::State& state, const SizedVault& v) {
    report(state, v);
    state.counters["sealed_bytes"] = static_cast<double>(v.sealedBytes.size());
}

// Checks a sealed vault's opening, and frees its entries and bytes untimed,
// leaving the heap as VaultLoad does. False when not every entry came back.
bool checkOpened(benchmark::State& state, const SizedVault& v, QByteArray& file,
                 sealedentries::Opened& opened) {
    if (!opened.ok()) {
        state.SkipWithError(
            qPrintable(QStringLiteral("the sealed vault did not open: ") + opened.unsealed.reason));
        return false;
    }
    benchmark::DoNotOptimize(&opened.entries);
    state.PauseTiming();
    const size_t count = opened.entries.size();
    opened = {};
    file = QByteArray();
    ::malloc_trim(0);
    state.ResumeTiming();
    if (count != v.entries.size()) {
        state.SkipWithError("the load did not give every entry back");
        return false;
    }
    return true;
}

// What the program does when the password of a sealed vault is right: the
// file is read, the key derived from the password at the parameters in its
// header, and the bytes decrypted, their entries read as in VaultLoad while
// the chunks after them are still being decrypted.
void SealedOpen(benchmark::State& state) {
    SizedVault* v = sealedOf(state);
    if (!v)
        return;
    for (auto _ : state) {
        vaultfile::ReadResult r = vaultfile::readAll(v->sealedPath);
        // As the session does: the file's bytes are opened in place.
        sealedentries::Opened opened = sealedentries::open(std::move(r.data), kMaster);
        if (!checkOpened(state, *v, r.data, opened))
            break;
    }
    reportSealed(state, *v);
}

// The key derivation of that opening alone, at the default parameters.
void SealedDeriveKey(benchmark::State& state) {
    for (auto _ : state) {
        sealedvault::SealKey key = sealedvault::deriveKey(kMaster);
        if (key.isNull()) {
            state.SkipWithError("no key");
            break;
        }
        benchmark::DoNotOptimize(&key);
    }
}

// The opening without its derivation: read, decrypt with the key in hand,
// load. SealedOpen less SealedDeriveKey, measured on its own.
void SealedUnsealLoad(benchmark::State& state) {
    SizedVault* v = sealedOf(state);
    if (!v)
        return;
    // The session tells its record keeper of the file it opened, as the
    // program's does.
    QTemporaryDir data;
    RecordKeeper keeper(data.filePath(QStringLiteral("replicas")));
    for (auto _ : state) {
        vaultfile::ReadResult r = vaultfile::readAll(v->sealedPath);
        sealedentries::Opened opened = sealedentries::openWithKey(std::move(r.data), v->sealKey);
        if (opened.ok())
            keeper.current(opened.unsealed.plain, opened.unsealed.record);
        if (!checkOpened(state, *v, r.data, opened))
            break;
    }
    reportSealed(state, *v);
}

// A save of the sealed vault, as the program does it after every change: the
// entries' lines into one buffer as in VaultSave, its record of what it has
// seen brought up to date by the keeper the session has (every line kept, so
// no count is taken), sealed with it under the key derived when the vault
// was opened, the file replaced safely, and the keeper told of the new file.
void SealedSave(benchmark::State& state) {
    SizedVault* v = sealedOf(state);
    if (!v)
        return;
    QTemporaryDir data;
    RecordKeeper keeper(data.filePath(QStringLiteral("replicas")));
    keeper.current(v->bytes, {});
    qsizetype size = 0;
    for (auto _ : state) {
        const QByteArray file = vaultformat::savedFile(kMaster, v->store);
        const QByteArray record = keeper.recordFor(file);
        const QByteArray sealed = sealedvault::sealWithRecord(file, record, v->sealKey);
        const vaultfile::Result r = vaultfile::saveAtomically(v->sealedPath, sealed);
        if (!r.ok) {
            state.SkipWithError(qPrintable(r.error));
            break;
        }
        keeper.current(file, record);
        size = sealed.size();
    }
    if (QFileInfo(v->sealedPath).size() != size)
        state.SkipWithError("the saved file has another size");
    reportSealed(state, *v);
}

// The sealing of a save alone: the plain bytes encrypted, in memory.
void SealAlone(benchmark::State& state) {
    SizedVault* v = sealedOf(state);
    if (!v)
        return;
    for (auto _ : state) {
        QByteArray sealed = sealedvault::seal(v->bytes, v->sealKey);
        benchmark::DoNotOptimize(sealed.data());
    }
    reportSealed(state, *v);
}

// Real time: a sync waits on the disk, and that wait is what the user sees.
// Large sizes take long enough that one iteration per repetition is a fair
// sample; the repetitions give the median.
void sizes(benchmark::internal::Benchmark* b) {
    b->ArgName("entries")->Arg(1'000)->Arg(100'000)->Arg(1'000'000);
    b->Unit(benchmark::kMillisecond)->UseRealTime();
}

BENCHMARK(VaultLoad)->Apply(sizes);
BENCHMARK(ReadFloor)->Apply(sizes);
BENCHMARK(ReadDecipherFloor)->Apply(sizes);
BENCHMARK(VaultSave)->Apply(sizes);
BENCHMARK(WriteFloor)->Apply(sizes);
BENCHMARK(WriteSyncRenameFloor)->Apply(sizes);

void sealedSize(benchmark::internal::Benchmark* b) {
    b->ArgName("entries")->Arg(100'000);
    b->Unit(benchmark::kMillisecond)->UseRealTime();
}

BENCHMARK(SealedOpen)->Apply(sealedSize);
BENCHMARK(SealedDeriveKey)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(SealedUnsealLoad)->Apply(sealedSize);
BENCHMARK(SealedSave)->Apply(sealedSize);
BENCHMARK(SealAlone)->Apply(sealedSize);

} // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    {
        std::map<int64_t, std::unique_ptr<SizedVault>> vaults;
        g_vaults = &vaults;
        benchmark::RunSpecifiedBenchmarks();
        g_vaults = nullptr;
    }
    benchmark::Shutdown();
    return 0;
}
