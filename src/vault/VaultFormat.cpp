#include "vault/VaultFormat.h"

#include "vault/Ansi.h"
#include "vault/CryptText.h"

#include <cstring>

namespace vaultformat {
namespace {

constexpr char kHexDigits[] = "0123456789ABCDEF";

int hexValue(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

QByteArray escapeField(const QString& field) {
    QByteArray out;
    out.reserve(1 + field.size() * 4);
    out.append(kEscapeMarker);
    for (QChar ch : field) {
        const char16_t u = ch.unicode();
        for (int shift = 12; shift >= 0; shift -= 4)
            out.append(kHexDigits[(u >> shift) & 0xF]);
    }
    return out;
}

// Returns false when `plain` is not an escaped field.
bool unescapeField(QByteArrayView plain, QString& out) {
    if (plain.size() < 5 || plain[0] != kEscapeMarker || (plain.size() - 1) % 4 != 0)
        return false;
    QString text((plain.size() - 1) / 4, Qt::Uninitialized);
    QChar* d = text.data();
    for (qsizetype i = 1, k = 0; i < plain.size(); i += 4, ++k) {
        int u = 0;
        for (int j = 0; j < 4; ++j) {
            const int v = hexValue(plain[i + j]);
            if (v < 0)
                return false;
            u = (u << 4) | v;
        }
        d[k] = QChar(static_cast<char16_t>(u));
    }
    out = std::move(text);
    return true;
}

QByteArray joinFields(const QByteArray& a, const QByteArray& b, const QByteArray& c) {
    QByteArray line;
    line.reserve(a.size() + b.size() + c.size() + 6);
    line.append(a).append(kSeparator).append(b).append(kSeparator).append(c);
    return line;
}

// Splits deciphered line text at every "|||", left to right. Pieces after the
// third are ignored; missing pieces stay empty.
void splitEntry(QByteArrayView plain, QByteArrayView pieces[3]) {
    qsizetype start = 0;
    for (int k = 0; k < 3; ++k) {
        if (start > plain.size()) {
            pieces[k] = {};
            continue;
        }
        const qsizetype sep = plain.indexOf(QByteArrayView(kSeparator, 3), start);
        if (sep < 0) {
            pieces[k] = plain.sliced(start);
            start = plain.size() + 1;
        } else {
            pieces[k] = plain.sliced(start, sep - start);
            start = sep + 3;
        }
    }
}

Entry decodePlainEntry(QByteArrayView plain) {
    QByteArrayView pieces[3];
    splitEntry(plain, pieces);
    return Entry{decodeField(pieces[0]), decodeField(pieces[1]), decodeField(pieces[2])};
}

QByteArray encodePlainEntry(const Entry& e) {
    const QString* fields[3] = {&e.username, &e.password, &e.location};
    QByteArray plain[3];
    bool hasBar = false;
    for (int k = 0; k < 3; ++k) {
        plain[k] = encodeField(*fields[k]);
        hasBar = hasBar || plain[k].contains('|');
    }
    QByteArray line = joinFields(plain[0], plain[1], plain[2]);
    // Bars can merge with a separator; keep the plain layout only where the
    // line reads back as it was, and otherwise escape the fields with bars.
    if (hasBar && decodePlainEntry(line) != e) {
        for (int k = 0; k < 3; ++k)
            if (plain[k].contains('|'))
                plain[k] = escapeField(*fields[k]);
        line = joinFields(plain[0], plain[1], plain[2]);
    }
    return line;
}

void appendLine(QByteArray& out, QByteArray raw) {
    out.append(raw).append("\r\n", 2);
}

} // namespace

QByteArray neverUsedFile() {
    return QByteArray("\r\n", 2);
}

void forEachLine(QByteArrayView file, const std::function<void(QByteArrayView)>& line) {
    const char* const data = file.data();
    const qsizetype size = file.size();
    qsizetype start = 0;
    while (start < size) {
        const void* cr = std::memchr(data + start, '\r', size - start);
        if (!cr) {
            line(file.sliced(start));
            return;
        }
        const qsizetype end = static_cast<const char*>(cr) - data;
        line(file.sliced(start, end - start));
        start = end + 1;
        if (start < size && data[start] == '\n')
            ++start;
    }
}

QByteArray encodeField(const QString& field) {
    return ansi::isTypeable(field) ? ansi::encode(field) : escapeField(field);
}

QString decodeField(QByteArrayView plain) {
    QString text;
    if (!plain.isEmpty() && plain[0] == kEscapeMarker && unescapeField(plain, text))
        return text;
    return ansi::decode(plain);
}

QByteArray encodeMasterLine(const QString& master) {
    QByteArray line = encodeField(master);
    CryptText(line);
    return line;
}

QString decodeMasterLine(QByteArrayView raw) {
    QByteArray plain = raw.toByteArray();
    return decodeField(CryptText(plain));
}

QByteArray encodeEntryLine(const Entry& entry) {
    QByteArray line = encodePlainEntry(entry);
    CryptText(line);
    return line;
}

Entry decodeEntryLine(QByteArrayView raw) {
    QByteArray plain = raw.toByteArray();
    CryptText(plain);
    return decodePlainEntry(plain);
}

bool isSkippedLine(QByteArrayView raw) {
    return raw.isEmpty() || (raw.size() == 1 && raw[0] == ' ');
}

QString readMasterPassword(QByteArrayView file) {
    // Only the first line matters: it ends at the first CR, or at the end.
    const qsizetype cr = file.indexOf('\r');
    return decodeMasterLine(cr < 0 ? file : file.first(cr));
}

std::vector<Entry> readEntries(QByteArrayView file) {
    std::vector<Entry> entries;
    bool first = true;
    forEachLine(file, [&](QByteArrayView raw) {
        if (first) {
            first = false;
            return;
        }
        if (!isSkippedLine(raw))
            entries.push_back(decodeEntryLine(raw));
    });
    return entries;
}

QByteArray masterOnlyFile(const QString& master) {
    QByteArray out;
    appendLine(out, encodeMasterLine(master));
    return out;
}

QByteArray savedFile(const QString& master, qsizetype count,
                     const std::function<const Entry&(qsizetype)>& at) {
    QByteArray out;
    appendLine(out, encodeMasterLine(master));
    for (qsizetype i = 0; i < count; ++i)
        appendLine(out, encodeEntryLine(at(i)));
    out.append("\r\n", 2);
    return out;
}

QByteArray savedFile(const QString& master, const std::vector<Entry>& entries) {
    return savedFile(master, static_cast<qsizetype>(entries.size()),
                     [&](qsizetype i) -> const Entry& { return entries[static_cast<size_t>(i)]; });
}

} // namespace vaultformat
