#pragma once

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QRandomGenerator>
#include <QString>

#include <cstdio>
#include <cstdlib>
#include <vector>

// Every file of a stored fuzz corpus, in name order, with its name.
struct CorpusFile {
    QString name;
    QByteArray bytes;
};

inline std::vector<CorpusFile> readCorpus(const QString& folder) {
    std::vector<CorpusFile> files;
    const QDir dir(folder);
    for (const QString& name : dir.entryList(QDir::Files, QDir::Name)) {
        QFile f(dir.filePath(name));
        if (f.open(QIODevice::ReadOnly))
            files.push_back({name, f.readAll()});
    }
    return files;
}

// The generator of a run of randomly broken files. Its start value is
// printed, and KEYNOOK_RANDOM_START gives it again to repeat a run.
inline QRandomGenerator replayRandom() {
    quint32 start = 20261207;
    if (const char* env = std::getenv("KEYNOOK_RANDOM_START"))
        start = static_cast<quint32>(std::strtoul(env, nullptr, 10));
    std::printf("random start value %u (KEYNOOK_RANDOM_START)\n", start);
    return QRandomGenerator(start);
}

// Makes `edits` random edits at or after `from`: a byte inserted, a byte
// replaced, or one to four removed. Half the bytes come from `special`, the
// bytes that matter to the format read.
inline void breakRandomly(QByteArray& f, QRandomGenerator& random, int edits,
                          QByteArrayView special, qsizetype from = 0) {
    for (int e = 0; e < edits; ++e) {
        const qsizetype at =
            from + (f.size() <= from ? 0 : random.bounded(static_cast<quint32>(f.size() - from)));
        const char byte = random.bounded(2u)
                              ? special[random.bounded(static_cast<quint32>(special.size()))]
                              : static_cast<char>(random.bounded(256u));
        switch (random.bounded(3u)) {
        case 0:
            f.insert(at, byte);
            break;
        case 1:
            if (!f.isEmpty())
                f[at] = byte;
            break;
        default:
            f.remove(at, 1 + static_cast<qsizetype>(random.bounded(4u)));
        }
    }
}
