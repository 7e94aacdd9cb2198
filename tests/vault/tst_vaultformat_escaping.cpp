#include "VaultTestSupport.h"

#include "vault/Ansi.h"
#include "vault/VaultFormat.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <iostream>
#include <random>
#include <vector>

using testsupport::flipped;
using testsupport::kCrLf;

namespace {

QByteArray plainEntryLine(const Entry& e) {
    return flipped(ansi::encode(e.username + QStringLiteral("|||") + e.password +
                                QStringLiteral("|||") + e.location));
}

// Every CR of a saved file must be a terminator: one per entry, one for the
// master line and one for the final empty line.
void expectOnlyTerminatorCrs(const QByteArray& file, std::size_t entryCount) {
    EXPECT_EQ(static_cast<std::size_t>(file.count('\r')), entryCount + 2);
    for (qsizetype i = file.indexOf('\r'); i >= 0; i = file.indexOf('\r', i + 1))
        ASSERT_TRUE(i + 1 < file.size() && file[i + 1] == '\n') << "lone CR at " << i;
}

void expectRoundTrip(const QString& master, const std::vector<Entry>& entries) {
    const QByteArray file = vaultformat::savedFile(master, entries);
    EXPECT_EQ(vaultformat::readMasterPassword(file), master);
    EXPECT_EQ(vaultformat::readEntries(file), entries);
    expectOnlyTerminatorCrs(file, entries.size());

    const QByteArray created = vaultformat::masterOnlyFile(master);
    EXPECT_EQ(vaultformat::readMasterPassword(created), master);
    EXPECT_EQ(created.count('\r'), 1);
    EXPECT_TRUE(created.endsWith(kCrLf));
}

// Field texts the plain layout cannot hold as they are.
std::vector<QString> awkwardFields() {
    return {
        QStringLiteral("a|||b"),
        QStringLiteral("|||"),
        QStringLiteral("||||||"),
        QStringLiteral("|"),
        QStringLiteral("||"),
        QStringLiteral("|a"),
        QStringLiteral("a|"),
        QStringLiteral("||a"),
        QStringLiteral("a||"),
        QStringLiteral("|a|"),
        QStringLiteral("x||||y"),
        QString(QChar(0x0142)),                        // outside the code page
        QString::fromUtf8("\xE4\xB8\xAD\xE6\x96\x87"), // CJK
        QString::fromUtf8("pw\xF0\x9F\x98\x80!"),      // emoji: a surrogate pair
        QString(QChar(0xD83D)),                        // a lone surrogate
        QString(QChar(0x0081)),                        // undefined byte: the marker
        QString(QChar(0x008D)),                        // would encipher to CR
        QStringLiteral("ab") + QChar(0x008D) + QStringLiteral("cd"),
        QString(QChar(0x0081)) + QStringLiteral("0041"), // looks like an escaped "A"
        QString(QChar(0x0081)) + QStringLiteral("|||"),
        QString(QChar(0x0080)),
        QStringLiteral("|") + QChar(0x0142) + QStringLiteral("|"),
    };
}

TEST(VaultEscaping, AwkwardFieldsReadBackInEveryPosition) {
    for (const QString& field : awkwardFields()) {
        SCOPED_TRACE(testing::PrintToString(field));
        expectRoundTrip(QStringLiteral("m"), {
                                                 {field, "p", "w"},
                                                 {"u", field, "w"},
                                                 {"u", "p", field},
                                                 {field, field, field},
                                                 {field, "", ""},
                                                 {"", field, ""},
                                                 {"", "", field},
                                             });
    }
}

TEST(VaultEscaping, AwkwardFieldsCombineInOneEntry) {
    const std::vector<QString> fields = awkwardFields();
    std::vector<Entry> entries;
    for (std::size_t i = 0; i < fields.size(); ++i)
        entries.push_back(
            {fields[i], fields[(i + 1) % fields.size()], fields[(i + 5) % fields.size()]});
    expectRoundTrip(QStringLiteral("m"), entries);
}

TEST(VaultEscaping, AwkwardMasterPasswordsReadBack) {
    for (const QString& master : awkwardFields()) {
        SCOPED_TRACE(testing::PrintToString(master));
        expectRoundTrip(master, {{"u", "p", "w"}});
    }
}

TEST(VaultEscaping, CharacterThatWouldEncipherToCrDoesNotSplitTheLine) {
    const QString cr(QChar(0x008D));
    const std::vector<Entry> entries = {{"a" + cr, "b", "c"}, {"d", cr, "e"}};
    const QString master = "x" + cr + "y";
    const QByteArray file = vaultformat::savedFile(master, entries);
    expectOnlyTerminatorCrs(file, entries.size());
    EXPECT_EQ(vaultformat::readEntries(file), entries);
    EXPECT_EQ(vaultformat::readMasterPassword(file), master);
    EXPECT_FALSE(vaultformat::masterOnlyFile(master).chopped(2).contains('\r'));
}

TEST(VaultEscaping, OrdinaryLinesKeepThePlainLayout) {
    const std::vector<Entry> ordinary = {
        {"alice", "pa55", "mail.example.org"},
        {"", "", ""},
        {"u", "p", ""},
        {"a|b", "c||d", "e|f|g"},
        {QString::fromUtf8("Zürich€ŠŽ"), QString::fromUtf8("ÿþ \t\r\n"), "C:\\x"},
        {QString(QChar(0x0160)), QString(QChar(0x00A0)), " "},
        {QString(QChar(0x0000)), QString(QChar(0x007F)), QString(QChar(0x00FF))},
        // Control characters that have a byte of their own and no other role.
        {QString(QChar(0x008F)), QStringLiteral("a") + QChar(0x0090) + QChar(0x009D), "x"},
    };
    for (const Entry& e : ordinary) {
        SCOPED_TRACE(testing::PrintToString(e));
        EXPECT_EQ(vaultformat::encodeEntryLine(e), plainEntryLine(e));
    }
    const QByteArray file = vaultformat::savedFile(QStringLiteral("master"), ordinary);
    QByteArray expected = flipped("master") + kCrLf;
    for (const Entry& e : ordinary)
        expected += plainEntryLine(e) + kCrLf;
    expected += kCrLf;
    EXPECT_EQ(file, expected);
    EXPECT_EQ(vaultformat::readEntries(file), ordinary);

    const QString master = QString::fromUtf8("|||ordinary€|");
    EXPECT_EQ(vaultformat::masterOnlyFile(master), flipped(ansi::encode(master)) + kCrLf);
}

TEST(VaultEscaping, EscapedLineStillSplitsIntoThreePieces) {
    // A reader that knows only the plain layout still sees three fields in the
    // right places.
    const Entry e{"a|||b", QString(QChar(0x0142)), "site|"};
    QByteArray plain = vaultformat::encodeEntryLine(e);
    plain = flipped(plain);
    EXPECT_EQ(plain.count("|||"), 2);
}

// --- Randomized round trip ---------------------------------------------------

TEST(VaultEscaping, RandomEntriesOverAllBytesReadBackIdentical) {
    const std::uint32_t start = testsupport::randomStartValue();
    std::cout << "random start value: " << start << " (KEYNOOK_RANDOM_START=" << start
              << " replays this run)\n";
    SCOPED_TRACE(testing::Message() << "random start value " << start);

    testsupport::FieldMaker maker(start);
    std::mt19937 sizes(start ^ 0x5A5A5A5Au);
    for (int round = 0; round < 2000; ++round) {
        SCOPED_TRACE(testing::Message() << "round " << round);
        const QString master = maker.field();
        std::vector<Entry> entries(std::uniform_int_distribution<std::size_t>(0, 60)(sizes));
        for (Entry& e : entries)
            e = Entry{maker.field(), maker.field(), maker.field()};

        const QByteArray file = vaultformat::savedFile(master, entries);
        ASSERT_EQ(vaultformat::readMasterPassword(file), master);
        const std::vector<Entry> back = vaultformat::readEntries(file);
        ASSERT_EQ(back.size(), entries.size());
        for (std::size_t i = 0; i < entries.size(); ++i)
            ASSERT_EQ(back[i], entries[i]) << "entry " << i;
        expectOnlyTerminatorCrs(file, entries.size());
        if (HasFatalFailure() || HasNonfatalFailure())
            return;
    }
}

} // namespace
