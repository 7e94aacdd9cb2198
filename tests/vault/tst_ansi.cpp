#include "VaultTestSupport.h"

#include "vault/Ansi.h"

#include <gtest/gtest.h>

#include <utility>

namespace {

// Windows-1252 bytes 0x80 to 0x9F that have a character, as the code page
// defines them.
const std::pair<int, char16_t> kDefinedHighBytes[] = {
    {0x80, 0x20AC}, {0x82, 0x201A}, {0x83, 0x0192}, {0x84, 0x201E}, {0x85, 0x2026}, {0x86, 0x2020},
    {0x87, 0x2021}, {0x88, 0x02C6}, {0x89, 0x2030}, {0x8A, 0x0160}, {0x8B, 0x2039}, {0x8C, 0x0152},
    {0x8E, 0x017D}, {0x91, 0x2018}, {0x92, 0x2019}, {0x93, 0x201C}, {0x94, 0x201D}, {0x95, 0x2022},
    {0x96, 0x2013}, {0x97, 0x2014}, {0x98, 0x02DC}, {0x99, 0x2122}, {0x9A, 0x0161}, {0x9B, 0x203A},
    {0x9C, 0x0153}, {0x9E, 0x017E}, {0x9F, 0x0178},
};

const int kUndefinedBytes[] = {0x81, 0x8D, 0x8F, 0x90, 0x9D};

QByteArray oneByte(int b) {
    return QByteArray(1, static_cast<char>(b));
}

TEST(Ansi, DefinedHighBytesDecodeAndEncodeAsWindows1252) {
    static_assert(std::size(kDefinedHighBytes) == 27);
    for (const auto& [byte, code] : kDefinedHighBytes) {
        SCOPED_TRACE(testing::Message() << "byte 0x" << std::hex << byte);
        const QString text = ansi::decode(oneByte(byte));
        ASSERT_EQ(text.size(), 1);
        EXPECT_EQ(text[0].unicode(), code);
        EXPECT_EQ(ansi::byteFor(code), byte);
        EXPECT_EQ(ansi::encode(QString(QChar(code))), oneByte(byte));
        EXPECT_TRUE(ansi::hasBytes(QString(QChar(code))));
    }
    EXPECT_EQ(ansi::decode(oneByte(0x80)), QString(QChar(0x20AC)));
    EXPECT_EQ(ansi::decode(oneByte(0x8A)), QString(QChar(0x0160)));
}

TEST(Ansi, UndefinedBytesDecodeToTheirControlCharactersAndBack) {
    for (int byte : kUndefinedBytes) {
        SCOPED_TRACE(testing::Message() << "byte 0x" << std::hex << byte);
        const QString text = ansi::decode(oneByte(byte));
        ASSERT_EQ(text.size(), 1);
        EXPECT_EQ(text[0].unicode(), byte);
        EXPECT_EQ(ansi::byteFor(static_cast<char16_t>(byte)), byte);
        EXPECT_EQ(ansi::encode(text), oneByte(byte));
        EXPECT_TRUE(ansi::hasBytes(text));
    }
}

TEST(Ansi, LowAndLatin1BytesDecodeToTheSameCodePoint) {
    for (int byte = 0; byte < 256; ++byte) {
        if (byte >= 0x80 && byte < 0xA0)
            continue;
        const QString text = ansi::decode(oneByte(byte));
        ASSERT_EQ(text.size(), 1);
        EXPECT_EQ(text[0].unicode(), byte) << "byte " << byte;
        EXPECT_TRUE(ansi::hasBytes(text)) << "byte " << byte;
    }
}

TEST(Ansi, EveryByteStringDecodesAndEncodesBackUnchanged) {
    QByteArray all(256, '\0');
    for (int b = 0; b < 256; ++b)
        all[b] = static_cast<char>(b);
    EXPECT_EQ(ansi::encode(ansi::decode(all)), all);

    // Also every byte twice in a row, backwards, so no position stands out.
    QByteArray mixed;
    for (int b = 255; b >= 0; --b)
        mixed.append(static_cast<char>(b)).append(static_cast<char>(b));
    EXPECT_EQ(ansi::encode(ansi::decode(mixed)), mixed);

    EXPECT_TRUE(ansi::decode(QByteArray()).isEmpty());
    EXPECT_TRUE(ansi::encode(QString()).isEmpty());
}

TEST(Ansi, DecodedCharactersAreDistinct) {
    // A second byte mapping to the same character would lose data on saving.
    QByteArray bytes(256, '\0');
    for (int b = 0; b < 256; ++b)
        bytes[b] = static_cast<char>(b);
    const QString all = ansi::decode(bytes);
    ASSERT_EQ(all.size(), 256);
    for (int i = 0; i < 256; ++i)
        for (int j = i + 1; j < 256; ++j)
            ASSERT_NE(all[i], all[j]) << "bytes " << i << " and " << j;
}

TEST(Ansi, CharactersOutsideTheCodePageHaveNoByte) {
    // U+0080 is a C1 control; byte 0x80 belongs to the euro sign.
    EXPECT_FALSE(ansi::hasBytes(QString(QChar(0x0080))));
    EXPECT_FALSE(ansi::hasBytes(QString(QChar(0x0142))));                // l with stroke
    EXPECT_FALSE(ansi::hasBytes(QString::fromUtf8("\xE4\xB8\xAD")));     // CJK
    EXPECT_FALSE(ansi::hasBytes(QString::fromUtf8("\xF0\x9F\x98\x80"))); // emoji, a pair
    EXPECT_FALSE(ansi::hasBytes(QString(QChar(0xD83D))));                // a lone surrogate
    EXPECT_FALSE(ansi::hasBytes(QString(QChar(0xFFFD))));
    // One bad character spoils otherwise ordinary text.
    EXPECT_FALSE(ansi::hasBytes(QStringLiteral("password") + QChar(0x0142)));

    EXPECT_EQ(ansi::byteFor(0x0142), -1);
    EXPECT_EQ(ansi::byteFor(0x0080), -1);
    EXPECT_EQ(ansi::byteFor(0xD83D), -1);
}

TEST(Ansi, CodePageTextHasBytes) {
    EXPECT_TRUE(ansi::hasBytes(QString()));
    EXPECT_TRUE(ansi::hasBytes(QStringLiteral("user@example.org |||\r\n\t")));
    EXPECT_TRUE(ansi::hasBytes(QString::fromUtf8("Zürich €5 Šárka ÿ")));
}

TEST(Ansi, EncodeWritesAQuestionMarkForACharacterWithoutAByte) {
    const QString text = QStringLiteral("a") + QChar(0x0142) + QStringLiteral("b");
    EXPECT_EQ(ansi::encode(text), QByteArray("a?b"));
}

} // namespace
