#pragma once

#include "vault/Entry.h"

#include <QByteArray>
#include <QString>

#include <initializer_list>
#include <ostream>

// Readable failure messages: QString and QByteArray print as their code units
// and bytes in hex, where invisible characters and stray CRs show up.
inline void PrintTo(const QString& text, std::ostream* os) {
    *os << "u\"";
    for (QChar ch : text) {
        const char16_t c = ch.unicode();
        if (c >= 0x20 && c < 0x7F && c != '\\' && c != '"') {
            *os << static_cast<char>(c);
        } else {
            static const char digits[] = "0123456789ABCDEF";
            *os << "\\u" << digits[(c >> 12) & 0xF] << digits[(c >> 8) & 0xF]
                << digits[(c >> 4) & 0xF] << digits[c & 0xF];
        }
    }
    *os << '"';
}

inline void PrintTo(const QByteArray& bytes, std::ostream* os) {
    *os << "bytes[" << bytes.size() << "]{" << bytes.left(200).toHex(' ').toStdString()
        << (bytes.size() > 200 ? " ..." : "") << '}';
}

inline void PrintTo(const Entry& e, std::ostream* os) {
    *os << "Entry{";
    PrintTo(e.username, os);
    *os << ", ";
    PrintTo(e.password, os);
    *os << ", ";
    PrintTo(e.location, os);
    *os << '}';
}

namespace testsupport {

inline QByteArray bytes(std::initializer_list<int> values) {
    QByteArray out;
    for (int v : values)
        out.append(static_cast<char>(v));
    return out;
}

// The cipher as the file sees it, written out independently of the code under
// test so that expected bytes do not come from the thing being checked.
inline QByteArray flipped(QByteArray text) {
    for (char& c : text)
        c = static_cast<char>(static_cast<unsigned char>(c) ^ 0x80u);
    return text;
}

inline const QByteArray kCrLf("\r\n", 2);

} // namespace testsupport
