// A sealed vault in the windows: the password dialog opens it with the same
// texts, tries and Cancel as a plain one, stays busy while the key is derived,
// ends the program on a damaged file, every save seals again, and a copied
// password does not stay on the clipboard.
#include "support/TestSupport.h"

#include "dialogs/frmAdd.h"
#include "dialogs/frmPass.h"
#include "main/EntryModel.h"
#include "main/Form1.h"
#include "platform/Twips.h"
#include "seal/SealedVault.h"
#include "vault/VaultSession.h"

#include <QAction>
#include <QApplication>
#include <QClipboard>
#include <QCursor>
#include <QDir>
#include <QFileInfo>
#include <QLabel>
#include <QLineEdit>
#include <QMouseEvent>
#include <QPushButton>
#include <QTest>
#include <QTimer>

#include <functional>

namespace {

using sealedvault::SealParams;
namespace layout = sealedvault::layout;

const QString kMaster = QStringLiteral("master");
const QString kWrong = QStringLiteral("Sorry, the password you entered was not correct.");
const QString kThreeTries = QStringLiteral("Only 3 tries allowed.  Click Ok to close.");
const QString kDamaged = QStringLiteral(
    "The sealed vault is damaged, or was changed outside Keynook, so it cannot be opened.");
const QList<QByteArray> kTwo = {"amy|||pw-amy|||a.example", "bob|||pw-bob|||"};

QByteArray plainVault(const QList<QByteArray>& entryLines) {
    QByteArray file = cipherLine(kMaster.toLatin1());
    for (const QByteArray& line : entryLines)
        file += cipherLine(line);
    return file + "\r\n";
}

// Seals the harness's vault in place, through the session as keynook-cli
// does, but with a key derivation cheap enough for tests: the reader takes
// the parameters from the header.
bool sealInPlace(const Harness& h) {
    VaultSession session(h.vaultPath());
    return session.open().ok() && session.seal(kMaster, SealParams{1, 8u << 20}).ok();
}

// Writes the vault in the plain form (or sealed) and shows the dialog.
frmPass* startOn(Harness& h, const QByteArray& plain, bool sealed) {
    h.writeVault(plain);
    if (sealed && !sealInPlace(h))
        return nullptr;
    h.program().loadMainWindow();
    return h.program().loaded<frmPass>();
}

QLineEdit* box(frmPass* d, const char* name) {
    return d->findChild<QLineEdit*>(QString::fromLatin1(name));
}

QPushButton* button(QWidget* w, const char* name) {
    return w->findChild<QPushButton*>(QString::fromLatin1(name));
}

// Types into whatever has the dialog's focus and presses Enter there, as a
// person does after each Retry: the password box must have it.
bool typeAndEnter(frmPass* d, const QString& text) {
    QWidget* focus = d->focusWidget();
    if (focus != box(d, "txtPass"))
        return false;
    QTest::keyClicks(focus, text);
    QTest::keyClick(focus, Qt::Key_Return);
    return true;
}

// The main window after the right password, typed on a start over `plain`,
// sealed first when asked; null when it did not come.
Form1* unlockOn(Harness& h, const QByteArray& plain, bool sealed) {
    frmPass* d = startOn(h, plain, sealed);
    return d && typeAndEnter(d, kMaster) ? h.program().loaded<Form1>() : nullptr;
}

QByteArray opened(const QByteArray& file) {
    sealedvault::Unsealed u = sealedvault::unseal(file, kMaster);
    return u.ok() ? u.plain : QByteArray("<") + QByteArray::number(int(u.outcome)) + ">";
}

QByteArray nonceOf(const QByteArray& file) {
    return file.mid(layout::kNonceAt, layout::kNonceSize);
}

QByteArray saltOf(const QByteArray& file) {
    return file.mid(layout::kSaltAt, layout::kSaltSize);
}

bool startsWithMagic(const QByteArray& file) {
    return file.startsWith(QByteArrayView(layout::kMagic, layout::kMagicSize));
}

// Calls back for each event `watched` receives, before the widget sees it.
class Spy : public QObject {
public:
    Spy(QObject* watched, std::function<void(QEvent*)> seen) : m_seen(std::move(seen)) {
        watched->installEventFilter(this);
    }
    bool eventFilter(QObject*, QEvent* event) override {
        m_seen(event);
        return false;
    }

private:
    std::function<void(QEvent*)> m_seen;
};

Qt::CursorShape overrideShape() {
    const QCursor* c = QApplication::overrideCursor();
    return c ? c->shape() : Qt::ArrowCursor;
}

QTimer* clipboardTimer(Form1* main) {
    return main->findChild<QTimer*>(QStringLiteral("clipboardTimer"));
}

} // namespace

class TestSealed : public QObject {
    Q_OBJECT

private slots:
    void init() { QGuiApplication::clipboard()->clear(); }

    void bothFormsAskInTheVerifyLayout_data();
    void bothFormsAskInTheVerifyLayout();
    void rightPasswordLoadsTheEntries_data();
    void rightPasswordLoadsTheEntries();
    void wrongPasswordsGoThroughTheSameTriesAndCancel_data();
    void wrongPasswordsGoThroughTheSameTriesAndCancel();
    void damagedSealedVaultEndsWithTheMessageAndWritesNothing_data();
    void damagedSealedVaultEndsWithTheMessageAndWritesNothing();
    void changedMagicIsDamageBeforeAnyPassword();
    void derivationKeepsTheDialogBusyAndDropsAQueuedClick_data();
    void derivationKeepsTheDialogBusyAndDropsAQueuedClick();
    void savesSealAgainAndTheVaultReopens();
    void copiedPasswordLeavesTheClipboardOnlyFromASealedVault_data();
    void copiedPasswordLeavesTheClipboardOnlyFromASealedVault();
    void copiedPasswordLeavesTheClipboardWhenTheProgramEnds_data();
    void copiedPasswordLeavesTheClipboardWhenTheProgramEnds();
};

void TestSealed::bothFormsAskInTheVerifyLayout_data() {
    QTest::addColumn<bool>("sealed");
    QTest::newRow("plain") << false;
    QTest::newRow("sealed") << true;
}

void TestSealed::bothFormsAskInTheVerifyLayout() {
    QFETCH(bool, sealed);
    Harness h;
    frmPass* d = startOn(h, plainVault(kTwo), sealed);
    QVERIFY(d);
    const QByteArray before = h.vaultBytes();
    QCOMPARE(startsWithMagic(before), sealed);
    QVERIFY(d->isVisible());
    QCOMPARE(d->windowTitle(), QStringLiteral("Password Required"));
    QCOMPARE(h.program().PasswordMode, qint16(0));
    QCOMPARE(d->findChild<QLabel*>(QStringLiteral("SkinLabel1"))->text(),
             QStringLiteral("Please enter your password"));
    QCOMPARE(box(d, "txtPass")->y(), tw(360));
    QVERIFY(!box(d, "txtPass2")->isVisibleTo(d));
    QVERIFY(!d->findChild<QLabel*>(QStringLiteral("SkinLabel3"))->isVisibleTo(d));
    QCOMPARE(button(d, "cmdOK")->y(), tw(780));
    QCOMPARE(button(d, "cmdCancel")->y(), tw(780));
    QCOMPARE(d->focusWidget(), box(d, "txtPass"));
    QVERIFY(d->windowFlags().testFlag(Qt::WindowStaysOnTopHint));
    // Nothing of a sealed vault is known before the password opens it.
    QCOMPARE(h.program().StoredPassword, sealed ? QString() : kMaster);
    QVERIFY(h.boxes().shown.empty());
    QCOMPARE(h.vaultBytes(), before);
}

void TestSealed::rightPasswordLoadsTheEntries_data() {
    QTest::addColumn<QList<QByteArray>>("lines");
    QTest::addColumn<QStringList>("usernames");
    QTest::newRow("none") << QList<QByteArray>{} << QStringList{};
    QTest::newRow("two, in file order") << kTwo << QStringList{"amy", "bob"};
    QTest::newRow("an empty line, two and four fields")
        << QList<QByteArray>{"zed|||1|||z", "", "mid|||2|||m|||extra", "solo"}
        << QStringList{"zed", "mid", "solo"};
}

void TestSealed::rightPasswordLoadsTheEntries() {
    QFETCH(QList<QByteArray>, lines);
    QFETCH(QStringList, usernames);
    Harness h;
    frmPass* d = startOn(h, plainVault(lines), true);
    QVERIFY(d);
    const QByteArray sealedFile = h.vaultBytes();
    QVERIFY(typeAndEnter(d, kMaster));
    Form1* main = h.program().loaded<Form1>();
    QVERIFY(!h.program().ended());
    QVERIFY(main->isVisible());
    QVERIFY(!h.program().loaded<frmPass>());
    QCOMPARE(main->statusText(), QStringLiteral("Loaded %1 entries").arg(usernames.size()));
    QCOMPARE(shownUsernames(main), usernames);
    QCOMPARE(h.program().MasterPassword, kMaster);
    QCOMPARE(h.program().StoredPassword, kMaster);
    QVERIFY(h.boxes().shown.empty());
    QVERIFY(!QApplication::overrideCursor());
    // Opening writes nothing.
    QCOMPARE(h.vaultBytes(), sealedFile);
}

void TestSealed::wrongPasswordsGoThroughTheSameTriesAndCancel_data() {
    QTest::addColumn<bool>("sealed");
    QTest::addColumn<QList<BoxAnswer>>("answers");
    // Typed in turn; the last may be the right one.
    QTest::addColumn<QStringList>("typed");
    QTest::addColumn<QStringList>("texts");
    QTest::addColumn<bool>("ends");
    const QList<BoxAnswer> threeRetries = {BoxAnswer::Retry, BoxAnswer::Retry, BoxAnswer::Retry,
                                           BoxAnswer::Ok};
    const QStringList threeWrong = {"wrong", "MASTER", ""};
    const QStringList afterThree = {kWrong, kWrong, kWrong, kThreeTries};
    for (bool sealed : {false, true}) {
        const char* form = sealed ? "sealed" : "plain";
        QTest::addRow("%s, three wrong, each Retry", form)
            << sealed << threeRetries << threeWrong << afterThree << true;
        QTest::addRow("%s, Cancel at the first", form)
            << sealed << QList<BoxAnswer>{BoxAnswer::Cancel} << QStringList{"wrong"}
            << QStringList{kWrong} << true;
        QTest::addRow("%s, Cancel at the second", form)
            << sealed << QList<BoxAnswer>{BoxAnswer::Retry, BoxAnswer::Cancel}
            << QStringList{"wrong", "wrong"} << QStringList{kWrong, kWrong} << true;
        QTest::addRow("%s, two wrong, then right", form)
            << sealed << QList<BoxAnswer>{BoxAnswer::Retry, BoxAnswer::Retry}
            << QStringList{"wrong", "Master", kMaster} << QStringList{kWrong, kWrong} << false;
    }
}

void TestSealed::wrongPasswordsGoThroughTheSameTriesAndCancel() {
    QFETCH(bool, sealed);
    QFETCH(QList<BoxAnswer>, answers);
    QFETCH(QStringList, typed);
    QFETCH(QStringList, texts);
    QFETCH(bool, ends);
    Harness h;
    frmPass* d = startOn(h, plainVault(kTwo), sealed);
    QVERIFY(d);
    const QByteArray before = h.vaultBytes();
    h.boxes().answers.assign(answers.begin(), answers.end());
    for (qsizetype i = 0; i < typed.size(); ++i) {
        QVERIFY2(typeAndEnter(d, typed[i]), "the password box lost the focus");
        if (h.program().ended())
            break;
        if (h.program().loaded<frmPass>()) {
            QCOMPARE(h.program().PasswordTries, qint16(i + 1));
            QVERIFY(box(d, "txtPass")->text().isEmpty());
            QVERIFY(d->isEnabled());
        }
    }
    QCOMPARE(h.program().ended(), ends);
    QStringList shown;
    for (const RecordingBoxes::Shown& b : h.boxes().shown) {
        shown << b.text;
        if (b.text == kWrong) {
            QCOMPARE(b.title, QStringLiteral("Incorrect Password"));
            QCOMPARE(b.buttons, BoxButtons::RetryCancel);
            QCOMPARE(b.defaultButton, BoxAnswer::Retry);
        } else {
            QCOMPARE(b.title, QStringLiteral("Keynook"));
        }
    }
    QCOMPARE(shown, texts);
    QCOMPARE(h.boxes().unanswered, 0);
    QVERIFY(!QApplication::overrideCursor());
    if (ends) {
        QVERIFY(h.program().MasterPassword.isEmpty());
    } else {
        QCOMPARE(shownUsernames(h.program().loaded<Form1>()), (QStringList{"amy", "bob"}));
        QCOMPARE(h.program().loaded<Form1>()->statusText(), QStringLiteral("Loaded 2 entries"));
    }
    QCOMPARE(h.vaultBytes(), before);
}

void TestSealed::damagedSealedVaultEndsWithTheMessageAndWritesNothing_data() {
    // A byte to flip, counted from the end when negative (0, the magic's
    // first, is never flipped), and bytes cut off the end.
    QTest::addColumn<qsizetype>("flipAt");
    QTest::addColumn<qsizetype>("cut");
    QTest::newRow("a ciphertext byte flipped") << layout::kHeaderSize + 3 << qsizetype(0);
    QTest::newRow("a tag byte flipped") << qsizetype(-1) << qsizetype(0);
    QTest::newRow("cut inside the tag") << qsizetype(0) << qsizetype(5);
    QTest::newRow("a salt byte flipped, checksum kept") << layout::kSaltAt << qsizetype(0);
}

void TestSealed::damagedSealedVaultEndsWithTheMessageAndWritesNothing() {
    QFETCH(qsizetype, flipAt);
    QFETCH(qsizetype, cut);
    Harness h;
    h.writeVault(plainVault(kTwo));
    QVERIFY(sealInPlace(h));
    QByteArray file = h.vaultBytes();
    if (flipAt != 0) {
        const qsizetype at = flipAt < 0 ? file.size() + flipAt : flipAt;
        file[at] = static_cast<char>(file[at] ^ 0x01);
    }
    file.chop(cut);
    h.writeVault(file);
    const QDateTime modified = QFileInfo(h.vaultPath()).lastModified();
    h.program().loadMainWindow();
    frmPass* d = h.program().loaded<frmPass>();
    QVERIFY(d);
    QVERIFY(h.boxes().shown.empty());
    QVERIFY(typeAndEnter(d, kMaster));

    QVERIFY(h.program().ended());
    QCOMPARE(h.boxes().shown.size(), size_t(1));
    QVERIFY2(h.boxes().shown[0].text.startsWith(kDamaged), qPrintable(h.boxes().shown[0].text));
    QCOMPARE(h.boxes().shown[0].title, QStringLiteral("Keynook"));
    QCOMPARE(h.boxes().shown[0].buttons, BoxButtons::Ok);
    // Over the password dialog, which stays on top of every other window.
    QCOMPARE(h.boxes().shown[0].parent.data(), static_cast<QWidget*>(d));
    QVERIFY(h.program().MasterPassword.isEmpty());
    QVERIFY(!QApplication::overrideCursor());
    Harness::flushDeletes();
    QVERIFY(!h.program().loaded<Form1>());
    QCOMPARE(h.vaultBytes(), file);
    QCOMPARE(QFileInfo(h.vaultPath()).lastModified(), modified);
    // Nothing beside it but the run's lock, which goes with the run.
    QStringList beside =
        QDir(h.folder()).entryList(QDir::Files | QDir::Hidden | QDir::System, QDir::Name);
    beside.removeAll(h.lockName());
    QCOMPARE(beside, (QStringList{"data.enc"}));
}

// A sealed vault whose first bytes were changed does not start with the
// magic, yet its header's checksum holds with the magic put back: damage,
// told at the start, and never a plain vault asking for a password.
void TestSealed::changedMagicIsDamageBeforeAnyPassword() {
    Harness h;
    h.writeVault(plainVault(kTwo));
    QVERIFY(sealInPlace(h));
    QByteArray file = h.vaultBytes();
    file[3] = static_cast<char>(file[3] ^ 0x01);
    h.writeVault(file);
    h.program().loadMainWindow();
    QVERIFY(h.program().ended());
    QVERIFY(!h.program().loaded<frmPass>());
    QCOMPARE(h.boxes().shown.size(), size_t(1));
    QVERIFY2(h.boxes().shown[0].text.startsWith(kDamaged), qPrintable(h.boxes().shown[0].text));
    QCOMPARE(h.vaultBytes(), file);
}

void TestSealed::derivationKeepsTheDialogBusyAndDropsAQueuedClick_data() {
    QTest::addColumn<QString>("typed");
    QTest::newRow("wrong password") << QStringLiteral("wrong");
    QTest::newRow("right password") << kMaster;
}

// The key derivation runs on the interface thread and holds it. A click made
// meanwhile waits in the queue and is delivered when the derivation is over:
// it must reach a dialog that is still busy and be dropped, or it would start
// a second try. The test queues such a click before Ok and watches it arrive.
void TestSealed::derivationKeepsTheDialogBusyAndDropsAQueuedClick() {
    QFETCH(QString, typed);
    const bool right = typed == kMaster;
    Harness h;
    frmPass* d = startOn(h, plainVault(kTwo), true);
    QVERIFY(d);
    // Painted only once on screen, as it is long before a person clicks Ok.
    QVERIFY(QTest::qWaitForWindowExposed(d));
    QPushButton* ok = button(d, "cmdOK");
    h.boxes().answers = {BoxAnswer::Retry, BoxAnswer::Retry};

    int clicks = 0;
    connect(ok, &QPushButton::clicked, [&] { ++clicks; });
    // What the queued press finds, and how the dialog was last painted
    // before the press arrived.
    int presses = 0;
    bool pressFoundEnabled = true;
    Qt::CursorShape pressCursor = Qt::ArrowCursor;
    bool paintedBusy = false;
    Spy pressSpy(ok, [&](QEvent* e) {
        if (e->type() != QEvent::MouseButtonPress)
            return;
        ++presses;
        pressFoundEnabled = ok->isEnabled() || d->isEnabled();
        pressCursor = overrideShape();
    });
    Spy paintSpy(d, [&](QEvent* e) {
        if (e->type() == QEvent::Paint && presses == 0 && !d->isEnabled() &&
            overrideShape() == Qt::WaitCursor)
            paintedBusy = true;
    });

    box(d, "txtPass")->setText(typed);
    const QPointF centre = QPointF(ok->rect().center());
    const QPointF global = QPointF(ok->mapToGlobal(ok->rect().center()));
    QCoreApplication::postEvent(ok, new QMouseEvent(QEvent::MouseButtonPress, centre, global,
                                                    Qt::LeftButton, Qt::LeftButton, {}));
    QCoreApplication::postEvent(ok, new QMouseEvent(QEvent::MouseButtonRelease, centre, global,
                                                    Qt::LeftButton, Qt::NoButton, {}));
    d->cmdOK_Click();
    // Whatever was still queued now reaches the dialog as it is after the try.
    QCoreApplication::processEvents();
    Harness::flushDeletes();

    QVERIFY2(paintedBusy, "the dialog was not shown disabled under the wait cursor");
    QCOMPARE(presses, 1);
    QVERIFY2(!pressFoundEnabled, "the queued click reached an enabled dialog");
    QCOMPARE(pressCursor, Qt::WaitCursor);
    QCOMPARE(clicks, 0);
    QVERIFY(!QApplication::overrideCursor());
    QVERIFY(!h.program().ended());
    if (right) {
        QVERIFY(h.boxes().shown.empty());
        QCOMPARE(h.program().loaded<Form1>()->statusText(), QStringLiteral("Loaded 2 entries"));
        QCOMPARE(shownUsernames(h.program().loaded<Form1>()), (QStringList{"amy", "bob"}));
    } else {
        // One try, one box: the queued click started no second one.
        QCOMPARE(h.boxes().shown.size(), size_t(1));
        QCOMPARE(h.program().PasswordTries, qint16(1));
        QVERIFY(d->isEnabled());
        QCOMPARE(d->focusWidget(), box(d, "txtPass"));
    }
}

void TestSealed::savesSealAgainAndTheVaultReopens() {
    Harness h;
    frmPass* d = startOn(h, plainVault(kTwo), true);
    QVERIFY(d);
    const QByteArray first = h.vaultBytes();
    QVERIFY(typeAndEnter(d, kMaster));
    Form1* main = h.program().loaded<Form1>();
    QVERIFY(main && main->isVisible());

    // An edit through the editor, saved at once.
    selectRows(main, {1});
    QTest::mouseClick(button(main, "cmdEdit"), Qt::LeftButton);
    frmAdd* editor = h.program().loaded<frmAdd>();
    QVERIFY(editor);
    editor->findChild<QLineEdit*>(QStringLiteral("txtPassword"))->setText(QStringLiteral("new pw"));
    QTest::mouseClick(button(editor, "cmdAdd"), Qt::LeftButton);
    QCOMPARE(main->statusText(), QStringLiteral("Added new entry.  Data saved."));
    const QByteArray edited = h.vaultBytes();
    const QByteArray expected = plainVault({"amy|||pw-amy|||a.example", "bob|||new pw|||"});

    // A delete, saved too.
    h.boxes().answers = {BoxAnswer::Ok};
    selectRows(main, {0});
    QTest::mouseClick(button(main, "cmdDelete"), Qt::LeftButton);
    QCOMPARE(main->statusText(), QStringLiteral("Entry deleted successfully, data saved."));
    const QByteArray deleted = h.vaultBytes();

    for (const QByteArray* saved : {&edited, &deleted}) {
        QVERIFY(startsWithMagic(*saved));
        QVERIFY(!saved->contains("new pw"));
        QVERIFY(!saved->contains(cipherLine("bob|||new pw|||")));
        // The key of the opening, a fresh nonce at every save.
        QCOMPARE(saltOf(*saved), saltOf(first));
    }
    QVERIFY(nonceOf(edited) != nonceOf(first));
    QVERIFY(nonceOf(deleted) != nonceOf(edited));
    QCOMPARE(opened(edited), expected);
    QCOMPARE(opened(deleted), plainVault({"bob|||new pw|||"}));

    // Another run opens the saved file with the same password.
    Harness again;
    Form1* reopened = again.openFile(deleted, kMaster);
    QVERIFY(reopened && reopened->isVisible());
    QCOMPARE(reopened->statusText(), QStringLiteral("Loaded 1 entries"));
    QCOMPARE(reopened->entries().entry(0),
             (Entry{QStringLiteral("bob"), QStringLiteral("new pw"), QString()}));
}

void TestSealed::copiedPasswordLeavesTheClipboardOnlyFromASealedVault_data() {
    QTest::addColumn<bool>("sealed");
    QTest::addColumn<int>("field");
    QTest::addColumn<QString>("copiedElsewhere"); // by the user, before the timer fires
    QTest::addColumn<bool>("timed");
    QTest::addColumn<QString>("afterwards");
    QTest::newRow("sealed, password still there")
        << true << int(EntryModel::Password) << QString() << true << QString();
    QTest::newRow("sealed, something else copied meanwhile")
        << true << int(EntryModel::Password) << QStringLiteral("my note") << true << "my note";
    QTest::newRow("sealed, username")
        << true << int(EntryModel::Username) << QString() << false << "amy";
    QTest::newRow("plain, password")
        << false << int(EntryModel::Password) << QString() << false << "pw-amy";
}

void TestSealed::copiedPasswordLeavesTheClipboardOnlyFromASealedVault() {
    QFETCH(bool, sealed);
    QFETCH(int, field);
    QFETCH(QString, copiedElsewhere);
    QFETCH(bool, timed);
    QFETCH(QString, afterwards);
    Harness h;
    Form1* main = unlockOn(h, plainVault(kTwo), sealed);
    QVERIFY(main);
    QTimer* timer = clipboardTimer(main);
    QVERIFY(timer);
    selectRows(main, {0});
    main->findChild<QAction*>(QStringLiteral("mnuCopyItem_%1").arg(field))->trigger();
    QCOMPARE(QGuiApplication::clipboard()->text(), main->entries().field(0, field));
    QCOMPARE(timer->isActive(), timed);
    if (timed) {
        QCOMPARE(timer->interval(), 30'000);
        QVERIFY(timer->isSingleShot());
    }
    if (!copiedElsewhere.isEmpty())
        QGuiApplication::clipboard()->setText(copiedElsewhere);
    if (timed)
        QVERIFY(QMetaObject::invokeMethod(timer, "timeout"));
    QCOMPARE(QGuiApplication::clipboard()->text(), afterwards);
    QCOMPARE(main->statusText(), QStringLiteral("Copied %1 %2")
                                     .arg(field == EntryModel::Password ? "Password" : "Username",
                                          main->entries().field(0, field)));
}

void TestSealed::copiedPasswordLeavesTheClipboardWhenTheProgramEnds_data() {
    QTest::addColumn<bool>("sealed");
    QTest::addColumn<QString>("afterwards");
    QTest::newRow("sealed") << true << QString();
    QTest::newRow("plain") << false << "pw-amy";
}

// Ending within the 30 seconds would otherwise leave the password behind: a
// clipboard manager takes over what the clipboard holds when its owner ends.
void TestSealed::copiedPasswordLeavesTheClipboardWhenTheProgramEnds() {
    QFETCH(bool, sealed);
    QFETCH(QString, afterwards);
    Harness h;
    Form1* main = unlockOn(h, plainVault(kTwo), sealed);
    QVERIFY(main);
    selectRows(main, {0});
    QTest::mouseClick(button(main, "cmdCopy_1"), Qt::LeftButton);
    QCOMPARE(QGuiApplication::clipboard()->text(), QStringLiteral("pw-amy"));
    main->findChild<QAction*>(QStringLiteral("mnuFileItem_0"))->trigger();
    QVERIFY(h.program().ended());
    QCOMPARE(QGuiApplication::clipboard()->text(), afterwards);
}

KEYNOOK_GUI_TEST_MAIN(TestSealed)
#include "tst_sealed.moc"
