// The master password gate: creating the password on first use, asking for it
// at every later start, and ending the program when the user gives up.
#include "support/TestSupport.h"

#include "appearance/SkinComponent.h"
#include "dialogs/frmPass.h"
#include "dialogs/modOnTop.h"
#include "main/EntryModel.h"
#include "main/Form1.h"
#include "main/ListView.h"
#include "platform/Twips.h"

#include <QApplication>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <QTreeView>

#include <sys/mount.h>

namespace {

QLineEdit* box(frmPass* d, const char* name) {
    return d->findChild<QLineEdit*>(QString::fromLatin1(name));
}

void typeInto(QLineEdit* edit, const QString& text) {
    edit->setFocus();
    QTest::keyClicks(edit, text);
}

const QByteArray kNeverUsed("\r\n");
const QString kTooShort =
    QStringLiteral("You must enter a password that is at least 4 characters long");
const QString kMismatch = QStringLiteral("Your passwords did not match.  Please try again.");
const QString kWrong = QStringLiteral("Sorry, the password you entered was not correct.");
const QString kThreeTries = QStringLiteral("Only 3 tries allowed.  Click Ok to close.");

} // namespace

class TestFrmPass : public QObject {
    Q_OBJECT

private slots:
    void firstStartCreatesNeverUsedVaultAndAsksForNewPassword();
    void fileWhoseNameDiffersOnlyInCaseIsNotTheVault();
    void createModeRefusesShortPasswordKeepingBothTexts();
    void createModeMismatchEmptiesBothBoxes_data();
    void createModeMismatchEmptiesBothBoxes();
    void createModeWithFourCharactersStoresPasswordAndShowsEmptyList();
    void emptyFirstLineWithEntriesKeepsThemWhenPasswordIsCreated_data();
    void emptyFirstLineWithEntriesKeepsThemWhenPasswordIsCreated();
    void zeroByteVaultIsTreatedAsNeverUsed();
    void unusualMasterPasswordsReadBack_data();
    void unusualMasterPasswordsReadBack();
    void verifyModeLayout();
    void verifyModeLoadsEntriesInFileOrder_data();
    void verifyModeLoadsEntriesInFileOrder();
    void wrongPasswordsAreCountedToThree();
    void cancelInWrongPasswordBoxEndsAtOnce();
    void emptyOrWrongCasePasswordIsWrong_data();
    void emptyOrWrongCasePasswordIsWrong();
    void closingOrCancellingBeforeSuccessEndsWithVaultUntouched_data();
    void closingOrCancellingBeforeSuccessEndsWithVaultUntouched();
    void timerKeepsMainWindowHiddenWhileAsking();
    void setOnTopOnlyForTrue();
    void realMessageBoxAnswersCancel();
    void unreadableOrUncreatableVaultEndsWithMessage();
};

void TestFrmPass::firstStartCreatesNeverUsedVaultAndAsksForNewPassword() {
    Harness h;
    h.program().loadMainWindow();
    QCOMPARE(h.vaultBytes(), kNeverUsed);
    frmPass* d = h.program().loaded<frmPass>();
    QVERIFY(d);
    QVERIFY(d->isVisible());
    QCOMPARE(d->windowTitle(), QStringLiteral("Password Required"));
    QCOMPARE(h.program().PasswordMode, qint16(-1));
    auto* label = d->findChild<QLabel*>(QStringLiteral("SkinLabel1"));
    QCOMPARE(label->text(), frmPass::firstUseMessage(QStringLiteral("Keynook")));
    QVERIFY(label->text().startsWith(
        QStringLiteral("Because this is the first time you have used Keynook, you will need")));
    QVERIFY(box(d, "txtPass2")->isVisibleTo(d));
    // Create-mode layout, in twips as designed.
    QCOMPARE(box(d, "txtPass")->y(), tw(1700));
    QCOMPARE(box(d, "txtPass2")->y(), tw(1700) + box(d, "txtPass")->height() + tw(60));
    auto* ok = d->findChild<QPushButton*>(QStringLiteral("cmdOK"));
    QCOMPARE(ok->y(), box(d, "txtPass2")->y() + box(d, "txtPass2")->height() + tw(60));
    QCOMPARE(d->findChild<QPushButton*>(QStringLiteral("cmdCancel"))->y(), ok->y());
    QVERIFY(d->windowFlags().testFlag(Qt::WindowStaysOnTopHint));
    QTRY_VERIFY(!h.program().loaded<Form1>()->isVisible());
    QCOMPARE(box(d, "txtPass")->echoMode(), QLineEdit::Password);
}

// The vault is read and written by its exact name; another spelling of it is
// another file, left alone.
void TestFrmPass::fileWhoseNameDiffersOnlyInCaseIsNotTheVault() {
    Harness h;
    const QByteArray other = cipherLine("other") + "\r\n";
    QFile upper(h.folder() + QStringLiteral("/DATA.ENC"));
    QVERIFY(upper.open(QIODevice::WriteOnly) && upper.write(other) == other.size());
    upper.close();
    h.program().loadMainWindow();
    QVERIFY(!h.program().ended());
    QCOMPARE(h.vaultBytes(), kNeverUsed);
    QCOMPARE(h.program().PasswordMode, qint16(-1));
    QVERIFY(upper.open(QIODevice::ReadOnly));
    QCOMPARE(upper.readAll(), other);
}

void TestFrmPass::createModeRefusesShortPasswordKeepingBothTexts() {
    Harness h;
    h.program().loadMainWindow();
    frmPass* d = h.program().loaded<frmPass>();
    h.boxes().answers = {BoxAnswer::Ok};
    typeInto(box(d, "txtPass"), QStringLiteral("abc"));
    typeInto(box(d, "txtPass2"), QStringLiteral("abc"));
    QTest::mouseClick(d->findChild<QPushButton*>(QStringLiteral("cmdOK")), Qt::LeftButton);
    QCOMPARE(h.boxes().shown.size(), size_t(1));
    QCOMPARE(h.boxes().shown[0].text, kTooShort);
    QCOMPARE(h.boxes().shown[0].title, QStringLiteral("Keynook"));
    QCOMPARE(box(d, "txtPass")->text(), QStringLiteral("abc"));
    QCOMPARE(box(d, "txtPass2")->text(), QStringLiteral("abc"));
    // Shown as stars, as the skin draws the boxes too.
    QCOMPARE(box(d, "txtPass")->displayText(), QStringLiteral("***"));
    Skin(nullptr).apply(d);
    QCOMPARE(box(d, "txtPass2")->displayText(), QStringLiteral("***"));
    QVERIFY(d->windowFlags().testFlag(Qt::WindowStaysOnTopHint));
    QCOMPARE(h.vaultBytes(), kNeverUsed);
    QVERIFY(!h.program().ended());
}

void TestFrmPass::createModeMismatchEmptiesBothBoxes_data() {
    QTest::addColumn<QString>("first");
    QTest::addColumn<QString>("second");
    QTest::addColumn<bool>("enterInFirstBox");
    QTest::newRow("letter case differs") << "Secret1"
                                         << "secret1" << false;
    QTest::newRow("enter before retyping") << "Secret1"
                                           << "" << true;
}

void TestFrmPass::createModeMismatchEmptiesBothBoxes() {
    QFETCH(QString, first);
    QFETCH(QString, second);
    QFETCH(bool, enterInFirstBox);
    Harness h;
    h.program().loadMainWindow();
    frmPass* d = h.program().loaded<frmPass>();
    h.boxes().answers = {BoxAnswer::Ok};
    typeInto(box(d, "txtPass2"), second);
    typeInto(box(d, "txtPass"), first);
    if (enterInFirstBox)
        QTest::keyClick(box(d, "txtPass"), Qt::Key_Return);
    else
        QTest::mouseClick(d->findChild<QPushButton*>(QStringLiteral("cmdOK")), Qt::LeftButton);
    QCOMPARE(h.boxes().shown.size(), size_t(1));
    QCOMPARE(h.boxes().shown[0].text, kMismatch);
    QVERIFY(box(d, "txtPass")->text().isEmpty());
    QVERIFY(box(d, "txtPass2")->text().isEmpty());
    QCOMPARE(h.vaultBytes(), kNeverUsed);
    QVERIFY(h.program().MasterPassword.isEmpty());
}

void TestFrmPass::createModeWithFourCharactersStoresPasswordAndShowsEmptyList() {
    Harness h;
    h.program().loadMainWindow();
    frmPass* d = h.program().loaded<frmPass>();
    typeInto(box(d, "txtPass"), QStringLiteral("abcd"));
    typeInto(box(d, "txtPass2"), QStringLiteral("abcd"));
    QTest::keyClick(box(d, "txtPass2"), Qt::Key_Return);

    QCOMPARE(h.vaultBytes(), QByteArray("\xE1\xE2\xE3\xE4\r\n"));
    // A vault made by the program is its owner's alone.
    QCOMPARE(QFileInfo(h.vaultPath()).permissions() & 0x0FFF,
             QFileDevice::ReadUser | QFileDevice::WriteUser);
    QVERIFY(h.boxes().shown.empty());
    QVERIFY(!h.program().ended());
    QCOMPARE(h.program().MasterPassword, QStringLiteral("abcd"));
    QVERIFY(!h.program().loaded<frmPass>());
    Form1* main = h.program().loaded<Form1>();
    QVERIFY(main->isVisible());
    QCOMPARE(main->statusText(), QStringLiteral("Password created successfully"));
    QCOMPARE(main->entries().rowCount(), 0);
    // The dialog going away is not the end of the program.
    Harness::flushDeletes();
    QVERIFY(!h.program().ended());
    QVERIFY(main->isVisible());
}

void TestFrmPass::emptyFirstLineWithEntriesKeepsThemWhenPasswordIsCreated_data() {
    QTest::addColumn<QByteArray>("after");
    QTest::addColumn<QByteArray>("kept");
    QTest::addColumn<QStringList>("usernames");
    // The first line's end, then what follows it.
    const QByteArray entries = cipherLine("zed|||1|||") + " \r\n" +
                               cipherLine("amy|||2|||x|||more") + "\r\n" + cipherLine("solo");
    QTest::newRow("entries, kept byte for byte")
        << (QByteArray("\r\n") + entries) << entries << QStringList{"zed", "amy", "solo"};
    QTest::newRow("first line ended by a lone CR")
        << (QByteArray("\r") + cipherLine("a|||b|||c") + "\r\n")
        << (cipherLine("a|||b|||c") + "\r\n") << QStringList{"a"};
    QTest::newRow("only blank lines")
        << QByteArray("\r\n \r\n\r\n") << QByteArray() << QStringList{};
}

// A vault without a master password but with entries (its first line lost to
// an editor, say) keeps them: the new password replaces the first line only.
void TestFrmPass::emptyFirstLineWithEntriesKeepsThemWhenPasswordIsCreated() {
    QFETCH(QByteArray, after);
    QFETCH(QByteArray, kept);
    QFETCH(QStringList, usernames);
    Harness h;
    h.writeVault(after);
    h.program().loadMainWindow();
    frmPass* d = h.program().loaded<frmPass>();
    QCOMPARE(h.program().PasswordMode, qint16(-1));
    typeInto(box(d, "txtPass"), QStringLiteral("master"));
    typeInto(box(d, "txtPass2"), QStringLiteral("master"));
    QTest::keyClick(box(d, "txtPass"), Qt::Key_Return);
    QCOMPARE(h.vaultBytes(), cipherLine("master") + kept);
    Form1* main = h.program().loaded<Form1>();
    QVERIFY(main->isVisible());
    QCOMPARE(shownUsernames(main), usernames);
    QCOMPARE(main->statusText(), QStringLiteral("Password created successfully"));
    QVERIFY(h.boxes().shown.empty());
}

void TestFrmPass::zeroByteVaultIsTreatedAsNeverUsed() {
    Harness h;
    h.writeVault(QByteArray());
    h.program().loadMainWindow();
    QVERIFY(h.program().loaded<frmPass>());
    QCOMPARE(h.program().PasswordMode, qint16(-1));
    QVERIFY(h.boxes().shown.empty());
}

void TestFrmPass::unusualMasterPasswordsReadBack_data() {
    QTest::addColumn<QString>("password");
    QTest::newRow("bars") << QStringLiteral("a|||b|");
    QTest::newRow("outside Windows-1252") << QStringLiteral("pass\u0142\u4e2d\U0001F511");
    QTest::newRow("euro and S caron") << QStringLiteral("\u20ac\u0160\u0160x");
    QTest::newRow("spaces only") << QStringLiteral("    ");
    QTest::newRow("40,000 characters") << QString(40000, QLatin1Char('k'));
}

void TestFrmPass::unusualMasterPasswordsReadBack() {
    QFETCH(QString, password);
    QByteArray stored;
    {
        Harness h;
        h.program().loadMainWindow();
        frmPass* d = h.program().loaded<frmPass>();
        box(d, "txtPass")->setText(password);
        box(d, "txtPass2")->setText(password);
        d->cmdOK_Click();
        QCOMPARE(h.program().MasterPassword, password);
        stored = h.vaultBytes();
    }
    QVERIFY(stored.endsWith("\r\n"));
    QCOMPARE(stored.count('\r'), 1);
    Harness h;
    h.writeVault(stored);
    h.program().loadMainWindow();
    QCOMPARE(h.program().PasswordMode, qint16(0));
    QCOMPARE(h.program().StoredPassword, password);
}

void TestFrmPass::verifyModeLayout() {
    Harness h;
    h.writeVault(cipherLine("secret"));
    h.program().loadMainWindow();
    frmPass* d = h.program().loaded<frmPass>();
    QCOMPARE(h.program().PasswordMode, qint16(0));
    QCOMPARE(d->findChild<QLabel*>(QStringLiteral("SkinLabel1"))->text(),
             QStringLiteral("Please enter your password"));
    QCOMPARE(box(d, "txtPass")->y(), tw(360));
    QCOMPARE(d->findChild<QLabel*>(QStringLiteral("SkinLabel2"))->y(), tw(360));
    QVERIFY(!box(d, "txtPass2")->isVisibleTo(d));
    QVERIFY(!d->findChild<QLabel*>(QStringLiteral("SkinLabel3"))->isVisibleTo(d));
    QCOMPARE(d->findChild<QPushButton*>(QStringLiteral("cmdOK"))->y(), tw(780));
    // The password box has the focus, so a person can type at once.
    QCOMPARE(d->focusWidget(), box(d, "txtPass"));
    QCOMPARE(h.program().StoredPassword, QStringLiteral("secret"));
}

void TestFrmPass::verifyModeLoadsEntriesInFileOrder_data() {
    QTest::addColumn<QByteArray>("lines");
    QTest::addColumn<QStringList>("usernames");
    QTest::addColumn<QString>("status");
    QTest::newRow("none") << QByteArray("\r\n") << QStringList{} << "Loaded 0 entries";
    QTest::newRow("one") << (cipherLine("solo|||pw|||") + "\r\n") << QStringList{"solo"}
                         << "Loaded 1 entries";
    QTest::newRow("file order, skipped lines")
        << (cipherLine("zed|||1|||z.example") + "\r\n \r\n" + cipherLine("amy|||2|||") +
            cipherLine("mid|||3|||m|||extra") + "\r\n")
        << QStringList{"zed", "amy", "mid"} << "Loaded 3 entries";
}

void TestFrmPass::verifyModeLoadsEntriesInFileOrder() {
    QFETCH(QByteArray, lines);
    QFETCH(QStringList, usernames);
    QFETCH(QString, status);
    Harness h;
    const QByteArray file = cipherLine("Pa55word") + lines;
    h.writeVault(file);
    h.program().loadMainWindow();
    frmPass* d = h.program().loaded<frmPass>();
    typeInto(box(d, "txtPass"), QStringLiteral("Pa55word"));
    QTest::keyClick(box(d, "txtPass"), Qt::Key_Return);
    Form1* main = h.program().loaded<Form1>();
    QVERIFY(main->isVisible());
    QCOMPARE(main->statusText(), status);
    QCOMPARE(h.program().MasterPassword, h.program().StoredPassword);
    QStringList shown;
    for (int r = 0; r < main->entries().rowCount(); ++r)
        shown << main->list()->model()->index(r, 0).data().toString();
    QCOMPARE(shown, usernames);
    QVERIFY(!h.program().loaded<frmPass>());
    QCOMPARE(h.vaultBytes(), file);
}

void TestFrmPass::wrongPasswordsAreCountedToThree() {
    Harness h;
    const QByteArray file = cipherLine("right") + "\r\n";
    h.writeVault(file);
    h.program().loadMainWindow();
    frmPass* d = h.program().loaded<frmPass>();
    h.boxes().answers = {BoxAnswer::Retry, BoxAnswer::Retry, BoxAnswer::Retry, BoxAnswer::Ok};
    for (int i = 1; i <= 2; ++i) {
        typeInto(box(d, "txtPass"), QStringLiteral("wrong"));
        QTest::keyClick(box(d, "txtPass"), Qt::Key_Return);
        QCOMPARE(h.program().PasswordTries, qint16(i));
        QVERIFY(box(d, "txtPass")->text().isEmpty());
        QVERIFY(!h.program().ended());
    }
    typeInto(box(d, "txtPass"), QStringLiteral("wrong"));
    QTest::keyClick(box(d, "txtPass"), Qt::Key_Return);
    QVERIFY(h.program().ended());
    QCOMPARE(h.boxes().shown.size(), size_t(4));
    for (int i = 0; i < 3; ++i) {
        QCOMPARE(h.boxes().shown[i].text, kWrong);
        QCOMPARE(h.boxes().shown[i].title, QStringLiteral("Incorrect Password"));
        QCOMPARE(h.boxes().shown[i].buttons, BoxButtons::RetryCancel);
        QCOMPARE(h.boxes().shown[i].defaultButton, BoxAnswer::Retry);
    }
    QCOMPARE(h.boxes().shown[3].text, kThreeTries);
    QCOMPARE(h.boxes().shown[3].title, QStringLiteral("Keynook"));
    QCOMPARE(h.vaultBytes(), file);
    QVERIFY(h.program().MasterPassword.isEmpty());
}

void TestFrmPass::cancelInWrongPasswordBoxEndsAtOnce() {
    Harness h;
    h.writeVault(cipherLine("right"));
    h.program().loadMainWindow();
    frmPass* d = h.program().loaded<frmPass>();
    h.boxes().answers = {BoxAnswer::Cancel};
    typeInto(box(d, "txtPass"), QStringLiteral("nope"));
    d->cmdOK_Click();
    QVERIFY(h.program().ended());
    QCOMPARE(h.boxes().shown.size(), size_t(1));
    QCOMPARE(h.vaultBytes(), cipherLine("right"));
}

void TestFrmPass::emptyOrWrongCasePasswordIsWrong_data() {
    QTest::addColumn<QString>("typed");
    QTest::newRow("empty") << QString();
    QTest::newRow("letter case") << QStringLiteral("SECRET");
}

void TestFrmPass::emptyOrWrongCasePasswordIsWrong() {
    QFETCH(QString, typed);
    Harness h;
    h.writeVault(cipherLine("secret"));
    h.program().loadMainWindow();
    frmPass* d = h.program().loaded<frmPass>();
    h.boxes().answers = {BoxAnswer::Retry};
    box(d, "txtPass")->setText(typed);
    d->cmdOK_Click();
    QCOMPARE(h.boxes().shown.size(), size_t(1));
    QCOMPARE(h.boxes().shown[0].text, kWrong);
    QTRY_VERIFY(!h.program().loaded<Form1>()->isVisible());
}

void TestFrmPass::closingOrCancellingBeforeSuccessEndsWithVaultUntouched_data() {
    QTest::addColumn<QByteArray>("vault");
    QTest::addColumn<bool>("useCancel");
    QTest::newRow("close box, create mode") << QByteArray() << false;
    QTest::newRow("close box, verify mode") << cipherLine("secret") << false;
    QTest::newRow("cancel, create mode") << QByteArray() << true;
    QTest::newRow("cancel, verify mode") << cipherLine("secret") << true;
}

void TestFrmPass::closingOrCancellingBeforeSuccessEndsWithVaultUntouched() {
    QFETCH(QByteArray, vault);
    QFETCH(bool, useCancel);
    Harness h;
    if (!vault.isEmpty())
        h.writeVault(vault);
    h.program().loadMainWindow();
    frmPass* d = h.program().loaded<frmPass>();
    typeInto(box(d, "txtPass"), QStringLiteral("typed but not sent"));
    if (useCancel)
        QTest::mouseClick(d->findChild<QPushButton*>(QStringLiteral("cmdCancel")), Qt::LeftButton);
    else
        d->close();
    QVERIFY(h.program().ended());
    QCOMPARE(h.vaultBytes(), vault.isEmpty() ? kNeverUsed : vault);
    QVERIFY(h.boxes().shown.empty());
}

void TestFrmPass::timerKeepsMainWindowHiddenWhileAsking() {
    Harness h;
    h.program().loadMainWindow();
    Form1* main = h.program().loaded<Form1>();
    main->show();
    QVERIFY(main->isVisible());
    QTRY_VERIFY_WITH_TIMEOUT(!main->isVisible(), 2000);
}

void TestFrmPass::setOnTopOnlyForTrue() {
    QWidget w;
    w.show();
    SetOnTop(&w, -1);
    QVERIFY(w.windowFlags().testFlag(Qt::WindowStaysOnTopHint));
    QVERIFY(w.isVisible());
    SetOnTop(&w, 1);
    QVERIFY(!w.windowFlags().testFlag(Qt::WindowStaysOnTopHint));
    QVERIFY(w.isVisible());
    SetOnTop(&w, -1);
    SetOnTop(&w, 0);
    QVERIFY(!w.windowFlags().testFlag(Qt::WindowStaysOnTopHint));
}

void TestFrmPass::realMessageBoxAnswersCancel() {
    QTemporaryDir dir;
    QFile f(dir.filePath(QStringLiteral("data.enc")));
    QVERIFY(f.open(QIODevice::WriteOnly));
    f.write(cipherLine("secret"));
    f.close();
    Program::Options options;
    options.vaultFolder = dir.path();
    options.clock = std::make_unique<FixedClock>();
    Program program(std::move(options)); // the product's own message boxes
    program.loadMainWindow();
    frmPass* d = program.loaded<frmPass>();
    QString seenText;
    QString seenTitle;
    QTimer poll;
    connect(&poll, &QTimer::timeout, [&] {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        if (!box)
            return;
        seenText = box->text();
        seenTitle = box->windowTitle();
        box->button(QMessageBox::Cancel)->click();
    });
    poll.start(10);
    box(d, "txtPass")->setText(QStringLiteral("not it"));
    d->cmdOK_Click();
    poll.stop();
    QCOMPARE(seenText, kWrong);
    QCOMPARE(seenTitle, QStringLiteral("Incorrect Password"));
    QVERIFY(program.ended());
}

void TestFrmPass::unreadableOrUncreatableVaultEndsWithMessage() {
    {
        // A folder where the vault should be: it can be neither read nor made.
        Harness h;
        QVERIFY(QDir(h.folder()).mkdir(QStringLiteral("data.enc")));
        h.program().loadMainWindow();
        QVERIFY(h.program().ended());
        QCOMPARE(h.boxes().shown.size(), size_t(1));
        QVERIFY(h.boxes().shown[0].text.contains(QStringLiteral("could not be created")));
        QVERIFY(QFileInfo(h.vaultPath()).isDir());
        QVERIFY(!h.program().loaded<frmPass>());
    }
    {
        // A link to a vault a sync tool has not brought yet: no new vault is
        // made where it leads, nor anything beside it, and the link stays.
        Harness h;
        const QString synced = h.folder() + QStringLiteral("/Sync folder");
        QVERIFY(QDir().mkpath(synced));
        const QString target = synced + QStringLiteral("/data.enc");
        QVERIFY(QFile::link(target, h.vaultPath()));
        h.program().loadMainWindow();
        QVERIFY(h.program().ended());
        QCOMPARE(h.boxes().shown.size(), size_t(1));
        const QString text = h.boxes().shown[0].text;
        QVERIFY2(text.contains(QStringLiteral("link to a file that is not there")),
                 qPrintable(text));
        QVERIFY2(text.contains(QStringLiteral("keynook --vault '%1'").arg(target)),
                 qPrintable(text));
        QVERIFY(!h.program().loaded<frmPass>());
        QCOMPARE(QFileInfo(h.vaultPath()).symLinkTarget(), target);
        QCOMPARE(QDir(synced).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
                 QStringList());
        QCOMPARE(QDir(h.folder()).entryList(QDir::Files | QDir::System | QDir::Hidden),
                 QStringList{"data.enc"});
    }
    {
        Harness h;
        // The vault's folder is gone.
        QVERIFY(QDir(h.folder()).removeRecursively());
        h.program().loadMainWindow();
        QVERIFY(h.program().ended());
        QCOMPARE(h.boxes().shown.size(), size_t(1));
        QVERIFY(!QFileInfo::exists(h.vaultPath()));
    }
    {
        // A vault that exists but fails to read, in a folder where it can be
        // locked: this process's memory file, mounted over it, reports an
        // I/O error at its start.
        Harness h;
        h.writeVault(QByteArray());
        const QByteArray at = QFile::encodeName(h.vaultPath());
        if (::mount("/proc/self/mem", at.constData(), nullptr, MS_BIND, nullptr) != 0)
            QSKIP("mounting needs the right to mount");
        h.program().loadMainWindow();
        ::umount2(at.constData(), MNT_DETACH);
        QVERIFY(h.program().ended());
        QCOMPARE(h.boxes().shown.size(), size_t(1));
        QVERIFY(h.boxes().shown[0].text.contains(QStringLiteral("could not be read")));
        QCOMPARE(h.vaultBytes(), QByteArray());
        QVERIFY(!h.program().loaded<frmPass>());
    }
}

KEYNOOK_GUI_TEST_MAIN(TestFrmPass)
#include "tst_frmpass.moc"
