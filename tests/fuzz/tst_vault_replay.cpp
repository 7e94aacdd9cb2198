// The vault reader over the stored corpus and over randomly broken vault
// files, built the ordinary way: every read returns, gives no more entries
// than the file has lines, what it read saves and reads back the same, and the
// file as opened saves to the same bytes as its entries encoded anew (but for
// lines as saves used to write them, which are kept).
// The libFuzzer target checks the same with coverage guidance.
#include "Corpus.h"
#include "VaultSavedAsOpened.h"
#include "vault/VaultFormat.h"

#include <gtest/gtest.h>

namespace {

std::string checkOne(const QByteArray& file) {
    const QString master = vaultformat::readMasterPassword(file);
    const std::vector<Entry> entries = vaultformat::readEntries(file);
    if (static_cast<qsizetype>(entries.size()) > file.count('\r') + 1)
        return "more entries than lines";
    const QByteArray saved = vaultformat::savedFile(master, entries);
    if (vaultformat::readMasterPassword(saved) != master)
        return "the master password changed on a save and read";
    if (vaultformat::readEntries(saved) != entries)
        return "the entries changed on a save and read";
    if (vaultformat::savedFile(master, EntryStore::fromFile(file)) != savedAsOpened(file, master))
        return "the lines kept from the file save otherwise than the entries encoded anew";
    // A saved file has CR only at the ends of its lines.
    qsizetype crs = 0;
    for (qsizetype i = 0; i < saved.size(); ++i)
        if (saved[i] == '\r') {
            ++crs;
            if (i + 1 >= saved.size() || saved[i + 1] != '\n')
                return "a CR inside a saved line";
        }
    if (crs != static_cast<qsizetype>(entries.size()) + 2)
        return "the saved file has the wrong number of lines";
    return {};
}

std::vector<QByteArray> corpus() {
    std::vector<QByteArray> files;
    for (CorpusFile& f : readCorpus(QStringLiteral(KEYNOOK_VAULT_CORPUS_DIR)))
        files.push_back(std::move(f.bytes));
    return files;
}

} // namespace

TEST(VaultReplay, EveryCorpusFileReadsAndSavesBackTheSame) {
    const std::vector<QByteArray> files = corpus();
    ASSERT_GE(files.size(), 20u);
    for (const QByteArray& f : files)
        EXPECT_EQ(checkOne(f), std::string()) << f.left(80).toHex(' ').toStdString();
}

TEST(VaultReplay, RandomlyBrokenFilesReadAndSaveBackTheSame) {
    const std::vector<QByteArray> files = corpus();
    QRandomGenerator random = replayRandom();
    // Bytes that matter to the format, offered more often than others.
    const char special[] = {'\r', '\n', '|', ' ', '\x81', '\x01', '\xfc', '\x80', '\x00', '0', 'A'};
    constexpr int kInputs = 20000;
    for (int i = 0; i < kInputs; ++i) {
        QByteArray f = files[random.bounded(static_cast<quint32>(files.size()))].left(4096);
        const int edits = 1 + static_cast<int>(random.bounded(8u));
        breakRandomly(f, random, edits, QByteArrayView(special, sizeof special));
        ASSERT_EQ(checkOne(f), std::string()) << "input " << i << ": " << f.toHex().toStdString();
    }
    std::printf("randomly broken vault files read: %d\n", kInputs);
}
