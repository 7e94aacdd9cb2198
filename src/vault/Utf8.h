#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QStringView>

// UTF-8 as the files we exchange with other programs hold it. Checked
// strictly both ways: a byte sequence that is not UTF-8 is refused rather
// than read as U+FFFD, and text that UTF-8 cannot carry (a lone surrogate)
// is refused rather than written as something else. A password changed by
// one character on its way in or out would be worse than no import at all.
namespace utf8 {

// Where the first sequence that is not well-formed UTF-8 starts (a stray
// continuation byte, an overlong form, an encoded surrogate, a code point
// past U+10FFFF, a sequence cut short), or -1 when there is none.
qsizetype firstInvalid(QByteArrayView bytes);

// Where the first UTF-16 unit that is half of a surrogate pair without its
// other half is, or -1 when there is none.
qsizetype firstLoneSurrogate(QStringView text);

// Appends the text's UTF-8 bytes. False, with `out` as it was, when the text
// holds a lone surrogate.
bool append(QByteArray& out, QStringView text);

// U+FEFF in UTF-8: a byte order mark at the start of a file, a character
// anywhere else.
inline constexpr char kFeff[] = "\xEF\xBB\xBF";

// The size of the byte order mark that starts `bytes`: 3, or 0 for none.
inline qsizetype byteOrderMarkSize(QByteArrayView bytes) {
    return bytes.startsWith(QByteArrayView(kFeff, 3)) ? 3 : 0;
}

// The line, counting from 1, that the byte at `offset` is on. CR LF, LF and
// a lone CR each end a line, the same rule for every format we read, so that
// a line number points where any editor shows it.
int lineAt(QByteArrayView bytes, qsizetype offset);

} // namespace utf8
