#include "main/VaultWatcher.h"

#include <QFileInfo>

namespace {
// Long enough for an engine's write and rename to land as one change.
constexpr int kSettleMs = 100;
} // namespace

VaultWatcher::VaultWatcher(const QString& file, std::function<void()> changed, QObject* parent)
    : QObject(parent), m_file(file), m_changed(std::move(changed)) {
    m_settle.setSingleShot(true);
    m_settle.setInterval(kSettleMs);
    connect(&m_settle, &QTimer::timeout, this, [this] {
        rewatch();
        m_changed();
    });
    const auto soon = [this] { m_settle.start(); };
    connect(&m_watcher, &QFileSystemWatcher::fileChanged, this, soon);
    connect(&m_watcher, &QFileSystemWatcher::directoryChanged, this, soon);
    m_watcher.addPath(QFileInfo(m_file).absolutePath());
    rewatch();
}

// A watch on a file replaced by a rename still follows the old file.
void VaultWatcher::rewatch() {
    if (m_watcher.files().contains(m_file))
        m_watcher.removePath(m_file);
    if (QFileInfo::exists(m_file))
        m_watcher.addPath(m_file);
}
