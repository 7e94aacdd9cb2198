// The window locks when its person is away: put away by idleness, the
// screen saver or sleep, it hides every window and keeps nothing of the
// vault but a sealed copy; the master password dialog in verify mode takes
// it back as it was, or ends the program after three wrong passwords.
#include "support/TestSupport.h"

#include "dialogs/frmAdd.h"
#include "dialogs/frmPass.h"
#include "main/AwayLock.h"
#include "main/EntryModel.h"
#include "main/Form1.h"
#include "main/ListView.h"
#include "seal/SealedVault.h"
#include "vault/VaultSession.h"

#include <QApplication>
#include <QClipboard>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QTest>
#include <QTimer>

namespace {

const QString kMaster = QStringLiteral("master");

QByteArray plainVault(const QList<QByteArray>& lines) {
    QByteArray file = cipherLine(kMaster.toLatin1());
    for (const QByteArray& line : lines)
        file += cipherLine(line);
    return file + "\r\n";
}

const QList<QByteArray> kEntries = {"amy|||pw-amy|||a.example", "bob|||pw-bob|||",
                                    "cy|||pw-cy|||c.example"};

QLineEdit* edit(QWidget* w, const char* name) {
    return w ? w->findChild<QLineEdit*>(QString::fromLatin1(name)) : nullptr;
}

// What the person sees of the main window and what stays behind it.
struct Shown {
    QStringList usernames;
    QList<int> selected;
    int current = -1;
    bool sorted = false;
    int sortColumn = 0;
    Qt::SortOrder order = Qt::AscendingOrder;
    QString status;
    bool operator==(const Shown&) const = default;
};

char* toString(const Shown& s) {
    QStringList selected;
    for (int r : s.selected)
        selected << QString::number(r);
    return qstrdup(QStringLiteral("[%1] selected [%2] current %3 sorted %4 by %5 order %6 status "
                                  "\"%7\"")
                       .arg(s.usernames.join(QLatin1Char(',')), selected.join(QLatin1Char(',')))
                       .arg(s.current)
                       .arg(s.sorted)
                       .arg(s.sortColumn)
                       .arg(int(s.order))
                       .arg(s.status)
                       .toUtf8()
                       .constData());
}

Shown shownOf(Form1* main) {
    Shown s;
    s.usernames = shownUsernames(main);
    for (const QModelIndex& i : main->list()->selectionModel()->selectedRows())
        s.selected << i.row();
    std::sort(s.selected.begin(), s.selected.end());
    s.current = main->list()->currentIndex().row();
    s.sorted = main->entries().sorted();
    s.sortColumn = main->entries().sortColumn();
    s.order = main->entries().sortOrder();
    s.status = main->statusText();
    return s;
}

enum class Trigger { Idle, ScreenSaver, Sleep, DuringBox };

} // namespace

Q_DECLARE_METATYPE(Trigger)

class TestAway : public QObject {
    Q_OBJECT

private slots:
    void awayAndBack_data();
    void awayAndBack();
};

void TestAway::awayAndBack_data() {
    QTest::addColumn<bool>("sealed");
    QTest::addColumn<QString>("minutes"); // lockMinutes, or a plain vault's own
    QTest::addColumn<Trigger>("trigger");
    QTest::addColumn<bool>("locks");
    QTest::addColumn<bool>("editor");  // an entry editor open, with text typed
    QTest::addColumn<bool>("outside"); // another copy's change while locked
    QTest::addColumn<int>("wrong");    // wrong passwords before the right one

    const auto row = [](const char* name, bool sealed, const char* minutes, Trigger trigger,
                        bool locks, bool editor, bool outside, int wrong) {
        QTest::newRow(name) << sealed << QString::fromLatin1(minutes) << trigger << locks << editor
                            << outside << wrong;
    };
    row("sealed, idle, editor open, two wrong", true, "0.001", Trigger::Idle, true, true, false, 2);
    row("sealed, screen saver, outside change", true, "", Trigger::ScreenSaver, true, false, true,
        0);
    row("sealed, sleep, three wrong", true, "", Trigger::Sleep, true, false, false, 3);
    row("sealed, while a box is open", true, "", Trigger::DuringBox, true, false, false, 0);
    row("plain with minutes, screen saver, editor, outside", false, "5", Trigger::ScreenSaver, true,
        true, true, 0);
    row("plain without minutes, screen saver", false, "", Trigger::ScreenSaver, false, false, false,
        0);
    row("sealed, idle lock off", true, "0", Trigger::Idle, false, false, false, 0);
}

void TestAway::awayAndBack() {
    QFETCH(bool, sealed);
    QFETCH(QString, minutes);
    QFETCH(Trigger, trigger);
    QFETCH(bool, locks);
    QFETCH(bool, editor);
    QFETCH(bool, outside);
    QFETCH(int, wrong);

    Harness h;
    Program& p = h.program();
    h.writeVault(plainVault(kEntries));
    if (sealed) {
        VaultSession s(h.vaultPath());
        QVERIFY(s.open().ok());
        QVERIFY(s.seal(kMaster, sealedvault::ParamBounds::accepted().least).ok());
    }
    if (!minutes.isEmpty())
        p.settings().write(QStringLiteral("Settings"),
                           QLatin1String(sealed ? kLockMinutesKey : kLockMinutesPlainKey), minutes);
    p.settings().write(QStringLiteral("Settings"), QStringLiteral("showHelp"), QStringLiteral("0"));
    p.loadMainWindow();
    Form1* main = h.enterPassword();
    QVERIFY(main && main->isVisible());
    AwayWatch* watch = main->awayWatch();
    QVERIFY(watch);

    main->lstPass_ColumnClick(1);
    main->lstPass_ColumnClick(1); // descending: cy, bob, amy
    selectRows(main, {1});
    main->list()->setCurrentIndex(main->list()->model()->index(1, 0));
    main->cmdCopy_Click(1);
    QCOMPARE(QGuiApplication::clipboard()->text(), QStringLiteral("pw-bob"));
    frmAdd* add = nullptr;
    if (editor) {
        main->cmdAdd_Click(0);
        add = p.loaded<frmAdd>();
        QVERIFY(add && add->isVisible());
        edit(add, "txtUsername")->setText(QStringLiteral("typed user"));
        edit(add, "txtPassword")->setText(QStringLiteral("typed pw"));
    }
    Shown before = shownOf(main);
    const QByteArray file = h.vaultBytes();

    switch (trigger) {
    case Trigger::Idle:
        break;
    case Trigger::ScreenSaver:
        // The screen saver going off is no reason to lock.
        QMetaObject::invokeMethod(watch, "screenSaverActiveChanged", Q_ARG(bool, false));
        QVERIFY(!p.away.on);
        QMetaObject::invokeMethod(watch, "screenSaverActiveChanged", Q_ARG(bool, true));
        break;
    case Trigger::Sleep:
        QMetaObject::invokeMethod(watch, "prepareForSleep", Q_ARG(bool, true));
        break;
    case Trigger::DuringBox:
        // The delete confirmation is up when the screen locks: the delete
        // goes on as answered, and saves the list as it then is.
        h.boxes().whileShown = [&] {
            watch->lockNow();
            QVERIFY(!p.away.on);
        };
        h.boxes().answers.push_back(BoxAnswer::Ok);
        main->cmdDelete_Click();
        QCOMPARE(main->entries().rowCount(), 2);
        before = shownOf(main);
        break;
    }
    if (!locks) {
        QTest::qWait(50);
        QVERIFY(!p.away.on);
        QVERIFY(!main->findChild<QTimer*>(QStringLiteral("idleLockTimer"))->isActive());
        QVERIFY(main->isVisible());
        return;
    }
    QTRY_VERIFY(p.away.on);
    const QByteArray lockedFile = h.vaultBytes();
    if (trigger != Trigger::DuringBox)
        QCOMPARE(lockedFile, file);

    // Locked: nothing shows, nothing of the vault is held but the copy.
    frmPass* dialog = p.loaded<frmPass>();
    QVERIFY(dialog && dialog->isVisible());
    QVERIFY(!main->isVisible());
    QVERIFY(!add || !add->isVisible());
    QVERIFY(!edit(dialog, "txtPass2")->isVisible());
    QCOMPARE(dialog->findChild<QLabel*>(QStringLiteral("SkinLabel1"))->text(),
             QStringLiteral("Please enter your password"));
    QCOMPARE(main->entries().rowCount(), 0);
    QCOMPARE(main->statusText(), QString());
    QVERIFY(p.MasterPassword.isEmpty() && p.StoredPassword.isEmpty());
    QVERIFY(p.vault->storedPassword().isEmpty() && p.vault->key().isNull());
    QVERIFY(p.EditPassword.isEmpty());
    QVERIFY(!p.away.copy.contains("pw-bob") &&
            !p.away.copy.contains(cipherLine("pw-bob").chopped(2)));
    if (trigger != Trigger::DuringBox)
        QVERIFY(QGuiApplication::clipboard()->text().isEmpty());

    QByteArray theirs;
    if (outside) {
        // Another copy added an entry, under the same key when sealed.
        theirs = plainVault(kEntries + QList<QByteArray>{"dee|||pw-dee|||"});
        if (sealed) {
            sealedvault::Unsealed u = sealedvault::unseal(lockedFile, kMaster);
            QVERIFY(u.ok());
            theirs = sealedvault::seal(theirs, u.key);
        }
        h.writeVault(theirs);
    }

    for (int i = 0; i < wrong; ++i)
        h.boxes().answers.push_back(BoxAnswer::Retry);
    h.boxes().shown.clear();
    for (int i = 0; i < wrong; ++i) {
        QLineEdit* box = edit(dialog, "txtPass");
        QTest::keyClicks(box, QStringLiteral("Master"));
        QTest::keyClick(box, Qt::Key_Return);
    }
    if (wrong >= 3) {
        QVERIFY(p.ended());
        QCOMPARE(h.boxes().shown.back().text,
                 QStringLiteral("Only 3 tries allowed.  Click Ok to close."));
        QCOMPARE(h.vaultBytes(), file);
        return;
    }
    QCOMPARE(int(h.boxes().shown.size()), wrong);
    QTest::keyClicks(edit(dialog, "txtPass"), kMaster);
    QTest::keyClick(edit(dialog, "txtPass"), Qt::Key_Return);
    QTRY_VERIFY(main->isVisible());
    QVERIFY(!p.away.on);
    Harness::flushDeletes();
    QVERIFY(!p.loaded<frmPass>());
    QCOMPARE(p.MasterPassword, kMaster);

    if (outside) {
        before.usernames.append(QStringLiteral("dee"));
        std::sort(before.usernames.begin(), before.usernames.end());
        if (before.order == Qt::DescendingOrder)
            std::reverse(before.usernames.begin(), before.usernames.end());
        before.selected = {int(before.usernames.indexOf(QStringLiteral("bob")))};
        before.current = before.selected[0];
        before.status = QStringLiteral("Updated from another copy: 1 added, 0 removed.");
    }
    QCOMPARE(shownOf(main), before);
    QCOMPARE(main->list()->header()->sortIndicatorSection(), 0);
    if (add) {
        QVERIFY(add->isVisible());
        QCOMPARE(edit(add, "txtUsername")->text(), QStringLiteral("typed user"));
        // The key is back: the editor's Save writes the vault, sealed again.
        add->cmdAdd_Click(0);
        QCOMPARE(main->entries().rowCount(), before.usernames.size() + 1);
        const QByteArray saved = h.vaultBytes();
        QByteArray plain = saved;
        if (sealed) {
            sealedvault::Unsealed u = sealedvault::unseal(saved, kMaster);
            QVERIFY(u.ok());
            plain = u.plain;
        }
        QVERIFY(plain.contains(cipherLine("typed user|||typed pw|||").chopped(2)));
        QCOMPARE(qsizetype(EntryStore::fromFile(plain).size()), before.usernames.size() + 1);
    } else if (!outside) {
        QCOMPARE(h.vaultBytes(), lockedFile);
    }
}

KEYNOOK_GUI_TEST_MAIN(TestAway)
#include "tst_away.moc"
