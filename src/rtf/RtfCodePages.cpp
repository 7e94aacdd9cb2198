#include "rtf/RtfCodePages.h"

#include <array>
#include <utility>

namespace rtf::codepage {
namespace {

constexpr char16_t kReplacement = 0xFFFD;

// Windows-1252 bytes 0x80 to 0x9F; zero marks the five bytes the code page
// leaves undefined. Bytes 0xA0 to 0xFF are Latin-1.
constexpr std::array<char16_t, 32> kWindows1252High = {
    0x20AC, 0,      0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0,      0x017D, 0,      0,      0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0,      0x017E, 0x0178,
};

// The Symbol font puts Greek letters where Latin letters are, in the order of
// the Latin keyboard rather than of the Greek alphabet.
constexpr std::array<char16_t, 26> kSymbolUpper = {
    0x0391, 0x0392, 0x03A7, 0x0394, 0x0395, 0x03A6, 0x0393, 0x0397, 0x0399,
    0x03D1, 0x039A, 0x039B, 0x039C, 0x039D, 0x039F, 0x03A0, 0x0398, 0x03A1,
    0x03A3, 0x03A4, 0x03A5, 0x03C2, 0x03A9, 0x039E, 0x03A8, 0x0396,
};
constexpr std::array<char16_t, 26> kSymbolLower = {
    0x03B1, 0x03B2, 0x03C7, 0x03B4, 0x03B5, 0x03C6, 0x03B3, 0x03B7, 0x03B9,
    0x03D5, 0x03BA, 0x03BB, 0x03BC, 0x03BD, 0x03BF, 0x03C0, 0x03B8, 0x03C1,
    0x03C3, 0x03C4, 0x03C5, 0x03D6, 0x03C9, 0x03BE, 0x03C8, 0x03B6,
};

// The signs of the Symbol font's upper half that documents use: list bullets
// above all, then the mathematical signs people type with it.
constexpr std::pair<unsigned char, char16_t> kSymbolHigh[] = {
    {0xA3, 0x2264}, {0xA5, 0x221E}, {0xA7, 0x2663}, {0xA8, 0x2666}, {0xA9, 0x2665}, {0xAA, 0x2660},
    {0xAB, 0x2194}, {0xAC, 0x2190}, {0xAD, 0x2191}, {0xAE, 0x2192}, {0xAF, 0x2193}, {0xB0, 0x00B0},
    {0xB1, 0x00B1}, {0xB3, 0x2265}, {0xB4, 0x00D7}, {0xB7, 0x2022}, {0xB8, 0x00F7}, {0xB9, 0x2260},
    {0xBA, 0x2261}, {0xBB, 0x2248}, {0xBC, 0x2026}, {0xD2, 0x00AE}, {0xD3, 0x00A9}, {0xD4, 0x2122},
    {0xD6, 0x221A}, {0xE0, 0x25CA}, {0xE2, 0x00AE}, {0xE3, 0x00A9}, {0xE4, 0x2122},
};

// The Wingdings marks that word processors put in front of list items.
constexpr std::pair<unsigned char, char16_t> kWingdingsMarks[] = {
    {0x6C, 0x25CF}, {0x6E, 0x25A0}, {0x6F, 0x25A1}, {0x71, 0x2751}, {0x75, 0x25C6},
    {0x76, 0x2756}, {0x9F, 0x2022}, {0xA7, 0x25AA}, {0xA8, 0x25FB}, {0xD8, 0x27A2},
    {0xFB, 0x2717}, {0xFC, 0x2713}, {0xFE, 0x2611},
};

// Qt reaches the other code pages through ICU, under several spellings.
std::array<QByteArray, 3> namesFor(int codePage) {
    switch (codePage) {
    case 65001:
        return {"UTF-8", {}, {}};
    case 932:
        return {"windows-31j", "cp932", "Shift_JIS"};
    case 936:
        return {"GBK", "windows-936", "cp936"};
    case 949:
        return {"windows-949", "cp949", "EUC-KR"};
    case 950:
        return {"Big5", "windows-950", "cp950"};
    case 10000:
        return {"macintosh", "x-mac-roman", {}};
    default: {
        const QByteArray n = QByteArray::number(codePage);
        return {"windows-" + n, "cp" + n, "IBM" + n};
    }
    }
}

} // namespace

char16_t windows1252(unsigned char byte) {
    if (byte < 0x80 || byte >= 0xA0)
        return byte;
    const char16_t c = kWindows1252High[byte - 0x80];
    return c != 0 ? c : kReplacement;
}

int forCharset(int charset) {
    switch (charset) {
    case 0:
        return 1252;
    case 2:
        return kSymbol;
    case 77:
        return 10000;
    case 128:
        return 932;
    case 129:
        return 949;
    case 134:
        return 936;
    case 136:
        return 950;
    case 161:
        return 1253;
    case 162:
        return 1254;
    case 163:
        return 1258;
    case 177:
        return 1255;
    case 178:
        return 1256;
    case 186:
        return 1257;
    case 204:
        return 1251;
    case 222:
        return 874;
    case 238:
        return 1250;
    case 254:
        return 437;
    case 255:
        return 850;
    default:
        return kDefault;
    }
}

char16_t symbol(int font, unsigned char byte) {
    if (font == kWingdings) {
        for (const auto& [b, c] : kWingdingsMarks)
            if (b == byte)
                return c;
        return kReplacement;
    }
    if (byte >= 'A' && byte <= 'Z')
        return kSymbolUpper[byte - 'A'];
    if (byte >= 'a' && byte <= 'z')
        return kSymbolLower[byte - 'a'];
    if (byte < 0x80)
        return byte; // digits, punctuation and space are themselves
    for (const auto& [b, c] : kSymbolHigh)
        if (b == byte)
            return c;
    return kReplacement;
}

QStringDecoder* Decoders::find(int codePage) {
    if (codePage <= 0 || codePage == 1252)
        return nullptr;
    auto it = decoders_.find(codePage);
    if (it == decoders_.end()) {
        std::unique_ptr<QStringDecoder> found;
        for (const QByteArray& name : namesFor(codePage)) {
            if (name.isEmpty())
                continue;
            auto d =
                std::make_unique<QStringDecoder>(name.constData(), QStringDecoder::Flag::Stateless);
            if (d->isValid()) {
                found = std::move(d);
                break;
            }
        }
        it = decoders_.emplace(codePage, std::move(found)).first;
    }
    return it->second.get();
}

bool Decoders::hasDecoder(int codePage) {
    return find(codePage) != nullptr;
}

QString Decoders::decode(int codePage, QByteArrayView bytes) {
    QStringDecoder* d = find(codePage);
    if (d == nullptr) {
        QString out(bytes.size(), Qt::Uninitialized);
        for (qsizetype i = 0; i < bytes.size(); ++i)
            out[i] = QChar(windows1252(static_cast<unsigned char>(bytes[i])));
        return out;
    }
    d->resetState();
    return d->decode(bytes);
}

} // namespace rtf::codepage
