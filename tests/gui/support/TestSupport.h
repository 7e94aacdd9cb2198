#pragma once

#include "platform/Seams.h"
#include "startup/Program.h"

#include <QByteArray>
#include <QDateTime>
#include <QPointer>
#include <QStringList>
#include <QTemporaryDir>

class Form1;

#include <deque>
#include <functional>
#include <memory>
#include <vector>

// Prepares the process for window tests: the offscreen platform unless a
// display was chosen, and a private runtime and settings folder, before the
// application object exists.
void prepareGuiTestEnvironment();

#define KEYNOOK_GUI_TEST_MAIN(TestClass)                                                           \
    int main(int argc, char** argv) {                                                              \
        prepareGuiTestEnvironment();                                                               \
        QApplication app(argc, argv);                                                              \
        QApplication::setQuitOnLastWindowClosed(false);                                            \
        TestClass tc;                                                                              \
        return QTest::qExec(&tc, argc, argv);                                                      \
    }

// Records every message box and answers from a queue. A box that finds no
// queued answer is answered Closed and counted, so a test sees it.
class RecordingBoxes : public MessageBoxes {
public:
    struct Shown {
        QString text;
        QString title;
        BoxButtons buttons;
        BoxAnswer defaultButton;
        QPointer<QWidget> parent; // the window the box was shown over, if any
    };

    BoxAnswer show(QWidget* parent, const QString& text, const QString& title, BoxButtons buttons,
                   BoxAnswer defaultButton) override;

    std::vector<Shown> shown;
    std::deque<BoxAnswer> answers;
    // Runs once, while the next box is shown, before it is answered.
    std::function<void()> whileShown;
    int unanswered = 0;
};

class RecordingShell : public Shell {
public:
    void openLocation(const QUrl& location) override { opened << location.toString(); }
    void openAddress(const QString& address) override { addresses << address; }
    QStringList opened;
    QStringList addresses;
};

// Answers as a system of the test's choosing would; by default, as one with
// no Windows version record.
class FakeSystem : public SystemInfo {
public:
    bool windowsVersion(WindowsVersion& v) const override {
        v = version;
        return known;
    }
    bool known = false;
    WindowsVersion version;
};

class FixedClock : public Clock {
public:
    QDateTime now() const override { return when; }
    QDateTime when = QDateTime(QDate(2026, 3, 14), QTime(15, 9, 26));
};

// A program whose vault lives in its own temporary folder.
class Harness {
public:
    explicit Harness(VersionRecord version = VersionRecord::ofBuild());
    ~Harness();

    QString vaultPath() const;
    // The name of the vault's lock, beside it while the program holds it.
    QString lockName() const;
    QByteArray vaultBytes() const;
    void writeVault(const QByteArray& bytes) const;

    Program& program() { return *m_program; }
    RecordingBoxes& boxes() { return *m_boxes; }
    FixedClock& clock() { return *m_clock; }
    RecordingShell& shell() { return *m_shell; }
    FakeSystem& system() { return *m_system; }

    // Writes a vault with the master password "master" and these plain entry
    // lines, opens it with the password and returns the shown main window.
    Form1* open(const QList<QByteArray>& entryLines);
    // Writes these vault bytes, starts, types `password` and presses Ok;
    // returns the main window (shown only when the password was right).
    Form1* openFile(const QByteArray& file, const QString& password = QStringLiteral("master"));
    // Types `password` into the password dialog already shown and presses
    // Ok; returns the main window, or null when there was no dialog.
    Form1* enterPassword(const QString& password = QStringLiteral("master"));
    QString folder() const { return m_dir.path(); }

    // Runs pending deletions, so unloaded windows are really gone.
    static void flushDeletes();

private:
    QTemporaryDir m_dir;
    RecordingBoxes* m_boxes = nullptr;
    FixedClock* m_clock = nullptr;
    RecordingShell* m_shell = nullptr;
    FakeSystem* m_system = nullptr;
    std::unique_ptr<Program> m_program;
};

// The usernames of the list, top to bottom.
QStringList shownUsernames(Form1* main);
// Selects these display rows of the list (0-based), and only them.
void selectRows(Form1* main, const QList<int>& rows);

// The vault bytes of a master password and entry lines, as a save writes them.
QByteArray cipherLine(const QByteArray& plain);
