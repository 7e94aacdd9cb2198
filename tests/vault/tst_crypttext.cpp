#include "VaultTestSupport.h"

#include "vault/CryptText.h"

#include <gtest/gtest.h>

using testsupport::bytes;

namespace {

QByteArray allBytes() {
    QByteArray out(256, '\0');
    for (int b = 0; b < 256; ++b)
        out[b] = static_cast<char>(b);
    return out;
}

TEST(CryptText, EnciphersAbcInPlaceAndDeciphersItBack) {
    QByteArray text("abc");
    const QByteArray returned = CryptText(text);
    EXPECT_EQ(text, bytes({0xE1, 0xE2, 0xE3}));
    EXPECT_EQ(returned, bytes({0xE1, 0xE2, 0xE3}));

    const QByteArray back = CryptText(text);
    EXPECT_EQ(text, QByteArray("abc"));
    EXPECT_EQ(back, QByteArray("abc"));
}

TEST(CryptText, ReturnedCopyIsIndependentOfTheCallersText) {
    // The save path enciphers a copy of the master password and must not see
    // later changes to it through shared data, nor change it.
    QByteArray text("abc");
    QByteArray returned = CryptText(text);
    returned[0] = 'x';
    EXPECT_EQ(text, bytes({0xE1, 0xE2, 0xE3}));
}

TEST(CryptText, EmptyTextStaysEmpty) {
    QByteArray text;
    EXPECT_TRUE(CryptText(text).isEmpty());
    EXPECT_TRUE(text.isEmpty());
}

TEST(CryptText, SeparatorBecomesThreeFcBytes) {
    QByteArray text("|||");
    EXPECT_EQ(CryptText(text), bytes({0xFC, 0xFC, 0xFC}));
}

TEST(CryptText, EveryByteHasItsTopBitToggledAndTwiceGivesItBack) {
    const QByteArray original = allBytes();
    QByteArray text = original;
    CryptText(text);
    ASSERT_EQ(text.size(), 256);
    for (int b = 0; b < 256; ++b)
        EXPECT_EQ(static_cast<unsigned char>(text[b]), b ^ 0x80) << "byte " << b;
    // 0x80 has no mapping of its own in the old rule; here it pairs with 0x00.
    EXPECT_EQ(static_cast<unsigned char>(text[0x80]), 0x00);
    EXPECT_EQ(static_cast<unsigned char>(text[0x00]), 0x80);

    CryptText(text);
    EXPECT_EQ(text, original);
}

TEST(CryptText, RawBufferFormMatchesTheTextForm) {
    QByteArray viaText = allBytes();
    CryptText(viaText);
    QByteArray viaBuffer = allBytes();
    cryptInPlace(viaBuffer.data(), viaBuffer.size());
    EXPECT_EQ(viaBuffer, viaText);
}

} // namespace
