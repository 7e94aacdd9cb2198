#include "vault/Ansi.h"

#include <array>

namespace ansi {
namespace {

// Windows-1252 bytes 0x80 to 0x9F. Zero marks the five undefined bytes, which
// decode to the control character of their own number.
constexpr std::array<char16_t, 32> kHighControls = {
    0x20AC, 0,      0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0,      0x017D, 0,      0,      0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0,      0x017E, 0x0178,
};

constexpr std::array<char16_t, 256> makeDecodeTable() {
    std::array<char16_t, 256> t{};
    for (int b = 0; b < 256; ++b)
        t[b] = static_cast<char16_t>(b);
    for (int i = 0; i < 32; ++i)
        if (kHighControls[i] != 0)
            t[0x80 + i] = kHighControls[i];
    return t;
}

constexpr auto kDecode = makeDecodeTable();

bool isUndefinedByte(int b) {
    return b >= 0x80 && b < 0xA0 && kHighControls[b - 0x80] == 0;
}

} // namespace

QString decode(QByteArrayView bytes) {
    QString out(bytes.size(), Qt::Uninitialized);
    QChar* d = out.data();
    for (qsizetype i = 0; i < bytes.size(); ++i)
        d[i] = QChar(kDecode[static_cast<unsigned char>(bytes[i])]);
    return out;
}

QString decodeCiphered(QByteArrayView bytes) {
    // Latin-1 first, in one wide pass; then the few bytes where Windows-1252
    // differs (0x80 to 0x9F), if there are any.
    const qsizetype n = bytes.size();
    QString out(n, Qt::Uninitialized);
    char16_t* d = reinterpret_cast<char16_t*>(out.data());
    const unsigned char* b = reinterpret_cast<const unsigned char*>(bytes.data());
    unsigned high = 0;
    for (qsizetype i = 0; i < n; ++i) {
        const unsigned c = b[i] ^ 0x80u;
        d[i] = static_cast<char16_t>(c);
        high |= c;
    }
    if (high & 0x80u)
        for (qsizetype i = 0; i < n; ++i)
            if (d[i] >= 0x80 && d[i] < 0xA0)
                d[i] = kDecode[d[i]];
    return out;
}

int byteFor(char16_t c) {
    if (c < 0x80 || (c >= 0xA0 && c <= 0xFF))
        return c;
    if (c < 0xA0) // C1 controls: only the five undefined bytes carry them
        return isUndefinedByte(c) ? c : -1;
    for (int i = 0; i < 32; ++i)
        if (kHighControls[i] == c)
            return 0x80 + i;
    return -1;
}

bool hasBytes(QStringView text) {
    for (QChar ch : text)
        if (byteFor(ch.unicode()) < 0)
            return false;
    return true;
}

QByteArray encode(QStringView text) {
    QByteArray out(text.size(), Qt::Uninitialized);
    char* d = out.data();
    for (qsizetype i = 0; i < text.size(); ++i) {
        const int b = byteFor(text[i].unicode());
        d[i] = static_cast<char>(b < 0 ? '?' : b);
    }
    return out;
}

} // namespace ansi
