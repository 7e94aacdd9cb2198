// The entry store keeps lines as the file holds them and writes them back
// unchanged where it can. These tests hold it to the general codec: whatever
// it keeps, re-encodes or edits must read and save exactly as decoding every
// line and encoding every entry anew would, but for lines just as saves used
// to escape them, which are kept.
#include "VaultTestSupport.h"

#include "vault/EntryStore.h"
#include "vault/VaultFormat.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <iostream>
#include <numeric>
#include <random>
#include <vector>

using testsupport::flipped;
using testsupport::kCrLf;

namespace {

// The file a save writes, built entry by entry with the general encoder.
QByteArray referenceSave(const QString& master, const std::vector<Entry>& entries) {
    QByteArray out = vaultformat::encodeMasterLine(master) + kCrLf;
    for (const Entry& e : entries)
        out += vaultformat::encodeEntryLine(e) + kCrLf;
    return out + kCrLf;
}

std::vector<Entry> entriesOf(const EntryStore& store) {
    std::vector<Entry> out;
    for (size_t i = 0; i < store.size(); ++i)
        out.push_back(store.entry(i));
    return out;
}

class LineMaker {
public:
    explicit LineMaker(std::uint32_t start) : m_gen(start), m_fields(start ^ 0x3C3C3C3Cu) {}

    // Raw (ciphered) line bytes, never holding a CR.
    QByteArray line() {
        switch (pick(0, 5)) {
        case 0: // what a save writes, or used to write, for an entry, escapes and all
            return vaultformat::encodeEntryLine(
                Entry{m_fields.field(), m_fields.field(), m_fields.field()},
                pick(0, 1) ? vaultformat::Escaping::Needed : vaultformat::Escaping::AllUndefined);
        case 1: // reading passes over these
            return pick(0, 1) ? QByteArray() : QByteArray(" ");
        default: { // one to four pieces of bytes that matter to the format, and any
                   // others, joined by separators
            static const unsigned char roles[] = {0xFC, 0x01, 0x0F, 0x10, 0x1D, 0x0A,
                                                  0x00, 0x80, 0xA0, 0xB0, 0xC1, 0xE1};
            QByteArray out;
            const int pieces = pick(1, 4);
            for (int k = 0; k < pieces; ++k) {
                if (k > 0)
                    out.append("\xFC\xFC\xFC");
                const int n = pick(0, 8);
                for (int i = 0; i < n; ++i) {
                    int b = pick(0, 2) ? pick(0x21, 0x7E) ^ 0x80 : pick(0, 255);
                    if (pick(0, 3) == 0)
                        b = roles[pick(0, sizeof roles - 1)];
                    if (b == '\r')
                        b = 0x8D;
                    out.append(static_cast<char>(b));
                }
            }
            return out;
        }
        }
    }

    QByteArray terminator() {
        switch (pick(0, 3)) {
        case 0:
            return QByteArray("\r");
        default:
            return kCrLf;
        }
    }

    int pick(int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(m_gen); }

private:
    std::mt19937 m_gen;
    testsupport::FieldMaker m_fields;
};

TEST(EntryStore, AnyFileReadsAndSavesAsTheGeneralCodecDoes) {
    const std::uint32_t start = testsupport::randomStartValue();
    std::cout << "random start value: " << start << " (KEYNOOK_RANDOM_START=" << start
              << " replays this run)\n";
    SCOPED_TRACE(testing::Message() << "random start value " << start);
    LineMaker maker(start);
    for (int round = 0; round < 2000; ++round) {
        SCOPED_TRACE(testing::Message() << "round " << round);
        QByteArray file = maker.line();
        const int lines = maker.pick(0, 12);
        for (int i = 0; i < lines; ++i)
            file += maker.terminator() + maker.line();
        if (maker.pick(0, 1))
            file += maker.terminator();

        // Each line saves as its entry encoded anew, or as it is when it is
        // just what saves used to write for that entry.
        const QString master = vaultformat::readMasterPassword(file);
        std::vector<Entry> expected;
        QByteArray expectedSave = vaultformat::encodeMasterLine(master) + kCrLf;
        bool first = true;
        vaultformat::forEachLine(file, [&](QByteArrayView raw) {
            if (!first && !vaultformat::isSkippedLine(raw)) {
                const Entry e = vaultformat::decodeEntryLine(raw);
                expected.push_back(e);
                const bool asSavesUsedTo =
                    raw == vaultformat::encodeEntryLine(e, vaultformat::Escaping::AllUndefined);
                expectedSave +=
                    (asSavesUsedTo ? raw.toByteArray() : vaultformat::encodeEntryLine(e)) + kCrLf;
            }
            first = false;
        });
        expectedSave += kCrLf;

        const EntryStore store = EntryStore::fromFile(file);
        ASSERT_EQ(entriesOf(store), expected) << testing::PrintToString(file);
        ASSERT_EQ(vaultformat::savedFile(master, store), expectedSave)
            << testing::PrintToString(file);

        // Read while the bytes arrive a few at a time, in a buffer whose
        // bytes not yet arrived are line ends, separators and escape markers:
        // a look past the readable ones would find them.
        QByteArray arriving(file.size(), Qt::Uninitialized);
        for (qsizetype i = 0; i < arriving.size(); ++i)
            arriving[i] = "\r\n\xFC\x01"[maker.pick(0, 3)];
        EntryStore::Loader loader(arriving);
        for (qsizetype readable = 0; readable < file.size();) {
            const qsizetype more = std::min<qsizetype>(maker.pick(0, 19), file.size() - readable);
            std::copy_n(file.constData() + readable, more, arriving.data() + readable);
            readable += more;
            loader.readTo(readable);
        }
        const EntryStore piecemeal = loader.finish(arriving);
        ASSERT_EQ(vaultformat::savedFile(master, piecemeal), expectedSave)
            << testing::PrintToString(file);
    }
}

TEST(EntryStore, FileInSavedFormSavesToTheSameBytes) {
    // Ordinary lines, a bar beside a separator, an escaped field: all kept.
    const std::vector<Entry> entries = {
        {"alice", "pa55", "mail.example.org"},
        {"a|", "|b", "c|"},
        {QString(QChar(0x0142)), "\u00e9t\u00e9", ""},
        {"", "", ""},
    };
    const QByteArray file = referenceSave("master", entries);
    const EntryStore store = EntryStore::fromFile(file);
    EXPECT_EQ(entriesOf(store), entries);
    EXPECT_EQ(vaultformat::savedFile("master", store), file);
    EXPECT_EQ(vaultformat::savedFile("master", store, {3, 1, 0, 2}),
              referenceSave("master", {entries[3], entries[1], entries[0], entries[2]}));
}

TEST(EntryStore, EveryByteALineCanHoldIsWrittenBackAsItWasRead) {
    // Each byte a line can hold (anything but CR), between plain letters, in
    // the master line and in each field. Both the kept lines and the general
    // codec write it back as it was, except the escape marker, which a save
    // escapes: that field then reads back the same.
    const QByteArray sep("\xFC\xFC\xFC");
    for (int b = 0; b < 256; ++b) {
        if (b == '\r')
            continue;
        const QByteArray around = flipped("a") + char(b) + flipped("z");
        for (int at = 0; at < 4; ++at) {
            SCOPED_TRACE(testing::Message()
                         << "byte 0x" << std::hex << b << " in line part " << at);
            QByteArray parts[4] = {flipped("m"), flipped("u"), flipped("p"), flipped("w")};
            parts[at] = around;
            const QByteArray file =
                parts[0] + kCrLf + parts[1] + sep + parts[2] + sep + parts[3] + kCrLf + kCrLf;

            const QString master = vaultformat::readMasterPassword(file);
            const std::vector<Entry> entries = vaultformat::readEntries(file);
            const QByteArray kept = vaultformat::savedFile(master, EntryStore::fromFile(file));
            const QByteArray anew = vaultformat::savedFile(master, entries);
            EXPECT_EQ(kept, anew);
            if (b == 0x01) { // the escape marker 0x81, ciphered
                EXPECT_NE(anew, file);
                EXPECT_EQ(vaultformat::readMasterPassword(anew), master);
                EXPECT_EQ(vaultformat::readEntries(anew), entries);
            } else {
                EXPECT_EQ(anew, file);
            }
        }
    }
}

TEST(EntryStore, LinesEscapedAsSavesUsedToAreKept) {
    // Saves used to escape every field holding the character of an undefined
    // byte. A vault saved so saves to the same bytes, its master line too,
    // while the same text written anew is plain.
    const QByteArray sep("\xFC\xFC\xFC");
    auto escaped = [](const char* hex) { return flipped(QByteArray("\x81") + hex); };
    const QByteArray masterLine = escaped("006D008F");
    QByteArray file = masterLine + kCrLf;
    file += escaped("0061008F0062") + sep + flipped("p") + sep + flipped("w") + kCrLf;
    file += flipped("u") + sep + escaped("00900020009D") + sep + escaped("0142") + kCrLf;
    file += kCrLf;
    const QString master = vaultformat::readMasterPassword(file);
    ASSERT_EQ(master, QStringLiteral("m") + QChar(0x008F));
    const EntryStore store = EntryStore::fromFile(file);
    EXPECT_EQ(vaultformat::savedFile(master, store, {0, 1}, masterLine), file);

    const QByteArray anew = vaultformat::savedFile(master, entriesOf(store));
    EXPECT_EQ(anew.count('\x01'), 1); // the escape of U+0142 alone
    EXPECT_EQ(vaultformat::readMasterPassword(anew), master);
    EXPECT_EQ(vaultformat::readEntries(anew), entriesOf(store));

    // The same entries written either way are the same entries.
    EntryStore anewStore = EntryStore::fromFile(anew);
    EXPECT_EQ(anewStore.appendAbsent(EntryStore::fromFile(file)), 2);
    EntryStore kept = EntryStore::fromFile(file);
    EXPECT_EQ(kept.appendAbsent(EntryStore::fromFile(anew)), 2);
    EXPECT_EQ(kept.size(), 2u);
}

TEST(EntryStore, EditsAddsAndDeletesKeepEveryOtherEntryIntact) {
    const std::uint32_t start = testsupport::randomStartValue();
    SCOPED_TRACE(testing::Message() << "random start value " << start);
    testsupport::FieldMaker fields(start);
    std::mt19937 gen(start ^ 0x77777777u);
    auto pick = [&](int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(gen); };
    auto entry = [&] { return Entry{fields.field(), fields.field(), fields.field()}; };

    std::vector<Entry> expected;
    for (int i = 0; i < 20; ++i)
        expected.push_back(entry());
    EntryStore store = EntryStore::fromFile(referenceSave("m", expected));
    for (int step = 0; step < 600; ++step) {
        SCOPED_TRACE(testing::Message() << "step " << step);
        const int op = pick(0, 6);
        if (op == 6) {
            // Entries the store holds, some twice, and new ones, some twice:
            // each added once.
            std::vector<Entry> more;
            for (int n = pick(0, 6); n > 0; --n) {
                const int from = pick(0, 2);
                if (from == 0 && !expected.empty())
                    more.push_back(expected[static_cast<size_t>(
                        pick(0, static_cast<int>(expected.size()) - 1))]);
                else if (from == 1 && !more.empty())
                    more.push_back(more[static_cast<size_t>(pick(0, int(more.size()) - 1))]);
                else
                    more.push_back(entry());
            }
            QByteArray file = vaultformat::encodeMasterLine("other") + kCrLf;
            for (const Entry& e : more)
                file += vaultformat::encodeEntryLine(e) + kCrLf;
            qsizetype present = 0;
            for (const Entry& e : more) {
                if (std::find(expected.begin(), expected.end(), e) != expected.end())
                    ++present;
                else
                    expected.push_back(e);
            }
            ASSERT_EQ(store.appendAbsent(EntryStore::fromFile(file)), present);
        }
        if (op == 0) {
            const Entry e = entry();
            store.append(e);
            expected.push_back(e);
        } else if (op == 1) {
            std::vector<Entry> more(static_cast<size_t>(pick(0, 4)));
            for (Entry& e : more)
                e = entry();
            store.append(more);
            expected.insert(expected.end(), more.begin(), more.end());
        } else if (op == 2) {
            std::vector<Entry> more(static_cast<size_t>(pick(0, 4)));
            for (Entry& e : more)
                e = entry();
            store.append(EntryStore::fromFile(referenceSave("other", more)));
            expected.insert(expected.end(), more.begin(), more.end());
        } else if (op == 3 && !expected.empty()) {
            const size_t at = static_cast<size_t>(pick(0, static_cast<int>(expected.size()) - 1));
            const Entry e = entry();
            store.replace(at, e);
            expected[at] = e;
        } else if (!expected.empty()) {
            const size_t at = static_cast<size_t>(pick(0, static_cast<int>(expected.size()) - 1));
            store.erase(at);
            expected.erase(expected.begin() + static_cast<std::ptrdiff_t>(at));
        }
        ASSERT_EQ(store.size(), expected.size());
        ASSERT_EQ(entriesOf(store), expected);
        ASSERT_EQ(vaultformat::savedFile("m", store), referenceSave("m", expected));
        // Saved as pieces, in file order and shuffled, the file is the same.
        std::vector<int> order(store.size());
        std::iota(order.begin(), order.end(), 0);
        for (int way = 0; way < 2; ++way) {
            if (way == 1)
                std::shuffle(order.begin(), order.end(), gen);
            ASSERT_EQ(vaultformat::savedPieces("m", store, order).joined(),
                      vaultformat::savedFile("m", store, order));
        }
    }
}

TEST(EntryStore, FoldedFieldIsTheFieldTextCaseFolded) {
    testsupport::FieldMaker fields(testsupport::randomStartValue());
    std::vector<Entry> entries;
    for (int i = 0; i < 300; ++i)
        entries.push_back({fields.field(), fields.field(), fields.field()});
    // Every byte of the code page in one field, read straight from a file.
    QByteArray all;
    for (int b = 0; b < 256; ++b)
        if (b != '\r' && b != '|')
            all.append(static_cast<char>(b));
    entries.push_back({ansi::decode(all), "Straße ÆØÅ", "ÀÉÎÕÜ àéîõü Œœ Šš Žž Ÿÿ"});

    const EntryStore store = EntryStore::fromFile(referenceSave("m", entries));
    ASSERT_EQ(store.size(), entries.size());
    for (size_t i = 0; i < store.size(); ++i) {
        for (int f = 0; f < 3; ++f) {
            std::vector<char16_t> folded;
            store.appendFolded(i, f, folded);
            const QString text = store.field(i, f);
            EXPECT_EQ(QStringView(folded.data(), static_cast<qsizetype>(folded.size())),
                      text.toCaseFolded())
                << "entry " << i << " field " << f;
            EXPECT_LT(static_cast<qsizetype>(folded.size()), store.line(i).size());
        }
    }
}

} // namespace
