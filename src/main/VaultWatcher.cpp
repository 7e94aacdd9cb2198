#include "main/VaultWatcher.h"

#include "sync/ConflictCopies.h"

#include <QFile>
#include <QFileInfo>
#include <QFileSystemWatcher>
#include <QSocketNotifier>

#include <cerrno>
#include <sys/inotify.h>
#include <unistd.h>

namespace {

// What happens to the vault's name in its folder. Other names there (the
// lock, an engine's temporary files) are not the vault.
constexpr uint32_t kFolderEvents =
    IN_MOVED_TO | IN_CLOSE_WRITE | IN_CREATE | IN_MODIFY | IN_ATTRIB | IN_DELETE | IN_MOVED_FROM;
// Writes to the file through any of its names. Its removal and a rename over
// it show in the folder's events; its watch then ends by itself.
constexpr uint32_t kFileEvents = IN_MODIFY | IN_CLOSE_WRITE | IN_ATTRIB;
// The file under the vault's name is whole: renamed there, or closed by its
// writer.
constexpr uint32_t kWhole = IN_MOVED_TO | IN_CLOSE_WRITE;
// The file under the vault's name may still be changing.
constexpr uint32_t kChanging = IN_CREATE | IN_MODIFY | IN_DELETE | IN_MOVED_FROM;

} // namespace

VaultWatcher::VaultWatcher(const QString& file, std::function<void()> changed, QObject* parent,
                           std::chrono::milliseconds quiet)
    : QObject(parent), m_file(file), m_name(QFile::encodeName(QFileInfo(file).fileName())),
      m_changed(std::move(changed)), m_fileName(QFileInfo(file).fileName()) {
    m_settle.setSingleShot(true);
    m_settle.setInterval(quiet);
    connect(&m_settle, &QTimer::timeout, this, &VaultWatcher::tell);
    m_copySettle.setSingleShot(true);
    m_copySettle.setInterval(quiet);
    connect(&m_copySettle, &QTimer::timeout, this, &VaultWatcher::tellCopy);
    const QString folder = QFileInfo(m_file).absolutePath();
    m_inotify = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (m_inotify >= 0) {
        m_folderWatch = ::inotify_add_watch(m_inotify, QFile::encodeName(folder).constData(),
                                            kFolderEvents | IN_ONLYDIR);
        if (m_folderWatch < 0) {
            ::close(m_inotify);
            m_inotify = -1;
        }
    }
    if (m_inotify >= 0) {
        m_notifier =
            new QSocketNotifier(static_cast<qintptr>(m_inotify), QSocketNotifier::Read, this);
        connect(m_notifier, &QSocketNotifier::activated, this, &VaultWatcher::readEvents);
    } else {
        m_fallback = new QFileSystemWatcher(this);
        const auto soon = [this] { m_settle.start(); };
        connect(m_fallback, &QFileSystemWatcher::fileChanged, this, soon);
        connect(m_fallback, &QFileSystemWatcher::directoryChanged, this, soon);
        // Qt does not say which name changed: any change may be a copy.
        connect(m_fallback, &QFileSystemWatcher::directoryChanged, this,
                [this] { m_copySettle.start(); });
        m_fallback->addPath(folder);
    }
    rewatch();
}

VaultWatcher::~VaultWatcher() {
    delete m_notifier; // before the descriptor it listens to goes
    if (m_inotify >= 0)
        ::close(m_inotify);
}

// Everything the system has to say, at once: only the last word on the file
// counts. A file renamed over the vault and then given its attributes is
// still whole; one written to again after it was closed is not.
void VaultWatcher::readEvents() {
    enum class Seen { Nothing, Whole, Changing };
    Seen seen = Seen::Nothing;
    Seen copy = Seen::Nothing;
    alignas(inotify_event) char buffer[4096];
    for (;;) {
        const ssize_t got = ::read(m_inotify, buffer, sizeof buffer);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            break;
        for (const char* at = buffer; at < buffer + got;) {
            const auto* event = reinterpret_cast<const inotify_event*>(at);
            at += sizeof(inotify_event) + event->len;
            if (event->mask & IN_Q_OVERFLOW) { // events were lost: wait for the quiet
                seen = Seen::Changing;
                copy = Seen::Changing;
                continue;
            }
            const bool vault =
                (event->wd == m_folderWatch && event->len > 0 && m_name == event->name) ||
                (m_fileWatch >= 0 && event->wd == m_fileWatch);
            if (!vault) {
                // A copy going away (merged, say) needs no word; its time
                // set after it arrived (as Syncthing does) is a change.
                if (m_copyArrived && event->wd == m_folderWatch && event->len > 0 &&
                    (event->mask & (kWhole | IN_CREATE | IN_MODIFY | IN_ATTRIB)) &&
                    !conflictcopies::engineOf(m_fileName, QFile::decodeName(event->name)).isEmpty())
                    copy = (event->mask & kWhole) ? Seen::Whole : Seen::Changing;
                continue;
            }
            if (event->mask & kWhole)
                seen = Seen::Whole;
            else if (event->mask & kChanging)
                seen = Seen::Changing;
            else if ((event->mask & IN_ATTRIB) && seen == Seen::Nothing)
                seen = Seen::Changing;
        }
    }
    if (seen == Seen::Whole) {
        m_settle.stop();
        tell();
    } else if (seen == Seen::Changing) {
        m_settle.start();
    }
    if (copy == Seen::Whole) {
        m_copySettle.stop();
        tellCopy();
    } else if (copy == Seen::Changing) {
        m_copySettle.start();
    }
}

void VaultWatcher::tell() {
    rewatch();
    m_changed();
}

void VaultWatcher::tellCopy() {
    if (m_copyArrived)
        m_copyArrived();
}

// A watch on a file replaced by a rename still follows the old file.
void VaultWatcher::rewatch() {
    if (m_fallback) {
        if (m_fallback->files().contains(m_file))
            m_fallback->removePath(m_file);
        if (QFileInfo::exists(m_file))
            m_fallback->addPath(m_file);
        return;
    }
    const int watch =
        ::inotify_add_watch(m_inotify, QFile::encodeName(m_file).constData(), kFileEvents);
    if (m_fileWatch >= 0 && m_fileWatch != watch)
        ::inotify_rm_watch(m_inotify, m_fileWatch);
    m_fileWatch = watch;
}
