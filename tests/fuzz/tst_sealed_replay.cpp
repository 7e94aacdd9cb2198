// The sealed vault reader over the stored corpus, whose files are named for
// the outcome they give, and over randomly broken copies of it, built the
// ordinary way: each holds to sealedfuzzing::checkBoth(), and no broken copy
// opens or is taken for a wrong password unless the file it was broken from was. The libFuzzer
// target checks the same with coverage guidance.
#include "Corpus.h"
#include "SealedFuzzing.h"

#include <QRandomGenerator>

#include <gtest/gtest.h>

#include <cstdlib>
#include <map>

namespace {

using sealedvault::Outcome;

struct Sample {
    QString name;
    QByteArray bytes;
    Outcome outcome;
};

std::vector<Sample> corpus() {
    const std::map<QString, Outcome> outcomes{{"ok", Outcome::Ok},
                                              {"wrong", Outcome::WrongPassword},
                                              {"refused", Outcome::ParametersRefused},
                                              {"damaged", Outcome::Damaged},
                                              {"plain", Outcome::NotSealed}};
    std::vector<Sample> samples;
    for (CorpusFile& f : readCorpus(QStringLiteral(KEYNOOK_SEALED_CORPUS_DIR)))
        samples.push_back(
            Sample{f.name, std::move(f.bytes), outcomes.at(f.name.section('-', 0, 0))});
    return samples;
}

Outcome outcomeOf(const QByteArray& file) {
    return sealedvault::unseal(file, sealedfuzzing::kPassword, sealedfuzzing::kBounds).outcome;
}

} // namespace

TEST(SealedReplay, EveryFileGivesTheOutcomeItsNameSays) {
    const std::vector<Sample> samples = corpus();
    ASSERT_GE(samples.size(), 10u);
    for (const Sample& s : samples) {
        EXPECT_EQ(sealedfuzzing::checkBoth(s.bytes), std::string()) << s.name.toStdString();
        EXPECT_EQ(outcomeOf(s.bytes), s.outcome) << s.name.toStdString();
    }
}

TEST(SealedReplay, RandomlyBrokenFilesNeitherOpenNorTurnIntoAWrongPassword) {
    const std::vector<Sample> samples = corpus();
    const char* env = std::getenv("KEYNOOK_RANDOM_START");
    QRandomGenerator random(env ? static_cast<quint32>(std::strtoul(env, nullptr, 10)) : 20261207);
    for (int i = 0; i < 20000; ++i) {
        const Sample& sample = samples[random.bounded(static_cast<quint32>(samples.size()))];
        QByteArray f = sample.bytes;
        for (int e = 1 + static_cast<int>(random.bounded(4u)); e > 0; --e) {
            // Half the edits fall in the header, where the reader decides most.
            const qsizetype span = random.bounded(2u) ? qMin(f.size(), 160) : f.size();
            const qsizetype at = span ? random.bounded(static_cast<quint32>(span)) : 0;
            const char byte = static_cast<char>(random.bounded(256u));
            if (const quint32 kind = random.bounded(3u); kind == 0)
                f.insert(at, byte);
            else if (kind == 1 && !f.isEmpty())
                f[at] = byte;
            else
                f.remove(at, 1 + static_cast<qsizetype>(random.bounded(4u)));
        }
        ASSERT_EQ(sealedfuzzing::checkBoth(f), std::string()) << i << ": " << f.toHex().data();
        const Outcome got = outcomeOf(f);
        EXPECT_TRUE(f == sample.bytes || (got != Outcome::Ok &&
                                          (got != Outcome::WrongPassword || sample.outcome == got)))
            << i << ": " << f.toHex().data();
    }
}
