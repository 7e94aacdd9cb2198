#include "sync/RecordKeeper.h"

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
    QDir().mkpath(QFileInfo(m_path).absolutePath());
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

void RecordKeeper::current(QByteArrayView plain, QByteArrayView bytes) {
    const record::Lines lines = record::linesOf(plain);
    record::Record r = read(lines, bytes);
    m_masterKey = record::runDigest(lines.master);
    // The marks grouped by line, each line's in file order.
    std::vector<std::pair<quint64, quint32>> keyed;
    keyed.reserve(lines.entries.size());
    for (size_t i = 0; i < lines.entries.size(); ++i)
        keyed.push_back({record::runDigest(lines.entries[i]), quint32(i)});
    std::sort(keyed.begin(), keyed.end());
    m_runOf.clear();
    m_runOf.reserve(keyed.size());
    m_linesByDigest.clear();
    m_linesByDigest.reserve(keyed.size());
    for (size_t at = 0; at < keyed.size(); ++at) {
        // Sorted, so a run's first line makes its place and the rest count.
        ++m_runOf.try_emplace(keyed[at].first, quint32(at), quint32(0)).first->second.second;
        m_linesByDigest.push_back(keyed[at].second);
    }
    m_current = std::move(r);
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
    m_runOf.clear();
    m_linesByDigest.clear();
}

record::Record RecordKeeper::recordOf(QByteArrayView plain) {
    const record::Lines lines = record::linesOf(plain);
    if (!m_current)
        return record::startFor(lines);
    const record::Record& was = *m_current;
    record::Record r;
    r.vector = was.vector;
    r.marks.resize(lines.entries.size());
    // How many marks of each run the new lines took, by the run's start.
    std::vector<quint32> taken(m_linesByDigest.size(), 0);
    std::vector<size_t> fresh;
    for (size_t i = 0; i < lines.entries.size(); ++i) {
        const auto run = m_runOf.find(record::runDigest(lines.entries[i]));
        if (run != m_runOf.end() && taken[run->second.first] < run->second.second) {
            r.marks[i] = was.marks[m_linesByDigest[run->second.first + taken[run->second.first]++]];
            continue;
        }
        fresh.push_back(i);
    }
    const bool newMaster = record::runDigest(lines.master) != m_masterKey;
    const quint64 count = fresh.size() + (newMaster ? 1 : 0);
    // The marks of lines that went: a content mark is listed as removed,
    // every other one stays covered by the vector.
    std::vector<quint64> removed;
    for (const auto& [key, run] : m_runOf)
        for (quint32 k = taken[run.first]; k < run.second; ++k)
            if (const record::Mark& m = was.marks[m_linesByDigest[run.first + k]]; m.isContent())
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
    return r;
}

QByteArray RecordKeeper::recordFor(QByteArrayView plain) {
    return record::encode(recordOf(plain));
}
