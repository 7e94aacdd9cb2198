#pragma once

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QString>

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
