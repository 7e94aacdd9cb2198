#pragma once

#include "vault/Entry.h"

#include <QByteArray>
#include <QByteArrayView>
#include <QString>

#include <cstdint>
#include <memory>
#include <vector>

// The entries of a vault, held the way the file holds them: each entry is its
// line's ciphered bytes, exactly as a save writes them. Opening a vault keeps
// the file's own buffer and points into it, so a load copies no text and
// makes no string per entry; a save only joins lines; a field becomes text
// when something shows, copies or compares it.
//
// Every entry sits in a slot; slots are numbered in the order the entries
// were added and close up when one is erased.
class EntryStore {
public:
    enum Field { Username = 0, Password = 1, Location = 2 };

    EntryStore() = default;
    ~EntryStore();
    EntryStore(EntryStore&& other) noexcept = default;
    EntryStore& operator=(EntryStore&& other) noexcept;

    // Makes the store wipe every block of bytes it frees, when an entry
    // leaves or the store goes (secrets::wipe(), which also unlocks the
    // memory a sealed vault was opened into): for a sealed vault's entries.
    // A plain vault's store frees its blocks as they are, at no cost. Stores
    // appended to one that wipes are wiped too.
    void wipeWhenFreed() { m_wipes = true; }
    bool wipesWhenFreed() const { return m_wipes; }

    // Every entry line of a vault file, in file order: all lines but the
    // first (the master password) and the ones reading passes over.
    static EntryStore fromFile(QByteArray file);

    // Reads a file's entries while its bytes become readable front to back,
    // as a sealed vault's do while its chunks are opened: each line is taken
    // once it is whole, so that reading keeps pace with the opening. Only
    // the readable bytes are looked at. fromFile() is readTo() the end at
    // once.
    class Loader {
    public:
        explicit Loader(QByteArrayView file);
        ~Loader();
        Loader(const Loader&) = delete;
        Loader& operator=(const Loader&) = delete;

        // Takes the lines within the first `readable` bytes; never less than
        // the last call's.
        void readTo(qsizetype readable);
        // Reads the rest, and gives the entries, which keep `file` as their
        // bytes: those of the file read, or a copy of them.
        EntryStore finish(QByteArray file);

    private:
        struct State;
        std::unique_ptr<State> m_state;
    };

    size_t size() const { return m_lines.size(); }
    bool empty() const { return m_lines.empty(); }

    Entry entry(size_t slot) const;
    QString field(size_t slot, int field) const;
    // The field's first `maxChars` characters, with "…" after them when
    // it is longer: what a list cell can show, read without decoding the
    // rest of a very long field.
    QString fieldStart(size_t slot, int field, qsizetype maxChars) const;
    // The entry's line as a save writes it, ciphered, without its line end.
    QByteArrayView line(size_t slot) const;
    // Hints that line(slot) is wanted soon: where the line is, or its bytes.
    void prefetchPlace(size_t slot) const { __builtin_prefetch(&m_lines[slot]); }
    void prefetchLine(size_t slot) const {
        const QByteArrayView l = line(slot);
        __builtin_prefetch(l.data());
        __builtin_prefetch(l.data() + l.size() - 1);
    }
    // Adds the field's text with every character case-folded, as UTF-16
    // units, so that comparing what two calls added exactly is comparing the
    // fields ignoring case. `out` grows by fewer units than the line has
    // bytes.
    void appendFolded(size_t slot, int field, std::vector<char16_t>& out) const;
    // Whether the line of slot `next` follows that of `slot` in memory with
    // just a CR LF between them, as the lines of one file or one import do:
    // a save copies such lines at once.
    bool followsInMemory(size_t slot, size_t next) const;
    // The bytes of every line together.
    qsizetype lineBytes() const;

    void append(const Entry& entry);
    void append(const std::vector<Entry>& entries);
    void append(EntryStore&& other);
    // Adds the entries of `other` that this store does not hold yet, each
    // once, in their order; returns how many were left out. Two entries are
    // the same when their three texts are, case counting.
    qsizetype appendAbsent(EntryStore&& other);
    // The entries of this store and then those of `other`, numbered in slot
    // order: two get the same number exactly when they are the same entry,
    // as appendAbsent() compares them, and numbers count up from 0 as
    // entries first appear.
    std::vector<std::uint32_t> numberedWith(const EntryStore& other) const;
    // Adds the entries of `other` whose `chosen` is true, in their order.
    void appendChosen(EntryStore&& other, const std::vector<bool>& chosen);
    // Adds lines already encoded as a save writes them (encodeEntryLine()),
    // one after another in `bytes` as a file holds them, each ending in
    // CR LF, as one block; line k starts at starts[k].
    void appendEncoded(QByteArray bytes, const std::vector<qsizetype>& starts);
    void replace(size_t slot, const Entry& entry);
    void erase(size_t slot);

private:
    // Where a line is: a stretch of one block. Its fields are found again
    // when they are needed, which costs less than keeping them for every
    // entry of a large vault.
    struct Line {
        qsizetype offset;
        qsizetype size;
        int block;
    };

    QByteArrayView fieldBytes(size_t slot, int field) const;
    int addBlock(QByteArray bytes);
    // Room for `more` line records.
    void makeRoom(size_t more);
    // One line fewer uses the block; the last one to go frees it.
    void release(int block);
    void freeBlock(QByteArray& block);

    std::vector<Line> m_lines;
    std::vector<QByteArray> m_blocks;
    std::vector<qsizetype> m_blockUsers;
    std::vector<int> m_freeBlocks;
    bool m_wipes = false;
};
