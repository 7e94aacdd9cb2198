// Import over the stored corpus and over randomly broken files, built the
// ordinary way: every input is read or refused whole, and what is read
// exports and reads back the same (CsvCheck.h). The libFuzzer target checks
// the same with coverage guidance; this keeps what it found from coming
// back.
#include "Corpus.h"
#include "CsvCheck.h"

#include <QDir>
#include <QFile>
#include <QRandomGenerator>

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <vector>

namespace {

std::vector<QByteArray> corpus() {
    std::vector<QByteArray> files;
    for (CorpusFile& f : readCorpus(QStringLiteral(KEYNOOK_CSV_CORPUS_DIR)))
        files.push_back(std::move(f.bytes));
    return files;
}

} // namespace

TEST(CsvReplay, EveryCorpusFileIsReadOrRefusedWhole) {
    const std::vector<QByteArray> files = corpus();
    ASSERT_GE(files.size(), 20u) << "the corpus is missing";
    int read = 0;
    for (const QByteArray& f : files) {
        EXPECT_EQ(csvcheck::check(f), std::string()) << f.left(80).toHex(' ').toStdString();
        read += interchange::importAny(f).ok() ? 1 : 0;
    }
    // The corpus holds files of every layout, not only broken ones.
    EXPECT_GE(read, 8);
}

TEST(CsvReplay, RandomlyBrokenFilesAreReadOrRefusedWhole) {
    const std::vector<QByteArray> files = corpus();
    ASSERT_FALSE(files.empty());
    QRandomGenerator random = replayRandom();
    // Bytes that matter to CSV, JSON and UTF-8, offered more often than others.
    const char special[] = {',',  '"', '\r',   '\n',   '[',    '{',
                            '\\', ' ', '\x00', '\xEF', '\xC3', '\x80'};
    constexpr int kInputs = 5000;
    int read = 0;
    for (int i = 0; i < kInputs; ++i) {
        QByteArray f = files[random.bounded(static_cast<quint32>(files.size()))].left(2048);
        // Mostly after the header, which an edit would make unknown.
        const qsizetype body = random.bounded(4u) != 0 ? f.indexOf('\n') + 1 : 0;
        const int edits = 1 + static_cast<int>(random.bounded(3u));
        breakRandomly(f, random, edits, QByteArrayView(special, sizeof special), body);
        ASSERT_EQ(csvcheck::check(f), std::string())
            << "input " << i << ": " << f.toHex().toStdString();
        read += interchange::importAny(f).ok() ? 1 : 0;
    }
    std::printf("randomly broken files: %d, of which read: %d\n", kInputs, read);
    // Enough of them are still files of some layout to exercise the mapping.
    EXPECT_GE(read, kInputs / 20);
}
