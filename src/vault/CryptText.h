#pragma once

#include <QByteArray>

// The vault's keyless cipher. Every byte of a line has its top bit toggled, so
// the same call enciphers and deciphers, the length never changes, and 0x80 and
// 0x00 map to each other like every other pair. It hides text from a glance at
// the file; it is not encryption.
//
// Transforms `text` in place and returns a copy of the result.
QByteArray CryptText(QByteArray& text);

// The same transformation over a raw buffer, for the hot paths of the file codec.
void cryptInPlace(char* data, qsizetype size);
