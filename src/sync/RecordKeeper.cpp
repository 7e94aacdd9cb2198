#include "sync/RecordKeeper.h"

#include "vault/VaultLocation.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>

#include <sodium.h>

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

namespace {

// The store's lines: an id and its last count, in hex and decimal.
struct Kept {
    quint64 replica;
    quint64 last;
};

std::vector<Kept> parse(const QByteArray& text) {
    std::vector<Kept> kept;
    for (const QByteArray& line : text.split('\n')) {
        const QList<QByteArray> words = line.trimmed().split(' ');
        if (words.size() != 2)
            continue;
        bool okId = false;
        bool okCount = false;
        const quint64 id = words[0].toULongLong(&okId, 16);
        const quint64 last = words[1].toULongLong(&okCount, 10);
        if (okId && okCount && id != record::kContent && last > 0)
            kept.push_back({id, last});
    }
    return kept;
}

quint64 newReplica() {
    quint64 id = 0;
    while (id == record::kContent)
        randombytes_buf(&id, sizeof id);
    return id;
}

} // namespace

ReplicaStore::ReplicaStore(QString path) : m_path(std::move(path)) {}

QString ReplicaStore::defaultPath() {
    const QString data = QStandardPaths::writableLocation(QStandardPaths::AppDataLocation);
    return data.isEmpty() ? QString() : data + QStringLiteral("/replicas");
}

ReplicaStore::Minted ReplicaStore::mint(const record::Record& seen, quint64 count) {
    if (sodium_init() < 0 || count == 0)
        return {};
    const auto fresh = [&] { return Minted{newReplica(), 1}; };
    if (m_path.isEmpty())
        return fresh();
    // The store lies in Keynook's own data folder, the user's alone.
    const QString folder = QFileInfo(m_path).absolutePath();
    vaultlocation::makePrivateFolders(folder, folder);
    const QByteArray name = QFile::encodeName(m_path);
    const int fd = ::open(name.constData(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0)
        return fresh();
    // Two programs saving two vaults at once must not both count on from
    // one id: the file is read and rewritten under its lock.
    if (::flock(fd, LOCK_EX) != 0) {
        ::close(fd);
        return fresh();
    }
    QByteArray text;
    char buffer[4096];
    for (ssize_t n; (n = ::read(fd, buffer, sizeof buffer)) > 0 && text.size() < 64 * 1024;)
        text.append(buffer, n);
    std::vector<Kept> kept = parse(text);
    Minted minted;
    const auto it = std::find_if(kept.begin(), kept.end(),
                                 [&](const Kept& k) { return seen.seen(k.replica) == k.last; });
    if (it != kept.end()) {
        minted = {it->replica, it->last + 1};
        kept.erase(it);
    } else {
        minted = fresh();
    }
    kept.insert(kept.begin(), {minted.replica, minted.first + count - 1});
    if (kept.size() > size_t(kKept))
        kept.resize(kKept);
    QByteArray out;
    for (const Kept& k : kept)
        out += QByteArray::number(k.replica, 16) + ' ' + QByteArray::number(k.last) + '\n';
    // A store cut short only loses ids: the next change draws a new one.
    const bool written = ::ftruncate(fd, 0) == 0 &&
                         ::pwrite(fd, out.constData(), size_t(out.size()), 0) == out.size();
    ::close(fd);
    if (!written)
        return fresh();
    return minted;
}

RecordKeeper::RecordKeeper(QString replicaStore) : m_store(std::move(replicaStore)) {}

record::Record RecordKeeper::read(QByteArrayView plain, QByteArrayView bytes) {
    return read(record::linesOf(plain), bytes);
}

record::Record RecordKeeper::read(const record::Lines& lines, QByteArrayView bytes) {
    if (!bytes.isEmpty())
        if (std::optional<record::Record> r = record::decode(bytes, lines))
            return std::move(*r);
    return record::startFor(lines);
}

void RecordKeeper::LineIndex::build(const std::vector<quint64>& digests) {
    size_t size = 16;
    while (size < digests.size() * 2)
        size *= 2;
    mask = size - 1;
    digestAt.assign(size, 0);
    first.assign(size, kNone);
    next.assign(digests.size(), kNone);
    // From the last line back, each put in front: every slot's lines then
    // run in file order.
    for (size_t i = digests.size(); i-- > 0;) {
        const size_t at = slotOf(digests[i]);
        digestAt[at] = digests[i];
        next[i] = first[at];
        first[at] = static_cast<quint32>(i);
    }
}

size_t RecordKeeper::LineIndex::slotOf(quint64 digest) const {
    size_t at = static_cast<size_t>(digest ^ (digest >> 29)) & mask;
    while (first[at] != kNone && digestAt[at] != digest)
        at = (at + 1) & mask;
    return at;
}

void RecordKeeper::take(record::Record r, std::vector<quint64> digests, quint64 master) {
    m_index.build(digests);
    m_masterKey = master;
    m_current = std::move(r);
}

void RecordKeeper::current(QByteArrayView plain, QByteArrayView bytes) {
    // The file just saved with what recordFor() made: nothing to read again.
    if (m_made && !bytes.isEmpty() && bytes == m_made->bytes &&
        m_made->digests.size() == m_made->record.marks.size()) {
        Made made = std::move(*m_made);
        m_made.reset();
        take(std::move(made.record), std::move(made.digests), made.master);
        return;
    }
    m_made.reset();
    const record::Lines lines = record::linesOf(plain);
    std::vector<quint64> digests;
    digests.reserve(lines.entries.size());
    for (const QByteArrayView line : lines.entries)
        digests.push_back(record::runDigest(line));
    // The keeper lists a content mark as removed when its line goes, and
    // keeps no lines to digest it then.
    record::Record r = read(lines, bytes);
    record::digestAll(r, lines);
    take(std::move(r), std::move(digests), record::runDigest(lines.master));
}

void RecordKeeper::markAllAnew() {
    if (!m_current)
        return;
    record::Record& r = *m_current;
    const ReplicaStore::Minted minted = m_store.mint(r, r.marks.size() + 1);
    std::vector<quint64> removed;
    quint64 counter = minted.first;
    const auto anew = [&](record::Mark& m) {
        if (m.isContent())
            removed.push_back(m.counter);
        m = {minted.replica, counter++, 0};
    };
    anew(r.master);
    for (record::Mark& m : r.marks)
        anew(m);
    r.see(minted.replica, counter - 1);
    std::sort(removed.begin(), removed.end());
    std::vector<quint64> all;
    std::set_union(r.removedContent.begin(), r.removedContent.end(), removed.begin(), removed.end(),
                   std::back_inserter(all));
    r.removedContent = std::move(all);
}

void RecordKeeper::forget() {
    m_current.reset();
    m_made.reset();
    m_index = LineIndex();
}

record::Record RecordKeeper::recordOf(QByteArrayView plain) {
    const record::Lines lines = record::linesOf(plain);
    std::vector<quint64> digests;
    digests.reserve(lines.entries.size());
    for (const QByteArrayView line : lines.entries)
        digests.push_back(record::runDigest(line));
    const quint64 masterDigest = record::runDigest(lines.master);
    if (!m_current) {
        record::Record r = record::startFor(lines);
        m_made = Made{r, std::move(digests), masterDigest, {}};
        return r;
    }
    const record::Record& was = *m_current;
    record::Record r;
    r.vector = was.vector;
    r.marks.resize(lines.entries.size());
    // Each slot's next line not yet taken, in file order.
    std::vector<quint32> cursor = m_index.first;
    std::vector<size_t> fresh;
    for (size_t i = 0; i < lines.entries.size(); ++i) {
        if (!cursor.empty()) {
            const size_t at = m_index.slotOf(digests[i]);
            if (const quint32 line = cursor[at]; line != LineIndex::kNone) {
                r.marks[i] = was.marks[line];
                cursor[at] = m_index.next[line];
                continue;
            }
        }
        fresh.push_back(i);
    }
    const bool newMaster = masterDigest != m_masterKey;
    const quint64 count = fresh.size() + (newMaster ? 1 : 0);
    // The marks of lines that went: a content mark is listed as removed,
    // every other one stays covered by the vector.
    std::vector<quint64> removed;
    for (quint32 line : cursor)
        for (; line != LineIndex::kNone; line = m_index.next[line])
            if (const record::Mark& m = was.marks[line]; m.isContent())
                removed.push_back(m.counter);
    r.master = was.master;
    if (newMaster && was.master.isContent())
        removed.push_back(was.master.counter);
    std::sort(removed.begin(), removed.end());
    std::set_union(was.removedContent.begin(), was.removedContent.end(), removed.begin(),
                   removed.end(), std::back_inserter(r.removedContent));
    if (count > 0) {
        const ReplicaStore::Minted minted = m_store.mint(was, count);
        quint64 counter = minted.first;
        for (const size_t i : fresh)
            r.marks[i] = {minted.replica, counter++, 0};
        if (newMaster)
            r.master = {minted.replica, counter++, 0};
        r.see(minted.replica, counter - 1);
    }
    m_made = Made{r, std::move(digests), masterDigest, {}};
    return r;
}

QByteArray RecordKeeper::recordFor(QByteArrayView plain) {
    QByteArray bytes = record::encode(recordOf(plain));
    m_made->bytes = bytes;
    return bytes;
}
