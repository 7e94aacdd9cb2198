#pragma once

#include <QByteArray>
#include <QObject>
#include <QString>
#include <QTimer>

#include <chrono>
#include <functional>

class QFileSystemWatcher;
class QSocketNotifier;

// Tells when the vault file may have changed under the running window. Sync
// engines deliver a change by renaming a new file over the vault: that file
// is whole the moment it has the vault's name, so it is told at once, and so
// is a file closed after a write. Anything else done to the vault (a write
// still going on, a removal, new attributes) is told once the file has been
// quiet for `quiet`, so that a burst is told once and a half-written file is
// not read. The folder is watched for what happens to the vault's name, the
// file itself for writes through another name of it; the file's watch is
// taken up again after every change, since a rename replaces the file.
//
// When told to (tellCopies), it also tells of a conflict copy of the vault
// that an engine puts in the folder (conflictcopies::engineOf), by the same
// rules: at once when it is whole under its name, else after the quiet.
class VaultWatcher : public QObject {
    Q_OBJECT

public:
    VaultWatcher(const QString& file, std::function<void()> changed, QObject* parent = nullptr,
                 std::chrono::milliseconds quiet = std::chrono::milliseconds(100));
    ~VaultWatcher() override;

    void tellCopies(std::function<void()> arrived) { m_copyArrived = std::move(arrived); }

private:
    void readEvents();
    void tell();
    void tellCopy();
    void rewatch();

    QString m_file;
    QByteArray m_name; // the file's name in its folder, as the system gives it
    int m_inotify = -1;
    int m_folderWatch = -1;
    int m_fileWatch = -1;
    QSocketNotifier* m_notifier = nullptr;
    // When the system gives no inotify instance or no watch on the folder
    // (the user's limits reached): Qt's watcher, which polls when it gets no
    // watch either, and whose every change waits for the quiet.
    QFileSystemWatcher* m_fallback = nullptr;
    QTimer m_settle;
    QTimer m_copySettle;
    std::function<void()> m_changed;
    std::function<void()> m_copyArrived;
    QString m_fileName; // the vault's name, for conflictcopies::engineOf
};
