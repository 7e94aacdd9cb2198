#pragma once

#include "sync/Record.h"
#include "vault/VaultSession.h"

#include <QByteArray>
#include <QByteArrayView>
#include <QString>

#include <optional>
#include <vector>

// This computer's replicas: the ids it changes vaults as, and the last count
// it gave each. A copy's changes are counted on under an id only while the
// copy holds that id's last count: the copy then comes from the change this
// computer made last under it. Any other copy (one from before that change,
// a second clone of the vault, a backup put back) gets a new id, so that
// two copies never hold one mark for two changes, and a vector never covers
// a mark its copy did not see. Losing the file only costs new ids.
class ReplicaStore {
public:
    // The file where the ids are kept, in the user's data folder; empty for
    // none, when every change draws a new id.
    explicit ReplicaStore(QString path);
    static QString defaultPath();

    struct Minted {
        quint64 replica = 0;
        quint64 first = 0; // the first of the counts taken
    };
    // Takes `count` counts for a change of a copy that has seen `seen`.
    Minted mint(const record::Record& seen, quint64 count);

    // The ids kept, at most this many, the last used first.
    static constexpr int kKept = 64;

private:
    QString m_path;
};

// Keeps the record of a sealed vault in use: what the file read or written
// last carries, and, at each save, the record for the new file: every entry
// line the last file held keeps its mark, every other one gets a new mark
// from this computer's replica, and the marks of the lines that went stay
// covered. A line that appears twice keeps the marks in order.
class RecordKeeper : public VaultSession::RecordKeeper {
public:
    explicit RecordKeeper(QString replicaStore = ReplicaStore::defaultPath());

    void current(QByteArrayView plain, QByteArrayView record) override;
    QByteArray recordFor(QByteArrayView plain) override;
    void forget() override;

    // Gives every entry and the master line of the current file a new mark,
    // as if they were all made now, the old marks covered (a content mark
    // listed as removed): what a restore did, once it is known to be one
    // (restorenote). The next save writes it; a merge before takes it.
    void markAllAnew();

    // The record for `plain` as recordFor() makes it, before encoding.
    record::Record recordOf(QByteArrayView plain);
    // The record of the file read or written last, if any.
    const std::optional<record::Record>& last() const { return m_current; }

    // A record read from another file, or the start of one for a file that
    // carries none (or one that does not fit it).
    static record::Record read(QByteArrayView plain, QByteArrayView record);
    static record::Record read(const record::Lines& lines, QByteArrayView record);

private:
    // The current file's entry lines by their record::runDigest(): one
    // open-addressed table of digests, each slot the first line (in file
    // order) with its digest, and the lines after it in `next`.
    struct LineIndex {
        std::vector<quint64> digestAt; // per slot
        std::vector<quint32> first;    // per slot; kNone when empty
        std::vector<quint32> next;     // per line
        size_t mask = 0;
        static constexpr quint32 kNone = 0xFFFFFFFF;
        void build(const std::vector<quint64>& digests);
        size_t slotOf(quint64 digest) const; // the slot holding it, or an empty one
    };
    // What recordOf() made last, for current() to take as it is when that
    // is the file saved: a save need not read its own record back.
    struct Made {
        record::Record record;
        std::vector<quint64> digests;
        quint64 master = 0;
        QByteArray bytes; // the record encoded, once recordFor() asked
    };
    void take(record::Record r, std::vector<quint64> digests, quint64 master);

    ReplicaStore m_store;
    std::optional<record::Record> m_current;
    quint64 m_masterKey = 0;
    LineIndex m_index;
    std::optional<Made> m_made;
};
