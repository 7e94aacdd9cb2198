#include "VaultTestSupport.h"

#include "vault/Ansi.h"
#include "vault/VaultFormat.h"

#include <gtest/gtest.h>

#include <chrono>
#include <iostream>
#include <vector>

using testsupport::bytes;
using testsupport::flipped;
using testsupport::kCrLf;

namespace {

std::vector<QByteArray> linesOf(const QByteArray& file) {
    std::vector<QByteArray> lines;
    vaultformat::forEachLine(file,
                             [&](QByteArrayView line) { lines.push_back(line.toByteArray()); });
    return lines;
}

using Lines = std::vector<QByteArray>;

// The ciphered bytes of a plain (Windows-1252) line.
QByteArray cipherOf(const QString& plain) {
    return flipped(ansi::encode(plain));
}

// --- Line reading -----------------------------------------------------------

TEST(VaultLines, CrLfEndsALine) {
    EXPECT_EQ(linesOf("a\r\nb\r\n"), (Lines{"a", "b"}));
}

TEST(VaultLines, LoneCrEndsALine) {
    EXPECT_EQ(linesOf("a\rb\r\n"), (Lines{"a", "b"}));
    EXPECT_EQ(linesOf("a\r"), (Lines{"a"}));
    EXPECT_EQ(linesOf("\r\r\n"), (Lines{"", ""}));
}

TEST(VaultLines, LoneLfStaysInsideTheLine) {
    EXPECT_EQ(linesOf("a\nb\r\n"), (Lines{"a\nb"}));
    EXPECT_EQ(linesOf("\n\r\n"), (Lines{"\n"}));
    // Only the LF right after a CR belongs to the terminator; a second one
    // starts the next line.
    EXPECT_EQ(linesOf("a\r\n\nb\r\n"), (Lines{"a", "\nb"}));
    EXPECT_EQ(linesOf("a\nb"), (Lines{"a\nb"}));
}

TEST(VaultLines, LastLineMayEndWithoutTerminator) {
    EXPECT_EQ(linesOf("a\r\nb"), (Lines{"a", "b"}));
    EXPECT_EQ(linesOf("only"), (Lines{"only"}));
}

TEST(VaultLines, TrailingEmptyLineIsALine) {
    EXPECT_EQ(linesOf("X\r\n\r\n"), (Lines{"X", ""}));
    EXPECT_EQ(linesOf("\r\n"), (Lines{""}));
}

TEST(VaultLines, EmptyInputHasNoLines) {
    EXPECT_TRUE(linesOf(QByteArray()).empty());
}

TEST(VaultLines, BytesOtherThanCrAndLfPassThrough) {
    QByteArray line;
    for (int b = 0; b < 256; ++b)
        if (b != '\r')
            line.append(static_cast<char>(b));
    EXPECT_EQ(linesOf(line + kCrLf + line), (Lines{line, line}));
}

// --- Exact bytes of each state of the file ------------------------------------

TEST(VaultFileBytes, NeverUsedVaultIsOneEmptyLine) {
    EXPECT_EQ(vaultformat::neverUsedFile(), bytes({0x0D, 0x0A}));
    EXPECT_TRUE(vaultformat::readMasterPassword(vaultformat::neverUsedFile()).isEmpty());
    EXPECT_TRUE(vaultformat::readEntries(vaultformat::neverUsedFile()).empty());
}

TEST(VaultFileBytes, MasterOnlyFileIsTheMasterLineWithoutAnEmptyLineAfterIt) {
    EXPECT_EQ(vaultformat::masterOnlyFile(QStringLiteral("abc")),
              bytes({0xE1, 0xE2, 0xE3, 0x0D, 0x0A}));
    // An empty master writes the same bytes as a vault never used.
    EXPECT_EQ(vaultformat::masterOnlyFile(QString()), bytes({0x0D, 0x0A}));
    const QString master = QString::fromUtf8("S3cret pässword€");
    const QByteArray file = vaultformat::masterOnlyFile(master);
    EXPECT_EQ(file, cipherOf(master) + kCrLf);
    EXPECT_EQ(vaultformat::readMasterPassword(file), master);
    EXPECT_TRUE(vaultformat::readEntries(file).empty());
}

TEST(VaultFileBytes, SaveOfAnEmptyListEndsWithOneEmptyLine) {
    const QByteArray file = vaultformat::savedFile(QStringLiteral("abc"), std::vector<Entry>{});
    EXPECT_EQ(file, bytes({0xE1, 0xE2, 0xE3, 0x0D, 0x0A, 0x0D, 0x0A}));
    EXPECT_EQ(vaultformat::readMasterPassword(file), QStringLiteral("abc"));
    EXPECT_TRUE(vaultformat::readEntries(file).empty());
}

TEST(VaultFileBytes, SaveWritesOneCipheredLinePerEntryThenAnEmptyLine) {
    const std::vector<Entry> entries = {
        {"alice", "pa55", "mail.example.org"},
        {"bob", "hunter2", "C:\\Tools\\app.exe"},
    };
    const QByteArray file = vaultformat::savedFile(QStringLiteral("master"), entries);
    const QByteArray expected = flipped("master") + kCrLf +
                                flipped("alice|||pa55|||mail.example.org") + kCrLf +
                                flipped("bob|||hunter2|||C:\\Tools\\app.exe") + kCrLf + kCrLf;
    EXPECT_EQ(file, expected);
    EXPECT_EQ(vaultformat::readEntries(file), entries);
    EXPECT_EQ(vaultformat::readMasterPassword(file), QStringLiteral("master"));
}

TEST(VaultFileBytes, EmptyLocationEndsTheLineInASeparator) {
    const std::vector<Entry> entries = {{"u", "p", ""}};
    const QByteArray file = vaultformat::savedFile(QStringLiteral("m"), entries);
    const QByteArray line =
        flipped("u") + bytes({0xFC, 0xFC, 0xFC}) + flipped("p") + bytes({0xFC, 0xFC, 0xFC});
    EXPECT_EQ(file, flipped("m") + kCrLf + line + kCrLf + kCrLf);

    const std::vector<Entry> back = vaultformat::readEntries(file);
    ASSERT_EQ(back.size(), 1u);
    EXPECT_EQ(back[0], (Entry{"u", "p", ""}));
}

TEST(VaultFileBytes, EntriesAreWrittenInTheOrderGivenNotStorageOrder) {
    const std::vector<Entry> stored = {{"a", "1", "x"}, {"b", "2", "y"}, {"c", "3", "z"}};
    // The list may be sorted for display; the save follows the display order.
    EntryStore store;
    store.append(stored);
    const QByteArray file = vaultformat::savedFile(QStringLiteral("m"), store, {2, 1, 0});
    EXPECT_EQ(vaultformat::readEntries(file),
              (std::vector<Entry>{stored[2], stored[1], stored[0]}));
}

// --- Reading rules ------------------------------------------------------------

TEST(VaultReading, FirstLineIsTheMasterAndNeverAnEntry) {
    const QByteArray file = flipped("u|||p|||w") + kCrLf + flipped("a|||b|||c") + kCrLf;
    EXPECT_EQ(vaultformat::readMasterPassword(file), QStringLiteral("u|||p|||w"));
    EXPECT_EQ(vaultformat::readEntries(file), (std::vector<Entry>{{"a", "b", "c"}}));

    const QByteArray onlyMaster = flipped("u|||p|||w") + kCrLf;
    EXPECT_TRUE(vaultformat::readEntries(onlyMaster).empty());
    EXPECT_TRUE(vaultformat::readEntries(flipped("u|||p|||w")).empty());
}

TEST(VaultReading, EmptyAndSingleSpaceRawLinesYieldNoEntry) {
    const QByteArray file = flipped("m") + kCrLf + QByteArray(" ") + kCrLf + flipped("a|||b|||c") +
                            kCrLf + kCrLf + QByteArray(" ") + kCrLf + flipped("d|||e|||f") + kCrLf +
                            kCrLf + QByteArray(" ");
    EXPECT_EQ(vaultformat::readEntries(file),
              (std::vector<Entry>{{"a", "b", "c"}, {"d", "e", "f"}}));
}

TEST(VaultReading, OnlyAnExactlyOneSpaceRawLineIsSkipped) {
    // Two raw spaces are a line like any other; so is a raw 0xA0, whose
    // plain text is one space. Both load with all their text in the username.
    const QByteArray file = flipped("m") + kCrLf + QByteArray("  ") + kCrLf + bytes({0xA0}) + kCrLf;
    const std::vector<Entry> back = vaultformat::readEntries(file);
    ASSERT_EQ(back.size(), 2u);
    EXPECT_EQ(back[0], (Entry{QString(2, QChar(0xA0)), "", ""}));
    EXPECT_EQ(back[1], (Entry{" ", "", ""}));
}

TEST(VaultReading, FirstLineIsReadEvenWhenItIsOneSpace) {
    const QByteArray file = QByteArray(" ") + kCrLf + flipped("a|||b|||c") + kCrLf;
    EXPECT_EQ(vaultformat::readMasterPassword(file), QString(QChar(0xA0)));
    EXPECT_EQ(vaultformat::readEntries(file).size(), 1u);
}

TEST(VaultReading, PiecesAfterTheThirdAreIgnored) {
    const QByteArray file = flipped("m") + kCrLf + flipped("a|||b|||c|||d|||e") + kCrLf;
    EXPECT_EQ(vaultformat::readEntries(file), (std::vector<Entry>{{"a", "b", "c"}}));
}

TEST(VaultReading, LinesWithFewerPiecesLoadWithEmptyFields) {
    const QByteArray file = flipped("m") + kCrLf + flipped("a|||b") + kCrLf + flipped("only") +
                            kCrLf + flipped("|||") + kCrLf + flipped("x|||") + kCrLf;
    EXPECT_EQ(vaultformat::readEntries(file), (std::vector<Entry>{
                                                  {"a", "b", ""},
                                                  {"only", "", ""},
                                                  {"", "", ""},
                                                  {"x", "", ""},
                                              }));
}

TEST(VaultReading, ByteThatEnciphersToLfStaysInsideItsLine) {
    const QString s(QChar(0x0160)); // byte 0x8A in the code page
    const std::vector<Entry> entries = {{s + "u", "p" + s, "w" + s + s}, {s, s, s}};
    const QString master = QStringLiteral("a") + s + QStringLiteral("b");
    const QByteArray file = vaultformat::savedFile(master, entries);

    EXPECT_EQ(file.left(5), bytes({0xE1, 0x0A, 0xE2, 0x0D, 0x0A}));
    // The second line starts with a lone LF right after the terminator.
    EXPECT_EQ(file.mid(3, 4), bytes({0x0D, 0x0A, 0x0A, 0xF5}));
    EXPECT_EQ(file.count('\r'), 4);
    EXPECT_EQ(vaultformat::readMasterPassword(file), master);
    EXPECT_EQ(vaultformat::readEntries(file), entries);
}

TEST(VaultReading, ZeroByteFileHasAnEmptyMasterAndNoEntries) {
    EXPECT_TRUE(vaultformat::readMasterPassword(QByteArray()).isEmpty());
    EXPECT_TRUE(vaultformat::readEntries(QByteArray()).empty());
}

TEST(VaultReading, EmptyFirstLineMeansNoMasterWhateverFollows) {
    const QByteArray file = kCrLf + flipped("a|||b|||c") + kCrLf + kCrLf;
    EXPECT_TRUE(vaultformat::readMasterPassword(file).isEmpty());
    EXPECT_EQ(vaultformat::readEntries(file), (std::vector<Entry>{{"a", "b", "c"}}));
}

TEST(VaultReading, MasterLineEndsAtALoneCr) {
    const QByteArray file = flipped("abc") + QByteArray("\r") + flipped("x|||y|||z") + kCrLf;
    EXPECT_EQ(vaultformat::readMasterPassword(file), QStringLiteral("abc"));
    EXPECT_EQ(vaultformat::readEntries(file), (std::vector<Entry>{{"x", "y", "z"}}));
}

TEST(VaultReading, LastEntryLineWithoutTerminatorIsRead) {
    const QByteArray file = flipped("m") + kCrLf + flipped("a|||b|||c");
    EXPECT_EQ(vaultformat::readEntries(file), (std::vector<Entry>{{"a", "b", "c"}}));
}

// --- Scale --------------------------------------------------------------------

TEST(VaultScale, AMillionEntriesSurviveSaveAndLoad) {
    constexpr qsizetype kCount = 1'000'000;
    auto entryAt = [](qsizetype i) {
        const QString n = QString::number(i);
        return Entry{QStringLiteral("user") + n, QStringLiteral("pw|") + n,
                     i % 7 == 0 ? QString() : QStringLiteral("https://site") + n + ".example"};
    };
    std::vector<Entry> entries;
    entries.reserve(kCount);
    for (qsizetype i = 0; i < kCount; ++i)
        entries.push_back(entryAt(i));

    const auto started = std::chrono::steady_clock::now();
    const QByteArray file = vaultformat::savedFile(QStringLiteral("master"), entries);
    entries.clear();
    entries.shrink_to_fit();
    const std::vector<Entry> back = vaultformat::readEntries(file);
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                        std::chrono::steady_clock::now() - started)
                        .count();
    std::cout << "save and load of " << kCount << " entries: " << ms << " ms\n";

    ASSERT_EQ(static_cast<qsizetype>(back.size()), kCount);
    EXPECT_EQ(file.count('\r'), kCount + 2);
    EXPECT_TRUE(file.endsWith(QByteArray("\r\n\r\n")));
    for (qsizetype i = 0; i < kCount; i += 9973)
        ASSERT_EQ(back[static_cast<size_t>(i)], entryAt(i)) << "row " << i;
    EXPECT_EQ(back.front(), entryAt(0));
    EXPECT_EQ(back.back(), entryAt(kCount - 1));
    EXPECT_EQ(vaultformat::readMasterPassword(file), QStringLiteral("master"));
}

// Characters, not UTF-16 units: a surrogate pair is one character, and so
// is a surrogate without its other half.
TEST(MasterPassword, FourCharactersAreEnough) {
    const struct {
        QString password;
        bool enough;
    } cases[] = {
        {QString(), false},
        {QStringLiteral("abc"), false},
        {QStringLiteral("abcd"), true},
        {QStringLiteral("ab\U0001D11E"), false},
        {QStringLiteral("ab\U0001D11Ec"), true},
        {QStringView(u"ab\xD800" u"c").toString(), true},
    };
    for (const auto& c : cases)
        EXPECT_EQ(vaultformat::longEnoughForMaster(c.password), c.enough) << c.password.size();
}

} // namespace
