#pragma once

#include "vault/Entry.h"

#include "vault/Ansi.h"
#include "vault/VaultFormat.h"

#include <QByteArray>
#include <QFile>
#include <QString>
#include <QStringList>

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <initializer_list>
#include <ostream>
#include <random>
#include <vector>

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

// A secret as a file may hold it: UTF-8, the code page of the plain form's
// fields, and either of those under the plain form's cipher.
inline std::vector<QByteArray> secretForms(const QString& text) {
    const QByteArray field = vaultformat::encodeField(text);
    return {text.toUtf8(), field, flipped(text.toUtf8()), flipped(field)};
}

// The first of `secrets` that `bytes` hold in any of those forms, or an empty
// text when they hold none.
inline QString heldSecret(const QByteArray& bytes, const QStringList& secrets) {
    for (const QString& s : secrets)
        for (const QByteArray& form : secretForms(s))
            if (bytes.contains(form))
                return s;
    return {};
}

// A file's bytes, or a text no file of a test holds when it cannot be read.
inline QByteArray fileBytes(const QString& path) {
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("<unreadable>");
}

inline void writeBytes(const QString& path, const QByteArray& bytes) {
    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
    f.write(bytes);
}

// Start value of the randomized tests. A fixed one keeps every run the same;
// set KEYNOOK_RANDOM_START to replay or widen a run.
inline std::uint32_t randomStartValue() {
    if (const char* text = std::getenv("KEYNOOK_RANDOM_START"))
        return static_cast<std::uint32_t>(std::strtoul(text, nullptr, 10));
    return 20240611u;
}

// Random field text from pieces that have roles in the file format: every
// byte of the code page, runs of bars, line-break characters, the bytes with
// meanings of their own, characters outside the code page and beyond the BMP.
class FieldMaker {
public:
    explicit FieldMaker(std::uint32_t start) : m_gen(start) {}

    QString field() {
        QString out;
        const int pieces = pick(0, 6);
        for (int i = 0; i < pieces; ++i)
            appendPiece(out);
        return out;
    }

private:
    int pick(int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(m_gen); }

    void appendPiece(QString& out) {
        switch (pick(0, 9)) {
        case 0:
        case 1:
        case 2: { // any byte of the code page, as the file would hold it
            const int n = pick(1, 4);
            QByteArray raw;
            for (int i = 0; i < n; ++i)
                raw.append(static_cast<char>(pick(0, 255)));
            out += ansi::decode(raw);
            break;
        }
        case 3:
        case 4:
            out += QString(pick(1, 7), QLatin1Char('|'));
            break;
        case 5:
            out += QLatin1Char('\r');
            break;
        case 6:
            out += QLatin1Char('\n');
            break;
        case 7: // bytes with roles of their own: 0x80, 0x81, 0x8A, 0x8D, 0xA0, space,
                // and 0x8F, which saves used to escape
            out += ansi::decode(QByteArray(1, "\x80\x81\x8A\x8D\xA0 \x8F"[pick(0, 6)]));
            break;
        case 8: // a BMP character outside the code page
            out += QChar(static_cast<char16_t>(pick(0x0100, 0xD7FF)));
            break;
        case 9: { // a character beyond the BMP: a surrogate pair
            const char32_t c = static_cast<char32_t>(pick(0x10000, 0x10FFFF));
            out += QString::fromUcs4(&c, 1);
            break;
        }
        }
    }

    std::mt19937 m_gen;
};

} // namespace testsupport
