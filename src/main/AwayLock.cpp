#include "main/AwayLock.h"

#include "dialogs/frmPass.h"
#include "main/EntryModel.h"
#include "main/Form1.h"
#include "main/ListView.h"
#include "main/modGlobals.h"
#include "secrets/Wipe.h"
#include "startup/Program.h"
#include "vault/VaultSession.h"

#include <QApplication>
#include <QDBusConnection>
#include <QEvent>
#include <QItemSelectionModel>
#include <QLocale>
#include <QTimer>
#include <QtEndian>

#include <cstring>
#include <limits>

namespace {

// The status line rides behind the entries in the sealed copy, its length
// in the last eight bytes.
constexpr qsizetype kLengthBytes = 8;

double minutesSetting(Program& program, bool sealed) {
    const QString text = program.settings().read(
        QStringLiteral("Settings"), QLatin1String(sealed ? kLockMinutesKey : kLockMinutesPlainKey),
        sealed ? QString::number(kDefaultLockMinutes) : QStringLiteral("0"));
    bool ok = false;
    const double minutes = QLocale::c().toDouble(text.trimmed(), &ok);
    if (!ok || !(minutes >= 0))
        return sealed ? kDefaultLockMinutes : 0;
    return minutes;
}

bool sealedVault(const Program& program) {
    return program.vault && program.vault->sealed();
}

} // namespace

bool LocksWhenAway(Program& program) {
    return sealedVault(program) || minutesSetting(program, false) > 0;
}

qint64 IdleLockMilliseconds(Program& program) {
    const double ms = minutesSetting(program, sealedVault(program)) * 60'000.0;
    return ms >= double(std::numeric_limits<int>::max()) ? std::numeric_limits<int>::max()
                                                         : qint64(ms);
}

AwayResult LockAway(Program& program) {
    Form1* main = program.loaded<Form1>();
    if (program.ended() || program.away.on || !main || !program.vault ||
        program.MasterPassword.isEmpty() || program.loaded<frmPass>())
        return AwayResult::NotOpen;
    // The code that showed a box goes on with the list once it is answered:
    // the box is answered as its close box would, and the lock waits for
    // that code to end. A box may show an entry's password.
    if (program.boxesOpen() > 0) {
        if (QWidget* box = QApplication::activeModalWidget())
            box->close();
        return AwayResult::Later;
    }
    for (int i = 0; i < 16 && QApplication::activePopupWidget(); ++i)
        QApplication::activePopupWidget()->close();

    // What the main window holds, as the sealed copy keeps it.
    QByteArray status = main->statusText().toUtf8();
    QByteArray kept;
    {
        const vaultformat::FilePieces file =
            main->entries().keptFile(program.MasterPassword, program.vault->masterLineAsRead());
        kept.reserve(file.size() + status.size() + kLengthBytes);
        for (const QByteArrayView piece : file.pieces())
            kept.append(piece);
    }
    kept.append(status);
    char length[kLengthBytes];
    qToLittleEndian<qint64>(status.size(), length);
    kept.append(length, kLengthBytes);
    QByteArray copy = program.vault->putAway(kept, program.awayKeyParams());
    secrets::wipe(kept);
    secrets::wipe(status);
    if (copy.isEmpty())
        return AwayResult::NotOpen;

    program.away.on = true;
    program.away.copy = std::move(copy);
    main->clearPasswordFromClipboard();
    ListView* list = main->list();
    program.away.selectedRows.clear();
    for (const QModelIndex& index : list->selectionModel()->selectedRows())
        program.away.selectedRows << index.row();
    program.away.currentRow = list->currentIndex().row();
    main->entries().dropEntries();
    main->setStatusText(QString());
    // The editor keeps its text, hidden; what handed it over goes.
    for (QString* secret : {&program.MasterPassword, &program.StoredPassword, &program.EditUsername,
                            &program.EditPassword, &program.EditLocation})
        secrets::wipe(*secret);

    program.away.active = QApplication::activeWindow();
    program.away.windows.clear();
    for (QWidget* w : QApplication::topLevelWidgets())
        if (w->isVisible()) {
            program.away.windows.emplace_back(w);
            w->hide();
        }
    PromptPassword(program);
    return AwayResult::Locked;
}

void ComeBack(Program& program) {
    Form1* main = program.loaded<Form1>();
    QByteArray plain = std::exchange(program.away.copy, QByteArray());
    program.away.on = false;
    if (!main || plain.size() < kLengthBytes) {
        secrets::wipe(plain);
        program.end();
        return;
    }
    const qint64 statusSize =
        qFromLittleEndian<qint64>(plain.constData() + plain.size() - kLengthBytes);
    const qsizetype fileSize = plain.size() - kLengthBytes - qsizetype(statusSize);
    const QString status = QString::fromUtf8(plain.sliced(fileSize, qsizetype(statusSize)));
    std::memset(plain.data() + fileSize, 0, size_t(plain.size() - fileSize));
    plain.truncate(fileSize);
    if (!main->entries().bringBack(std::move(plain))) {
        program.end();
        return;
    }
    EntryModel& entries = main->entries();
    ListView* list = main->list();
    QItemSelection selection;
    for (const int row : std::as_const(program.away.selectedRows))
        if (row < entries.rowCount())
            selection.select(entries.index(row, 0),
                             entries.index(row, EntryModel::ColumnCount - 1));
    if (program.away.currentRow >= 0 && program.away.currentRow < entries.rowCount())
        list->selectionModel()->setCurrentIndex(entries.index(program.away.currentRow, 0),
                                                QItemSelectionModel::NoUpdate);
    list->selectionModel()->select(selection, QItemSelectionModel::ClearAndSelect);
    main->setStatusText(status);

    program.unload<frmPass>();
    const std::vector<QPointer<QWidget>> windows = std::exchange(program.away.windows, {});
    main->setVisible(true);
    for (const QPointer<QWidget>& w : windows)
        if (w && w != main)
            w->setVisible(true);
    if (QWidget* active = program.away.active ? program.away.active.data() : main) {
        active->raise();
        active->activateWindow();
    }
    FollowOutsideChange(program);
    MergeWaitingCopies(program);
    if (AwayWatch* watch = main->awayWatch())
        watch->restart();
}

AwayWatch::AwayWatch(Program& program, QObject* parent) : QObject(parent), m_program(program) {
    m_idle = new QTimer(this);
    m_idle->setObjectName(QStringLiteral("idleLockTimer"));
    m_idle->setSingleShot(true);
    connect(m_idle, &QTimer::timeout, this, &AwayWatch::idleTimeout);
    m_retry = new QTimer(this);
    m_retry->setInterval(50);
    connect(m_retry, &QTimer::timeout, this, &AwayWatch::lockNow);
    qApp->installEventFilter(this);

    // Any sender: the screen saver names itself on the bus under either
    // name, or under neither; a signal from another program can only lock.
    QDBusConnection session = QDBusConnection::sessionBus();
    for (const char* name : {"org.freedesktop.ScreenSaver", "org.gnome.ScreenSaver"})
        session.connect(QString(), QString(), QLatin1String(name), QStringLiteral("ActiveChanged"),
                        this, SLOT(screenSaverActiveChanged(bool)));
    QDBusConnection::systemBus().connect(QString(), QStringLiteral("/org/freedesktop/login1"),
                                         QStringLiteral("org.freedesktop.login1.Manager"),
                                         QStringLiteral("PrepareForSleep"), this,
                                         SLOT(prepareForSleep(bool)));
    restart();
}

void AwayWatch::restart() {
    m_retry->stop();
    m_idleMs = IdleLockMilliseconds(m_program);
    m_sinceInput.start();
    if (m_idleMs > 0 && LocksWhenAway(m_program))
        m_idle->start(int(m_idleMs));
    else
        m_idle->stop();
}

void AwayWatch::idleTimeout() {
    if (m_program.away.on)
        return;
    const qint64 since = m_sinceInput.elapsed();
    if (since >= m_idleMs)
        lockNow();
    else
        m_idle->start(int(m_idleMs - since));
}

void AwayWatch::lockNow() {
    if (!LocksWhenAway(m_program)) {
        m_retry->stop();
        return;
    }
    switch (LockAway(m_program)) {
    case AwayResult::Later:
        m_retry->start();
        break;
    case AwayResult::Locked:
        m_idle->stop();
        m_retry->stop();
        break;
    case AwayResult::NotOpen:
        m_retry->stop();
        break;
    }
}

void AwayWatch::screenSaverActiveChanged(bool active) {
    if (active)
        lockNow();
}

void AwayWatch::prepareForSleep(bool start) {
    if (start)
        lockNow();
}

bool AwayWatch::eventFilter(QObject* watched, QEvent* event) {
    switch (event->type()) {
    case QEvent::KeyPress:
    case QEvent::KeyRelease:
    case QEvent::MouseButtonPress:
    case QEvent::MouseButtonRelease:
    case QEvent::MouseButtonDblClick:
    case QEvent::MouseMove:
    case QEvent::Wheel:
    case QEvent::TouchBegin:
    case QEvent::TouchUpdate:
    case QEvent::TabletPress:
        m_sinceInput.restart();
        break;
    default:
        break;
    }
    return QObject::eventFilter(watched, event);
}
