#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QString>

#include <optional>
#include <vector>

// Merging copies of one vault that were changed apart: on two computers
// before a sync engine carried one to the other, or on two branches of a
// git repository. It works on the plain form's bytes (a sealed copy is
// opened first) and knows nothing of engines, files or windows.
//
// An entry is its three fields: two entries are the same when their texts
// are, whatever bytes stored them. A change made on one side only is taken;
// the same change made on both sides is taken once. An edit is the old entry
// removed and the new one added, so when both sides edited one entry
// differently both new versions are kept. Nothing that either side added or
// edited is ever lost; an entry one side deleted and the other left alone is
// deleted. Entries may repeat, and are counted: an entry the base holds
// twice, ours once and theirs three times was removed once and added once.
//
// The merged order is ours, with each entry new from theirs placed after the
// entry that precedes it in theirs (at the end when no such entry is in the
// merge). Lines of ours are written back byte for byte.
namespace vaultmerge {

// An entry as a report names it: never by its password.
struct Named {
    QString username;
    QString location;
    friend bool operator==(const Named&, const Named&) = default;
};

struct Report {
    // Merged without a base: whatever one side deleted, the other brings back.
    bool twoWay = false;
    // The master password is theirs: only they changed it.
    bool masterFromTheirs = false;
    std::vector<Named> fromTheirs;      // entries theirs added, now in ours
    std::vector<Named> removedByTheirs; // entries of ours that theirs deleted
    size_t oursOnly = 0;                // entries of ours that theirs lacks and that stay
    // One entry edited on both sides, differently: both versions are kept.
    struct BothEdited {
        Named ours;
        Named theirs;
    };
    std::vector<BothEdited> editedOnBoth;
    // True when the merge is ours as it was.
    bool unchanged() const {
        return fromTheirs.empty() && removedByTheirs.empty() && !masterFromTheirs;
    }
};

enum class Outcome {
    Merged,
    // Both sides changed the master password, each to another one: nothing
    // is merged, since either choice would lock the other side's user out.
    MasterConflict,
};

struct Result {
    Outcome outcome = Outcome::Merged;
    QByteArray file; // the merged vault's plain bytes, when Merged
    Report report;
};

// Merges `theirs` into `ours`, `base` being the vault as both last had it in
// common; without a base, the union of both is kept (two-way). The bytes are
// plain vault files.
Result merge(std::optional<QByteArrayView> base, QByteArrayView ours, QByteArrayView theirs);

// merge() is one of these two, with the same result, bytes and report
// alike. The first lines the copies up: most lines of copies of one vault
// are the same bytes in the same order, and only the entries around the
// places where they differ are counted. It gives none when it leaves the
// merge to the second, which counts every entry of every copy as the rules
// above read: for copies that differ throughout, or a side that holds the
// base's entries in other bytes. Both are here for tests that hold them to
// each other; the first compares bytes with the widest instructions the
// machine has, or with those every machine of its kind has.
enum class Instructions { Widest, Baseline };
std::optional<Result> mergeLinedUp(std::optional<QByteArrayView> base, QByteArrayView ours,
                                   QByteArrayView theirs,
                                   Instructions instructions = Instructions::Widest);
Result mergeCountingAll(std::optional<QByteArrayView> base, QByteArrayView ours,
                        QByteArrayView theirs);

} // namespace vaultmerge
