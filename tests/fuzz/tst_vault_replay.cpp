// The vault reader over the stored corpus and over randomly broken vault
// files, built the ordinary way: every read returns, gives no more entries
// than the file has lines, what it read saves and reads back the same, and the
// file as opened saves to the same bytes as its entries encoded anew (but for
// lines as saves used to write them, which are kept).
// The libFuzzer target checks the same with coverage guidance.
#include "Corpus.h"
#include "vault/VaultFormat.h"

#include <QDir>
#include <QFile>
#include <QRandomGenerator>

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <utility>

namespace {

// What a save of the file as opened writes: every entry line's entry encoded
// anew, except a line just as saves used to write its entry, which is kept.
QByteArray savedAsOpened(QByteArrayView file, const QString& master) {
    QByteArray out = vaultformat::encodeMasterLine(master) + "\r\n";
    bool first = true;
    vaultformat::forEachLine(file, [&](QByteArrayView raw) {
        if (!std::exchange(first, false) && !vaultformat::isSkippedLine(raw)) {
            const Entry e = vaultformat::decodeEntryLine(raw);
            const bool kept =
                raw == vaultformat::encodeEntryLine(e, vaultformat::Escaping::AllUndefined);
            out += (kept ? raw.toByteArray() : vaultformat::encodeEntryLine(e)) + "\r\n";
        }
    });
    return out + "\r\n";
}

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
    quint32 start = 20261207;
    if (const char* env = std::getenv("KEYNOOK_RANDOM_START"))
        start = static_cast<quint32>(std::strtoul(env, nullptr, 10));
    std::printf("random start value %u (KEYNOOK_RANDOM_START)\n", start);
    QRandomGenerator random(start);
    // Bytes that matter to the format, offered more often than others.
    const char special[] = {'\r', '\n', '|', ' ', '\x81', '\x01', '\xfc', '\x80', '\x00', '0', 'A'};
    constexpr int kInputs = 20000;
    for (int i = 0; i < kInputs; ++i) {
        QByteArray f = files[random.bounded(static_cast<quint32>(files.size()))].left(4096);
        const int edits = 1 + static_cast<int>(random.bounded(8u));
        for (int e = 0; e < edits; ++e) {
            const qsizetype at = f.isEmpty() ? 0 : random.bounded(static_cast<quint32>(f.size()));
            const char byte = random.bounded(2u)
                                  ? special[random.bounded(static_cast<quint32>(sizeof special))]
                                  : static_cast<char>(random.bounded(256u));
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
        ASSERT_EQ(checkOne(f), std::string()) << "input " << i << ": " << f.toHex().toStdString();
    }
    std::printf("randomly broken vault files read: %d\n", kInputs);
}
