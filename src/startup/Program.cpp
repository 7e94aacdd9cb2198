#include "startup/Program.h"

#include "main/Form1.h"
#include "startup/frmSplash.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTimer>

#include <algorithm>

#ifdef Q_OS_LINUX
#include <climits>
#include <fcntl.h>
#include <unistd.h>
#endif

// The pictures and the skin are compiled into the window library; a static
// library's resources must be registered by hand.
static void registerResources() {
    Q_INIT_RESOURCE(resources);
}

Program::Program(Options options) : m_options(std::move(options)) {
    registerResources();
    if (!m_options.boxes)
        m_options.boxes = std::make_unique<QtMessageBoxes>();
    if (!m_options.clock)
        m_options.clock = std::make_unique<SystemClock>();
    if (!m_options.shell)
        m_options.shell = std::make_unique<DesktopShell>();
    if (!m_options.settings)
        m_options.settings = std::make_unique<QtSettingsStore>(m_options.version.productName,
                                                               m_options.version.productName);
    if (!m_options.system)
        m_options.system = std::make_unique<RunningSystem>();
}

Program::~Program() {
    auto windows = std::move(m_windows);
    for (auto& [type, window] : windows)
        delete window->widget();
}

void Program::unloadWindow(Window* window) {
    for (auto it = m_windows.begin(); it != m_windows.end(); ++it) {
        if (it->second != window)
            continue;
        m_windows.erase(it);
        window->Form_Unload();
        // The handler that asked for the unload may still be running on this
        // window, so it goes away once control is back in the event loop.
        QWidget* w = window->widget();
        w->hide();
        w->deleteLater();
        return;
    }
}

void Program::start() {
    if (frmSplash* splash = form<frmSplash>())
        splash->show();
}

void Program::loadMainWindow() {
    if (Form1* main = form<Form1>())
        main->show();
}

Companion& Program::companion() {
    if (!SkinCompanion)
        SkinCompanion = std::make_unique<Companion>();
    return *SkinCompanion;
}

void Program::end() {
    if (m_ended)
        return;
    m_ended = true;
    auto windows = std::move(m_windows);
    m_windows.clear();
    for (auto& [type, window] : windows) {
        QWidget* w = window->widget();
        for (QTimer* timer : w->findChildren<QTimer*>())
            timer->stop();
        w->blockSignals(true);
        w->hide();
        w->deleteLater();
    }
    if (m_onEnd)
        m_onEnd();
}

QString Program::vaultPath() const {
    return QDir(m_options.vaultFolder).filePath(QStringLiteral("data.enc"));
}

namespace {
const QString kHelpFile = QStringLiteral("Help.rtf");

// Where `cmake --install` puts the help file, seen from the bin folder.
QString installedHelpFolder(const QString& programFolder) {
    return QDir::cleanPath(programFolder + QStringLiteral("/../share/keynook"));
}

bool holdsHelp(const QString& folder) {
    return QFileInfo::exists(QDir(folder).filePath(kHelpFile));
}

// The vault folder is private: made 0700 when it is new. Its parents are
// ordinary folders of the user's home.
void makePrivateFolder(const QString& folder) {
    if (QFileInfo::exists(folder))
        return;
    const QFileInfo info(folder);
    QDir().mkpath(info.absolutePath());
    QDir().mkdir(folder, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
}
} // namespace

bool Program::isInstalledLayout(const QString& programFolder) {
    return !holdsHelp(programFolder) && holdsHelp(installedHelpFolder(programFolder));
}

QString Program::chooseHelpFolder(const QString& programFolder) {
    return isInstalledLayout(programFolder) ? installedHelpFolder(programFolder) : programFolder;
}

QString Program::runningProgramFolder() {
#ifdef Q_OS_LINUX
    char buffer[PATH_MAX + 1];
    const ssize_t n = ::readlink("/proc/self/exe", buffer, PATH_MAX);
    if (n > 0) {
        const QByteArray exe(buffer, n);
        const QByteArray folder = exe.left(std::max<qsizetype>(exe.lastIndexOf('/'), 1));
        const QString text = QFile::decodeName(folder);
        if (QFile::encodeName(text) == folder)
            return text;
        const int fd = ::open(folder.constData(), O_PATH | O_DIRECTORY | O_CLOEXEC);
        if (fd >= 0)
            return QStringLiteral("/proc/self/fd/%1").arg(fd);
    }
#endif
    return QCoreApplication::applicationDirPath();
}

QString Program::chooseVaultFolder(const QString& programFolder, const QString& userDataFolder) {
    if (QFileInfo::exists(QDir(programFolder).filePath(QStringLiteral("data.enc"))))
        return programFolder;
    // An installed bin folder is shared by every program there (and by every
    // user, for a system-wide install), even when this user can write to it,
    // as with a prefix of ~/.local.
    if (!isInstalledLayout(programFolder) && QFileInfo(programFolder).isWritable())
        return programFolder;
    makePrivateFolder(userDataFolder);
    return userDataFolder;
}
