#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QtGlobal>

#include <optional>
#include <vector>

// What a sealed copy of a vault has seen, carried inside the sealed file
// beside the plain bytes, so that two copies merge with no guess at what
// they had in common (recordmerge).
//
// Every computer that changes the vault does so as a replica with a random
// 64-bit id, counting its changes. The record holds, for each replica, the
// highest count this copy has seen (a version vector), and for each entry
// line and for the master line the mark of the change that made it: the
// replica and its count then. An entry removed goes with its mark, while the
// vector still covers the mark: another copy that holds the entry learns
// from that that this copy saw it and removed it.
//
// Entries this copy never saw made (a vault sealed before records, or one
// sealed from the plain form) get a mark made of their content instead: the
// same line gives the same mark on every computer, so two computers that
// each start a record for one vault hold its entries under the same marks.
// No vector can cover such a mark, so a copy lists the content marks it held
// and removed.
namespace record {

// The replica of content marks: no computer draws it (ids are random and
// never 0), and its "count" is a digest of the line.
inline constexpr quint64 kContent = 0;

// A content mark read back from a record (decode) holds kLater until its
// digest is asked for (digestOf): a merge matches most content marks by
// their lines, and digesting every line was most of a large merge's cost.
// A digest that happens to be 0 is simply digested again when asked for.
inline constexpr quint64 kLater = 0;

struct Mark {
    quint64 replica = kContent;
    quint64 counter = 0;
    // A content mark's line is the how-many-th (from 0) of its kind that got
    // one: kept to write the mark, whose digest is not undone.
    quint64 occurrence = 0;
    bool isContent() const { return replica == kContent; }
    friend bool operator==(const Mark&, const Mark&) = default;
};

struct Record {
    // Replica and the highest count seen of it, sorted by replica.
    std::vector<std::pair<quint64, quint64>> vector;
    // One per entry line of the plain file, in file order.
    std::vector<Mark> marks;
    // Content marks this copy held and removed, sorted.
    std::vector<quint64> removedContent;
    Mark master;

    quint64 seen(quint64 replica) const;
    // Whether this copy has seen the change `m` made: held it or holds it.
    // A content mark is seen when it is held or was removed here; the caller
    // asks about held marks itself, and gives a content mark's digest
    // (digestOf), not kLater.
    bool covers(const Mark& m) const;
    void see(quint64 replica, quint64 counter);
};

// The lines of a plain vault file: its first (the master line) and those
// that hold entries, as the vault reads them, without their line ends.
struct Lines {
    QByteArrayView master;
    std::vector<QByteArrayView> entries;
};
Lines linesOf(QByteArrayView plain);

// The content mark of the `occurrence`th (from 0) content-marked line of a
// file that reads `line`, and of a master line.
quint64 contentDigest(QByteArrayView line, quint64 occurrence);
quint64 masterDigest(QByteArrayView masterLine);

// The mark `m` of the entry line `line` with its digest, if a content mark.
Mark withDigest(const Mark& m, QByteArrayView line);
// Every content mark of `r` (which fits `lines`) with its digest.
void digestAll(Record& r, const Lines& lines);
// Whether two mark lists of the same lines are the same marks: a content
// mark is its line and occurrence, whether its digest is known or not.
bool sameMarks(const std::vector<Mark>& a, const std::vector<Mark>& b);

// A digest of a line that finds it again within this run of the program
// (seeded at random at the start, so nobody can make two lines collide); it
// is never written, and differs from run to run.
quint64 runDigest(QByteArrayView line);

// A record for a file whose changes no record saw: every entry and the
// master line marked by content, nothing seen.
Record startFor(const Lines& lines);

// The record's bytes, and back. decode() checks that the record fits the
// file's lines (one mark per entry) and is whole; none when not. Its entry
// content marks hold kLater; its master mark has its digest.
QByteArray encode(const Record& r);
std::optional<Record> decode(QByteArrayView bytes, const Lines& lines);

} // namespace record
