// Export and import of 100,000 entries beside the least a load of the same
// vault must do: read the file and flip the top bit of every byte (the floor
// of bench_vault, measured here again so that the ratio comes from one run).
// Export from the vault's entries should stay within three times that floor.
//
// The vault file lives in TMPDIR, as in bench_vault. Every iteration writes
// into memory fresh from the system, as the one export of a run does.
#include "support/SampleEntries.h"

#include "vault/Interchange.h"
#include "vault/VaultFile.h"
#include "vault/VaultFormat.h"

#include <QByteArray>
#include <QFile>
#include <QTemporaryDir>

#include <benchmark/benchmark.h>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <malloc.h>
#include <memory>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr int kEntries = 100'000;
constexpr quint64 kStartValue = 20260314;

struct Sample {
    QTemporaryDir dir;
    std::vector<Entry> entries;
    QByteArray vault;
    QByteArray vaultPath;
    // The entries as the program holds them once the vault is open.
    EntryStore store;
    QByteArray csv;
    QByteArray json;
};

Sample* g_sample = nullptr;

Sample* sampleOf(benchmark::State& state) {
    if (!g_sample)
        state.SkipWithError("the sample vault could not be made");
    return g_sample;
}

// Frees what an iteration made and gives the memory back to the system,
// untimed, so that the next iteration starts on fresh pages as a run's one
// export or load does.
template <class T> void release(benchmark::State& state, T& made) {
    state.PauseTiming();
    made = T();
    ::malloc_trim(0);
    state.ResumeTiming();
}

void report(benchmark::State& state, qsizetype bytes) {
    state.SetItemsProcessed(state.iterations() * kEntries);
    state.SetBytesProcessed(state.iterations() * bytes);
}

bool readInto(const QByteArray& path, QByteArray& buffer) {
    const int fd = ::open(path.constData(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    struct stat st {};
    if (::fstat(fd, &st) != 0) {
        ::close(fd);
        return false;
    }
    buffer = QByteArray(static_cast<qsizetype>(st.st_size), Qt::Uninitialized);
    char* p = buffer.data();
    qsizetype left = buffer.size();
    while (left > 0) {
        const ssize_t n = ::read(fd, p, static_cast<size_t>(left));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        p += n;
        left -= n;
    }
    ::close(fd);
    return left == 0;
}

void ReadDecipherFloor(benchmark::State& state) {
    Sample* s = sampleOf(state);
    if (!s)
        return;
    using Bytes16 = unsigned char __attribute__((vector_size(16)));
    for (auto _ : state) {
        QByteArray buffer;
        if (!readInto(s->vaultPath, buffer)) {
            state.SkipWithError("the vault could not be read");
            break;
        }
        char* p = buffer.data();
        const qsizetype n = buffer.size();
        qsizetype i = 0;
        for (; i + 16 <= n; i += 16) {
            Bytes16 x;
            std::memcpy(&x, p + i, 16);
            x ^= 0x80;
            std::memcpy(p + i, &x, 16);
        }
        for (; i < n; ++i)
            p[i] = static_cast<char>(p[i] ^ '\x80');
        benchmark::DoNotOptimize(buffer.data());
        release(state, buffer);
    }
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

template <class Import> void importBench(benchmark::State& state, Import run, bool json) {
    Sample* s = sampleOf(state);
    if (!s)
        return;
    size_t count = 0;
    for (auto _ : state) {
        interchange::ImportResult r = run(json ? s->json : s->csv);
        count = r.entries.size();
        benchmark::DoNotOptimize(r.entries.data());
        release(state, r);
    }
    if (count != s->entries.size())
        state.SkipWithError("the import did not give every entry back");
    report(state, json ? s->json.size() : s->csv.size());
}

void ImportCsv(benchmark::State& state) {
    importBench(state, interchange::importAny, false);
}

void ImportJson(benchmark::State& state) {
    importBench(state, interchange::importAny, true);
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

} // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    {
        auto sample = std::make_unique<Sample>();
        sample->entries = sampleEntries(kEntries, kStartValue);
        sample->vault = vaultformat::savedFile(QStringLiteral("Correct horse 42"), sample->entries);
        sample->vaultPath = QFile::encodeName(sample->dir.filePath(QStringLiteral("data.enc")));
        sample->store = EntryStore::fromFile(sample->vault);
        sample->csv = interchange::exportCsv(sample->entries).bytes;
        sample->json = interchange::exportJson(sample->entries).bytes;
        if (sample->dir.isValid() &&
            vaultfile::createFile(QFile::decodeName(sample->vaultPath), sample->vault).ok)
            g_sample = sample.get();
        benchmark::RunSpecifiedBenchmarks();
        g_sample = nullptr;
    }
    benchmark::Shutdown();
    return 0;
}
