// The sealed vault reader over the stored corpus and over randomly broken
// copies of it, built the ordinary way: every file holds to
// sealedfuzzing::check(), as it is and with its header's checksum made right
// (so that changed parameters, salts and check values reach the reader's
// later rules); each seed gives the outcome its name says, and a
// broken copy is judged by what is left of it: a header left whole keeps the
// seed's outcome (an open vault's then fails as damage), any other change is
// damage or no sealed vault at all. The libFuzzer target checks the same with
// coverage guidance.
#include "Corpus.h"
#include "SealedFuzzing.h"

#include <QDir>
#include <QFile>
#include <QRandomGenerator>

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>

namespace {

using sealedvault::Outcome;
using sealedvault::layout::kHeaderSize;
using sealedvault::layout::kTagSize;

struct Seed {
    QString name;
    QByteArray bytes;
    Outcome outcome;
};

Outcome outcomeNamed(const QString& name) {
    const QString kind = name.section(QLatin1Char('-'), 0, 0);
    if (kind == QLatin1String("ok"))
        return Outcome::Ok;
    if (kind == QLatin1String("wrong"))
        return Outcome::WrongPassword;
    if (kind == QLatin1String("refused"))
        return Outcome::ParametersRefused;
    if (kind == QLatin1String("plain"))
        return Outcome::NotSealed;
    return Outcome::Damaged;
}

std::vector<Seed> corpus() {
    std::vector<Seed> seeds;
    for (CorpusFile& f : readCorpus(QStringLiteral(KEYNOOK_SEALED_CORPUS_DIR)))
        seeds.push_back(Seed{f.name, std::move(f.bytes), outcomeNamed(f.name)});
    return seeds;
}

Outcome outcomeOf(const QByteArray& file) {
    return sealedvault::unseal(file, sealedfuzzing::kPassword, sealedfuzzing::bounds()).outcome;
}

} // namespace

TEST(SealedReplay, EverySeedGivesTheOutcomeItsNameSays) {
    const std::vector<Seed> seeds = corpus();
    ASSERT_GE(seeds.size(), 10u);
    for (const Seed& s : seeds) {
        EXPECT_EQ(sealedfuzzing::checkBoth(s.bytes), std::string()) << s.name.toStdString();
        EXPECT_EQ(outcomeOf(s.bytes), s.outcome) << s.name.toStdString();
    }
}

TEST(SealedReplay, RandomlyBrokenSeedsAreJudgedByWhatIsLeft) {
    const std::vector<Seed> seeds = corpus();
    quint32 start = 20261207;
    if (const char* env = std::getenv("KEYNOOK_RANDOM_START"))
        start = static_cast<quint32>(std::strtoul(env, nullptr, 10));
    std::printf("random start value %u (KEYNOOK_RANDOM_START)\n", start);
    QRandomGenerator random(start);
    constexpr int kInputs = 20000;
    int damaged = 0;
    for (int i = 0; i < kInputs; ++i) {
        const Seed& seed = seeds[random.bounded(static_cast<quint32>(seeds.size()))];
        QByteArray f = seed.bytes;
        const int edits = 1 + static_cast<int>(random.bounded(4u));
        for (int e = 0; e < edits; ++e) {
            // Half the edits fall in the header, where the reader decides most.
            const quint32 span = static_cast<quint32>(
                random.bounded(2u) ? qMin<qsizetype>(f.size(), kHeaderSize) : f.size());
            const qsizetype at = span ? random.bounded(span) : 0;
            const char byte = static_cast<char>(random.bounded(256u));
            switch (random.bounded(3u)) {
            case 0:
                f.insert(at, byte);
                break;
            case 1:
                if (!f.isEmpty())
                    f[at] = byte;
                break;
            default:
                f.remove(at, 1 + static_cast<qsizetype>(random.bounded(4u)));
            }
        }
        ASSERT_EQ(sealedfuzzing::checkBoth(f), std::string())
            << "input " << i << ": " << f.toHex().toStdString();
        const Outcome got = outcomeOf(f);
        if (f == seed.bytes) {
            EXPECT_EQ(got, seed.outcome) << "input " << i;
        } else if (seed.outcome == Outcome::NotSealed) {
            // A plain vault, broken, is whatever its bytes say.
        } else if (f.size() >= kHeaderSize + kTagSize &&
                   f.first(kHeaderSize) == seed.bytes.first(kHeaderSize)) {
            EXPECT_EQ(got, seed.outcome == Outcome::Ok ? Outcome::Damaged : seed.outcome)
                << "input " << i << ": " << f.toHex().toStdString();
        } else {
            EXPECT_TRUE(got == Outcome::Damaged || got == Outcome::NotSealed)
                << "input " << i << ": " << f.toHex().toStdString();
        }
        damaged += got == Outcome::Damaged;
    }
    std::printf("randomly broken sealed files opened: %d, %d of them damaged\n", kInputs, damaged);
}
