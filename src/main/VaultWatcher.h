#pragma once

#include <QFileSystemWatcher>
#include <QObject>
#include <QString>
#include <QTimer>

#include <functional>

// Tells when the vault file may have changed under the running window. Sync
// engines replace the file by renaming a new one over it, which ends a watch
// on the file itself, so its folder is watched too and the file's watch is
// taken up again after every change. Changes that come in a burst (a write,
// then a rename) are told once.
class VaultWatcher : public QObject {
    Q_OBJECT

public:
    VaultWatcher(const QString& file, std::function<void()> changed, QObject* parent = nullptr);

private:
    void rewatch();

    QString m_file;
    QFileSystemWatcher m_watcher;
    QTimer m_settle;
    std::function<void()> m_changed;
};
