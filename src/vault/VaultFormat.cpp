#include "vault/VaultFormat.h"

#include "secrets/Wipe.h"
#include "vault/Ansi.h"
#include "vault/CryptText.h"
#include "vault/LargeMemory.h"

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

// True when the field can be written as its own bytes and read back the same:
// every character has a byte, and none is one that would be read otherwise.
// The marker byte starts an escape, and 0x8D enciphers to CR, which ends the
// line; every other byte, the three other undefined ones too, reads back as
// the character it was written for; saves used to escape those three as well.
// (Bars are the line's business.)
bool isHeldAsWritten(const QString& field, Escaping escaping) {
    if (field.contains(QChar(0x0081)) || field.contains(QChar(0x008D)) || !ansi::hasBytes(field))
        return false;
    return escaping == Escaping::Needed ||
           !(field.contains(QChar(0x008F)) || field.contains(QChar(0x0090)) ||
             field.contains(QChar(0x009D)));
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

QByteArray encodePlainEntry(const Entry& e, Escaping escaping) {
    const QString* fields[3] = {&e.username, &e.password, &e.location};
    QByteArray plain[3];
    bool hasBar = false;
    for (int k = 0; k < 3; ++k) {
        plain[k] = encodeField(*fields[k], escaping);
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
    eachLine(file, line);
}

QByteArray encodeField(const QString& field, Escaping escaping) {
    return isHeldAsWritten(field, escaping) ? ansi::encode(field) : escapeField(field);
}

QString decodeField(QByteArrayView plain) {
    QString text;
    if (!plain.isEmpty() && plain[0] == kEscapeMarker && unescapeField(plain, text))
        return text;
    return ansi::decode(plain);
}

QByteArray encodeMasterLine(const QString& master, Escaping escaping) {
    QByteArray line = encodeField(master, escaping);
    CryptText(line);
    return line;
}

QString decodeMasterLine(QByteArrayView raw) {
    // Straight from the ciphered bytes: no deciphered copy of the password.
    return decodeCipheredField(raw);
}

QByteArray encodeEntryLine(const Entry& entry, Escaping escaping) {
    QByteArray line = encodePlainEntry(entry, escaping);
    CryptText(line);
    return line;
}

qsizetype findCipheredSeparator(QByteArrayView raw, qsizetype from) {
    // "|||" is 0xFC 0xFC 0xFC in ciphered bytes.
    const char* const data = raw.data();
    const qsizetype size = raw.size();
    while (from + 3 <= size) {
        const void* hit = std::memchr(data + from, '\xFC', static_cast<size_t>(size - from - 2));
        if (!hit)
            return -1;
        const qsizetype at = static_cast<const char*>(hit) - data;
        if (data[at + 1] == '\xFC' && data[at + 2] == '\xFC')
            return at;
        from = at + 1;
    }
    return -1;
}

QString decodeCipheredField(QByteArrayView piece) {
    // A field that starts with the escape marker (0x01 ciphered) takes the
    // general path; every other one converts straight from ciphered bytes.
    if (!piece.isEmpty() && piece[0] == kCipheredEscapeMarker) {
        QByteArray plain = piece.toByteArray();
        QString text = decodeField(CryptText(plain));
        secrets::wipe(plain);
        return text;
    }
    return ansi::decodeCiphered(piece);
}

Entry decodeEntryLine(QByteArrayView raw) {
    QString fields[3];
    qsizetype start = 0;
    for (int k = 0; k < 3 && start <= raw.size(); ++k) {
        const qsizetype sep = findCipheredSeparator(raw, start);
        fields[k] =
            decodeCipheredField(sep < 0 ? raw.sliced(start) : raw.sliced(start, sep - start));
        start = sep < 0 ? raw.size() + 1 : sep + 3;
    }
    return Entry{std::move(fields[0]), std::move(fields[1]), std::move(fields[2])};
}

namespace {

// Exactly three fields, split left to right as a reader splits them.
bool hasThreeFields(QByteArrayView raw) {
    const qsizetype first = findCipheredSeparator(raw, 0);
    if (first < 0)
        return false;
    const qsizetype next = findCipheredSeparator(raw, first + 3);
    return next >= 0 && findCipheredSeparator(raw, next + 3) < 0;
}

// Every byte a line can hold reads as the character that is written back as
// that byte, except the marker 0x81 (0x01 ciphered): it starts an escape, or
// is a character that a save escapes. (0x8D, 0x0D ciphered, is the other byte
// a save never writes plain; it ends a line and so is never in one.)
bool hasMarker(QByteArrayView raw) {
    return raw.contains(kCipheredEscapeMarker);
}

} // namespace

bool isSavedForm(QByteArrayView raw) {
    // Split left to right, three fields rejoin to the same bytes and read back
    // the same; that is what the encoder checks before it keeps bars plain.
    if (!hasThreeFields(raw))
        return false;
    if (!hasMarker(raw))
        return true;
    // Rare: an escaped field, or a marker byte that is not one. Such a line is
    // kept only if encoding what it reads as gives it back, as a save writes
    // it or as saves used to.
    const Entry entry = decodeEntryLine(raw);
    return encodeEntryLine(entry) == raw || encodeEntryLine(entry, Escaping::AllUndefined) == raw;
}

bool isSkippedLine(QByteArrayView raw) {
    return raw.isEmpty() || (raw.size() == 1 && raw[0] == ' ');
}

QByteArrayView masterLineOf(QByteArrayView file) {
    // Only the first line matters: it ends at the first CR, or at the end.
    const qsizetype cr = file.indexOf('\r');
    return cr < 0 ? file : file.first(cr);
}

QString readMasterPassword(QByteArrayView file) {
    return decodeMasterLine(masterLineOf(file));
}

std::vector<Entry> readEntries(QByteArrayView file) {
    const EntryStore store = EntryStore::fromFile(file.toByteArray());
    std::vector<Entry> entries;
    entries.reserve(store.size());
    for (size_t i = 0; i < store.size(); ++i)
        entries.push_back(store.entry(i));
    return entries;
}

QByteArray masterOnlyFile(const QString& master) {
    QByteArray out;
    appendLine(out, encodeMasterLine(master));
    return out;
}

QByteArray withMasterLine(const QString& master, QByteArrayView file) {
    // The first line ends at its CR, or with an LF after that CR.
    qsizetype rest = file.indexOf('\r');
    rest = rest < 0 ? file.size() : rest + 1;
    if (rest < file.size() && file[rest] == '\n')
        ++rest;
    QByteArray out = masterOnlyFile(master);
    out.append(file.sliced(rest));
    return out;
}

namespace {

// Writes the field's characters as ciphered bytes at `out`, for the common
// field that is its own Latin-1 bytes and holds no bar. Returns false when the
// field is not such a one; what was written is then to be thrown away. One
// pass without an early exit, so that the compiler can run it many
// characters wide.
bool putPlain(char*& out, const QString& field) {
    const char16_t* p = reinterpret_cast<const char16_t*>(field.constData());
    const qsizetype n = field.size();
    unsigned bad = 0;
    for (qsizetype i = 0; i < n; ++i) {
        const unsigned c = p[i];
        bad |= unsigned(c > 0xFF) | unsigned(c - 0x80u < 0x20u) | unsigned(c == '|');
        out[i] = static_cast<char>(c ^ 0x80u);
    }
    out += n;
    return bad == 0;
}

// The master line a save writes: as it was read when that is how saves used
// to write `master`, so that such a vault keeps its bytes.
QByteArray masterLine(const QString& master, QByteArrayView asRead) {
    QByteArray line = encodeMasterLine(master);
    if (!asRead.isEmpty() && asRead != line &&
        asRead == encodeMasterLine(master, Escaping::AllUndefined))
        return asRead.toByteArray();
    return line;
}

template <class Slot>
QByteArray save(QByteArray firstLine, const EntryStore& entries, size_t count, Slot slot) {
    // After a sort, rows are visited in an order unlike the lines' order in
    // memory, and each visit would wait on memory: ask for the lines' places
    // and then their bytes a few rows ahead, so that the waits overlap.
    constexpr size_t kAhead = 8;
    QByteArray out = std::move(firstLine);
    out.append("\r\n", 2);
    qsizetype size = out.size() + 2;
    for (size_t i = 0; i < count; ++i) {
        if (i + 2 * kAhead < count)
            entries.prefetchPlace(slot(i + 2 * kAhead));
        size += entries.line(slot(i)).size() + 2;
    }
    qsizetype at = out.size();
    out.resize(size);
    char* const d = out.data();
    // The file of a large vault is tens of MiB of memory never touched yet.
    largememory::adviseHugePages(d + at, static_cast<size_t>(size - at));
    // Lines that follow one another in memory as they will in the file,
    // each with its line end (those of one file read, or one import), are
    // copied as one run.
    const char* run = nullptr;
    qsizetype runSize = 0;
    const auto endRun = [&] {
        std::memcpy(d + at, run, static_cast<size_t>(runSize));
        at += runSize;
        d[at++] = '\r';
        d[at++] = '\n';
    };
    for (size_t i = 0; i < count; ++i) {
        if (i + 2 * kAhead < count)
            entries.prefetchPlace(slot(i + 2 * kAhead));
        if (i + kAhead < count)
            entries.prefetchLine(slot(i + kAhead));
        const QByteArrayView line = entries.line(slot(i));
        if (run && entries.followsInMemory(slot(i - 1), slot(i))) {
            runSize += 2 + line.size();
            continue;
        }
        if (run)
            endRun();
        run = line.data();
        runSize = line.size();
    }
    if (run)
        endRun();
    d[at++] = '\r';
    d[at] = '\n';
    return out;
}

} // namespace

void appendEntryLine(QByteArray& out, const Entry& e) {
    const qsizetype at = out.size();
    out.resize(at + e.username.size() + e.password.size() + e.location.size() + 6);
    char* p = out.data() + at;
    bool plain = putPlain(p, e.username);
    p = std::fill_n(p, 3, '\xFC');
    plain = putPlain(p, e.password) && plain;
    p = std::fill_n(p, 3, '\xFC');
    plain = putPlain(p, e.location) && plain;
    if (!plain) {
        out.resize(at);
        out.append(encodeEntryLine(e));
    }
}

QByteArray savedFile(const QString& master, const EntryStore& entries,
                     const std::vector<int>& order, QByteArrayView masterLineAsRead) {
    return save(masterLine(master, masterLineAsRead), entries, order.size(),
                [&](size_t i) { return static_cast<size_t>(order[i]); });
}

qsizetype FilePieces::size() const {
    qsizetype size = 0;
    for (const QByteArrayView piece : m_pieces)
        size += piece.size();
    return size;
}

QByteArray FilePieces::joined() const {
    if (m_pieces.size() == 1 && m_pieces[0].data() == m_made.constData() &&
        m_pieces[0].size() == m_made.size())
        return m_made;
    QByteArray file(size(), Qt::Uninitialized);
    char* d = file.data();
    for (const QByteArrayView piece : m_pieces) {
        std::memcpy(d, piece.data(), static_cast<size_t>(piece.size()));
        d += piece.size();
    }
    return file;
}

FilePieces savedPieces(const QString& master, const EntryStore& entries,
                       const std::vector<int>& order, QByteArrayView masterLineAsRead) {
    return savedPiecesWithLine(masterLine(master, masterLineAsRead), entries, order);
}

FilePieces savedPiecesWithLine(QByteArrayView firstLine, const EntryStore& entries,
                               const std::vector<int>& order) {
    // More runs than this are written faster from one buffer than piece by
    // piece.
    constexpr size_t kMostRuns = 64;
    const auto slot = [&](size_t i) { return static_cast<size_t>(order[i]); };
    std::vector<std::pair<size_t, size_t>> runs; // first and last place in `order`
    for (size_t i = 0; i < order.size(); ++i) {
        if (!runs.empty() && entries.followsInMemory(slot(i - 1), slot(i))) {
            runs.back().second = i;
            continue;
        }
        if (runs.size() == kMostRuns) {
            FilePieces joined;
            joined.m_made = save(firstLine.toByteArray(), entries, order.size(), slot);
            joined.m_pieces = {joined.m_made};
            return joined;
        }
        runs.emplace_back(i, i);
    }
    FilePieces file;
    // The master line and its line end, then the line end that follows each
    // run and closes the file: made whole before any piece points into it.
    file.m_made = firstLine.toByteArray();
    const qsizetype masterSize = file.m_made.size() + 2;
    file.m_made.append("\r\n\r\n", 4);
    const QByteArrayView lineEnd(file.m_made.constData() + masterSize, 2);
    file.m_pieces.push_back(QByteArrayView(file.m_made.constData(), masterSize));
    for (const auto& [first, last] : runs) {
        const QByteArrayView from = entries.line(slot(first));
        const QByteArrayView to = entries.line(slot(last));
        file.m_pieces.push_back(QByteArrayView(from.data(), to.data() + to.size()));
        file.m_pieces.push_back(lineEnd);
    }
    file.m_pieces.push_back(lineEnd);
    return file;
}

bool longEnoughForMaster(QStringView password) {
    // Characters, not UTF-16 units, counted where they are: toUcs4() would
    // leave a copy of the password behind.
    qsizetype characters = 0;
    for (qsizetype i = 0; i < password.size() && characters < kMinMasterCharacters; ++i) {
        if (password[i].isHighSurrogate() && i + 1 < password.size() &&
            password[i + 1].isLowSurrogate())
            ++i;
        ++characters;
    }
    return characters >= kMinMasterCharacters;
}

QByteArray savedFile(const QString& master, const EntryStore& entries) {
    return save(encodeMasterLine(master), entries, entries.size(), [](size_t i) { return i; });
}

QByteArray savedFile(const QString& master, const std::vector<Entry>& entries) {
    EntryStore store;
    store.append(entries);
    return savedFile(master, store);
}

} // namespace vaultformat
