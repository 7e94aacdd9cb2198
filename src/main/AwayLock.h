#pragma once

#include <QElapsedTimer>
#include <QObject>

class Program;
class QTimer;

// Locking the window while its person is away. A sealed vault locks after
// some minutes without keyboard or mouse input in any Keynook window, when
// the desktop session locks and when the computer prepares to sleep; a
// plain vault only when its own minutes are set (its file is readable
// anyway, so a lock protects its list from a glance, not from a reader).
//
// Locking puts the vault away: every window hides, the list, its entries,
// the key and the master password are wiped, and what the main window held
// (the entries in their order, the status line) stays only as a copy
// sealed under the vault's key. The master password dialog then asks in its
// verify mode; the right password takes the copy back and shows everything
// as it was, three wrong ones end the program without writing anything.

// The per-user settings, in section "Settings": the minutes without input
// after which a sealed vault's window locks, and those of a plain vault's.
// A decimal fraction is taken (0.5 is half a minute); 0 turns the idle lock
// off.
inline constexpr const char* kLockMinutesKey = "lockMinutes";
inline constexpr const char* kLockMinutesPlainKey = "lockMinutesPlainVault";
inline constexpr double kDefaultLockMinutes = 10;

// Whether this run's vault locks at all when its person leaves, and after
// how many milliseconds without input (0: not on idleness).
bool LocksWhenAway(Program& program);
qint64 IdleLockMilliseconds(Program& program);

enum class AwayResult {
    Locked,
    NotOpen, // no vault open to lock, or already locked
    Later,   // a message box was open: it is closed, ask again once its code ended
};
// Puts the vault away and shows the master password dialog.
AwayResult LockAway(Program& program);

// After the master password dialog took the vault back: the main window's
// list, selection and status line as they were, every hidden window shown
// again, and a change made to the file meanwhile followed as any other.
void ComeBack(Program& program);

// Hears what says the person is away: idleness, the session's screen
// saver and logind's sleep, on the session and system buses.
class AwayWatch : public QObject {
    Q_OBJECT

public:
    AwayWatch(Program& program, QObject* parent);
    // Reads the minutes again and counts from now.
    void restart();
    // Locks now, or as soon as a message box open now is gone.
    void lockNow();

public slots:
    void screenSaverActiveChanged(bool active);
    void prepareForSleep(bool start);

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void idleTimeout();

    Program& m_program;
    QTimer* m_idle = nullptr;
    QTimer* m_retry = nullptr;
    QElapsedTimer m_sinceInput;
    qint64 m_idleMs = 0;
};
