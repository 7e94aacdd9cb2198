#include "vault/Utf8.h"

#include <cstdint>
#include <cstring>

namespace utf8 {

qsizetype firstInvalid(QByteArrayView bytes) {
    const unsigned char* const p = reinterpret_cast<const unsigned char*>(bytes.data());
    const qsizetype n = bytes.size();
    qsizetype i = 0;
    while (i < n) {
        // Most text is ASCII: 32 bytes at a time while it is, then eight.
        if (i + 32 <= n) {
            std::uint64_t words[4];
            std::memcpy(words, p + i, 32);
            if (((words[0] | words[1] | words[2] | words[3]) & 0x8080808080808080ull) == 0) {
                i += 32;
                continue;
            }
        }
        if (i + 8 <= n) {
            std::uint64_t word;
            std::memcpy(&word, p + i, 8);
            if ((word & 0x8080808080808080ull) == 0) {
                i += 8;
                continue;
            }
        }
        const unsigned c = p[i];
        if (c < 0x80) {
            ++i;
            continue;
        }
        // The length a lead byte announces, and the range its second byte
        // must be in: narrower than 80..BF where a wider one would allow an
        // overlong form (E0, F0), a surrogate (ED) or a code point past
        // U+10FFFF (F4).
        int length = 0;
        unsigned low = 0x80, high = 0xBF;
        if (c >= 0xC2 && c <= 0xDF) {
            length = 2;
        } else if (c >= 0xE0 && c <= 0xEF) {
            length = 3;
            if (c == 0xE0)
                low = 0xA0;
            else if (c == 0xED)
                high = 0x9F;
        } else if (c >= 0xF0 && c <= 0xF4) {
            length = 4;
            if (c == 0xF0)
                low = 0x90;
            else if (c == 0xF4)
                high = 0x8F;
        } else {
            return i;
        }
        if (n - i < length || p[i + 1] < low || p[i + 1] > high)
            return i;
        for (int k = 2; k < length; ++k)
            if ((p[i + k] & 0xC0) != 0x80)
                return i;
        i += length;
    }
    return -1;
}

qsizetype firstLoneSurrogate(QStringView text) {
    const char16_t* const p = text.utf16();
    const qsizetype n = text.size();
    for (qsizetype i = 0; i < n; ++i) {
        const char16_t c = p[i];
        if (c < 0xD800 || c > 0xDFFF)
            continue;
        if (c <= 0xDBFF && i + 1 < n && p[i + 1] >= 0xDC00 && p[i + 1] <= 0xDFFF) {
            ++i;
            continue;
        }
        return i;
    }
    return -1;
}

bool append(QByteArray& out, QStringView text) {
    const char16_t* const p = text.utf16();
    const qsizetype n = text.size();
    const qsizetype at = out.size();
    // At most three bytes per unit: a pair of units takes four.
    out.resize(at + 3 * n);
    unsigned char* d = reinterpret_cast<unsigned char*>(out.data()) + at;
    for (qsizetype i = 0; i < n; ++i) {
        const char32_t c = p[i];
        if (c < 0x80) {
            *d++ = static_cast<unsigned char>(c);
        } else if (c < 0x800) {
            *d++ = static_cast<unsigned char>(0xC0 | (c >> 6));
            *d++ = static_cast<unsigned char>(0x80 | (c & 0x3F));
        } else if (c < 0xD800 || c > 0xDFFF) {
            *d++ = static_cast<unsigned char>(0xE0 | (c >> 12));
            *d++ = static_cast<unsigned char>(0x80 | ((c >> 6) & 0x3F));
            *d++ = static_cast<unsigned char>(0x80 | (c & 0x3F));
        } else if (c <= 0xDBFF && i + 1 < n && p[i + 1] >= 0xDC00 && p[i + 1] <= 0xDFFF) {
            const char32_t u = 0x10000 + ((c - 0xD800) << 10) + (p[++i] - 0xDC00);
            *d++ = static_cast<unsigned char>(0xF0 | (u >> 18));
            *d++ = static_cast<unsigned char>(0x80 | ((u >> 12) & 0x3F));
            *d++ = static_cast<unsigned char>(0x80 | ((u >> 6) & 0x3F));
            *d++ = static_cast<unsigned char>(0x80 | (u & 0x3F));
        } else {
            out.resize(at);
            return false;
        }
    }
    out.resize(d - reinterpret_cast<unsigned char*>(out.data()));
    return true;
}

int lineAt(QByteArrayView bytes, qsizetype offset) {
    const char* const p = bytes.data();
    int line = 1;
    for (qsizetype i = 0; i < offset && i < bytes.size(); ++i) {
        if (p[i] == '\n')
            ++line;
        else if (p[i] == '\r' && (i + 1 >= bytes.size() || p[i + 1] != '\n'))
            ++line;
    }
    return line;
}

} // namespace utf8
