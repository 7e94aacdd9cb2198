#pragma once

#include <QString>
#include <QStringDecoder>

#include <map>
#include <memory>

// The 8-bit text of an RTF file: bytes in the document's code page, or in the
// code page of the font's character set, or in one of the symbol fonts whose
// letters are pictures rather than letters.
namespace rtf::codepage {

// Code page numbers used inside the reader besides the Windows ones.
inline constexpr int kSymbol = -2;    // the Symbol font: Greek letters and signs
inline constexpr int kWingdings = -3; // the Wingdings font: bullets and marks
inline constexpr int kDefault = -1;   // follow the document's code page

// Windows-1252, with a table of our own so it never depends on what codecs Qt
// was built with. The five undefined bytes give U+FFFD.
char16_t windows1252(unsigned char byte);

// The code page that an \fcharset number names, kSymbol for the symbol set,
// or kDefault when the number says nothing (1, and numbers we do not know).
int forCharset(int charset);

// A character of the Symbol or Wingdings fonts in Unicode, or U+FFFD.
char16_t symbol(int font, unsigned char byte);

// Decoders for code pages other than 1252, made on first use. Each document
// read has its own, so reads on different threads share nothing.
class Decoders {
public:
    // True when `codePage` decodes through a Qt decoder; 1252 and the symbol
    // fonts never do, they use the tables above.
    bool hasDecoder(int codePage);
    // Decodes a whole run of bytes; an incomplete sequence gives U+FFFD.
    QString decode(int codePage, QByteArrayView bytes);

private:
    QStringDecoder* find(int codePage);
    std::map<int, std::unique_ptr<QStringDecoder>> decoders_;
};

} // namespace rtf::codepage
