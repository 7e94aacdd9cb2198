#include "support/BenchVault.h"

#include "main/Form1.h"

#include <QCoreApplication>
#include <QFileInfo>

BenchVault::BenchVault(const std::vector<Entry>& entries) {
    QList<QByteArray> lines;
    lines.reserve(static_cast<qsizetype>(entries.size()));
    for (const Entry& e : entries) {
        // The harness takes plain lines; the sample texts are plain ASCII
        // without bars, so they need no escaping.
        lines.append(e.username.toLatin1() + "|||" + e.password.toLatin1() + "|||" +
                     e.location.toLatin1());
    }
    Form1* main = m_harness.open(lines);
    lines.clear();
    settle();
    const QString loaded = QStringLiteral("Loaded %1 entries").arg(entries.size());
    if (!main || !main->isVisible() || main->statusText() != loaded) {
        m_error = QStringLiteral("the vault did not open: ") +
                  (main ? main->statusText() : QStringLiteral("no main window"));
        return;
    }
    m_main = main;
}

int BenchVault::boxesShown() const {
    return static_cast<int>(const_cast<Harness&>(m_harness).boxes().shown.size());
}

QString BenchVault::lastBoxText() const {
    const auto& shown = const_cast<Harness&>(m_harness).boxes().shown;
    return shown.empty() ? QString() : shown.back().text;
}

qint64 BenchVault::vaultSize() const {
    return QFileInfo(m_harness.vaultPath()).size();
}

void BenchVault::settle() {
    QCoreApplication::processEvents();
    // Outside a running event loop, deleteLater waits for this explicit call.
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
}
