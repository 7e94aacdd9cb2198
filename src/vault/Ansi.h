#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QString>
#include <QStringView>

// The vault file is single-byte text in Windows-1252, whatever the locale of
// the machine: a vault copied between machines must read the same. Qt reaches
// that code page only through ICU, so the 32 code points that differ from
// Latin-1 are a table of our own.
namespace ansi {

// Every byte maps to one character. The five bytes that Windows-1252 leaves
// undefined (0x81, 0x8D, 0x8F, 0x90, 0x9D) map to the control characters of the
// same number, so any file reads and writes back unchanged.
QString decode(QByteArrayView bytes);

// Like decode(), for bytes that still carry the vault's cipher: each byte has
// its top bit toggled on the way.
QString decodeCiphered(QByteArrayView bytes);

// The byte for one character, or -1 when the character has none.
int byteFor(char16_t c);

// True when every character has a byte, so that encode() writes the text as
// it is. The control characters of the five undefined bytes have theirs.
bool hasBytes(QStringView text);

// Encodes text for which byteFor() never fails; other characters become '?'.
QByteArray encode(QStringView text);

} // namespace ansi
