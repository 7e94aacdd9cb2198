#include "startup/Program.h"

#include "main/Form1.h"
#include "startup/frmSplash.h"
#include "vault/VaultLocation.h"

#include <QTimer>

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

BoxAnswer Program::CountedBoxes::show(QWidget* parent, const QString& text, const QString& title,
                                      BoxButtons buttons, BoxAnswer defaultButton) {
    ++m_program.m_boxesOpen;
    const BoxAnswer answer =
        m_program.m_options.boxes->show(parent, text, title, buttons, defaultButton);
    --m_program.m_boxesOpen;
    return answer;
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
    if (!m_options.vaultFile.isEmpty())
        return m_options.vaultFile;
    return vaultlocation::vaultPath(m_options.vaultFolder);
}
