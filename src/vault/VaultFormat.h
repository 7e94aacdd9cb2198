#pragma once

#include "vault/Entry.h"
#include "vault/EntryStore.h"

#include <QByteArray>
#include <QByteArrayView>
#include <QString>
#include <QStringView>

#include <cstring>
#include <functional>
#include <vector>

// The bytes of data.enc.
//
// Line 1 is the master password, every further line an entry whose three
// fields are joined by "|||"; each line's text is passed through CryptText and
// ends in CR LF. A full save ends with one empty line.
//
// Some text cannot be written that way and read back as it was: a character
// outside Windows-1252, a field holding "|||", a bar next to a separator, the
// character of byte 0x8D (its cipher is CR, which ends the line) and that of
// the marker byte 0x81 itself. Such a field alone is written as the marker
// followed by four upper-case hex digits per UTF-16 unit. 0x81 is undefined in
// Windows-1252, so text hardly ever holds it. Every other field is written as
// its own bytes, the plain layout exactly, as it was read.
namespace vaultformat {

inline constexpr char kSeparator[] = "|||";
// The fields of an entry line, and the byte a separator's bar is in the file
// (the cipher toggles the top bit: '|' is 0xFC). Code that scans ciphered
// lines takes them from here.
inline constexpr int kFields = 3;
inline constexpr unsigned char kCipheredBar = static_cast<unsigned char>('|' ^ 0x80);
static_assert(kCipheredBar == 0xFC && sizeof kSeparator - 1 == 3);
inline constexpr char kEscapeMarker = '\x81';
// The marker as the file holds it, ciphered.
inline constexpr char kCipheredEscapeMarker = kEscapeMarker ^ '\x80';

// Which fields a save escapes. Saves used to escape a field holding the
// character of any of the five undefined bytes, where now only 0x81 and 0x8D
// need it. A line or master line written that way still reads the same, and
// is written back as it was (isSavedForm(), savedFile()): a vault saved then
// keeps its bytes.
enum class Escaping {
    Needed,       // only what a line cannot hold as written: what a save writes
    AllUndefined, // also the characters of 0x8F, 0x90 and 0x9D, as saves used to
};

// The file of a vault that was never used: one empty line.
QByteArray neverUsedFile();

// Splits file bytes into lines: CR LF or a lone CR ends a line, a lone LF is
// part of the line, and the last line may end at the end of the file.
// Calls `line` once per line, in order, with the line's raw (ciphered) bytes.
void forEachLine(QByteArrayView file, const std::function<void(QByteArrayView)>& line);
// The same, with the call made in place: for loops over every line of a
// large vault.
template <class Line> void eachLine(QByteArrayView file, Line&& line) {
    const char* const data = file.data();
    const qsizetype size = file.size();
    qsizetype start = 0;
    while (start < size) {
        const void* cr = std::memchr(data + start, '\r', static_cast<size_t>(size - start));
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

// Plain (not yet ciphered) field text and back.
QByteArray encodeField(const QString& field, Escaping escaping = Escaping::Needed);
QString decodeField(QByteArrayView plain);

// Ciphered line text, without its terminator.
QByteArray encodeMasterLine(const QString& master, Escaping escaping = Escaping::Needed);
QString decodeMasterLine(QByteArrayView raw);
QByteArray encodeEntryLine(const Entry& entry, Escaping escaping = Escaping::Needed);
Entry decodeEntryLine(QByteArrayView raw);
// Appends the entry's ciphered line, without its terminator: the same bytes as
// encodeEntryLine(), with no allocation for the usual entry.
void appendEntryLine(QByteArray& out, const Entry& entry);
// One field of a ciphered entry line as text.
QString decodeCipheredField(QByteArrayView piece);

// The first separator "|||" at or after `from` in ciphered line bytes, or -1.
qsizetype findCipheredSeparator(QByteArrayView raw, qsizetype from);

// True when `raw` is exactly the line a save writes, or used to write, for the
// entry it reads as, so that it can be kept and written back as it is. Lines
// with other than three fields, with a marker byte that does not start an
// escape, or with needless escapes are not.
bool isSavedForm(QByteArrayView raw);

// True for the raw lines that reading passes over: empty, or one space.
bool isSkippedLine(QByteArrayView raw);

// The first line, still ciphered; empty when the file has no line at all.
QByteArrayView masterLineOf(QByteArrayView file);
// The deciphered first line.
QString readMasterPassword(QByteArrayView file);

// Every entry of the file, in file order.
std::vector<Entry> readEntries(QByteArrayView file);

// The file right after the master password was created: its line alone.
QByteArray masterOnlyFile(const QString& master);

// The file with its first line replaced by the master password's line: every
// byte after the first line's end stays as it was.
QByteArray withMasterLine(const QString& master, QByteArrayView file);

// The file after a save: master line, one entry line per entry, and a final
// empty line. The entries go in the order of the slots given, or as stored.
// The vault's first line as it was read, when given, is written back as it
// was if it holds `master` as saves used to write it.
QByteArray savedFile(const QString& master, const EntryStore& entries,
                     const std::vector<int>& order, QByteArrayView masterLineAsRead = {});
QByteArray savedFile(const QString& master, const EntryStore& entries);
QByteArray savedFile(const QString& master, const std::vector<Entry>& entries);

// The same file as the pieces it is made of, for a save to write them one
// after another: the master line and line ends made here, and runs of entry
// lines where the entries hold them, each with its line end (the lines of
// one file read or one import follow one another in memory as in the file).
// A large vault in file order is then written without first being copied
// whole. When the order breaks the lines into many runs (a sorted vault),
// the file is joined here instead, as savedFile() makes it. The pieces point
// into `entries` and into the object: they are good while both are
// unchanged.
class FilePieces {
public:
    const std::vector<QByteArrayView>& pieces() const { return m_pieces; }
    qsizetype size() const;
    // The file's bytes in one buffer.
    QByteArray joined() const;

private:
    friend FilePieces savedPiecesWithLine(QByteArrayView, const EntryStore&,
                                          const std::vector<int>&);
    QByteArray m_made;
    std::vector<QByteArrayView> m_pieces;
};
FilePieces savedPieces(const QString& master, const EntryStore& entries,
                       const std::vector<int>& order, QByteArrayView masterLineAsRead = {});
// The same with the first line given as the file holds it (ciphered, without
// its line end) and written as it is: for a caller that keeps the master
// line as read rather than the password.
FilePieces savedPiecesWithLine(QByteArrayView masterLine, const EntryStore& entries,
                               const std::vector<int>& order);

// Whether a new master password is long enough: at least
// kMinMasterCharacters characters (code points, not UTF-16 units), the rule
// of the window and of keynook-cli alike.
inline constexpr qsizetype kMinMasterCharacters = 4;
bool longEnoughForMaster(QStringView password);

} // namespace vaultformat
