// Sealed vaults: what the key derivation costs at the default parameters and
// at the settings it was chosen among, and what sealing and opening a vault
// add once the key is there (every save seals; only opening derives).
// Built by `make bench`; run it on its own:
//   build/bench/bench_seal --benchmark_repetitions=5 --benchmark_report_aggregates_only=true
// The derivation's memory is its memlimit; peak_rss_MiB shows the process's
// high-water mark beside it.
#include "support/SampleEntries.h"

#include "seal/SealedVault.h"
#include "secrets/Wipe.h"
#include "vault/VaultFormat.h"

#include <benchmark/benchmark.h>

#include <sys/resource.h>

namespace {

using namespace sealedvault;

const QString kMaster = QStringLiteral("Correct horse 42");

double peakRssMiB() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_maxrss) / 1024.0;
}

// Arguments: passes, MiB. The first pair is SealParams::defaults(), the last
// the costliest header a reader accepts (ParamBounds::accepted()).
void DeriveKey(benchmark::State& state) {
    const SealParams params{static_cast<quint64>(state.range(0)),
                            static_cast<quint64>(state.range(1)) * 1024 * 1024};
    for (auto _ : state) {
        SealKey key = deriveKey(kMaster, params);
        if (key.isNull())
            state.SkipWithError("no key");
        benchmark::DoNotOptimize(key);
    }
    state.counters["peak_rss_MiB"] = peakRssMiB();
}
BENCHMARK(DeriveKey)
    ->ArgNames({"passes", "MiB"})
    ->Args({3, 256})
    ->Args({1, 256})
    ->Args({2, 256})
    ->Args({3, 64})
    ->Args({4, 128})
    ->Args({10, 1024})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

// A save's sealing and an opening's decryption, with the key in hand.
void SealAndOpen(benchmark::State& state) {
    const QByteArray plain =
        vaultformat::savedFile(kMaster, sampleEntries(static_cast<int>(state.range(0)), 7));
    const SealKey key = deriveKey(kMaster, SealParams{1, 8 * 1024 * 1024});
    for (auto _ : state) {
        const QByteArray sealed = seal(plain, key);
        Unsealed opened = unsealWithKey(sealed, key);
        if (opened.plain.size() != plain.size())
            state.SkipWithError("did not open");
        secrets::wipe(opened.plain);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * plain.size());
}
BENCHMARK(SealAndOpen)
    ->ArgName("entries")
    ->Arg(1'000)
    ->Arg(100'000)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

} // namespace

BENCHMARK_MAIN();
